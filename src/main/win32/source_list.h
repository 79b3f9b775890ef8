// A source section's list view: its columns, its rows, column widths that follow their contents,
// and the tooltip that shows a cell the list's width cuts.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <vector>

#include "main/desktop.h"

namespace dalvento::win32 {

// Sets a new list's extended styles and its six columns, the first headed for its kind.
void prepare_source_list(HWND list, SourceKind kind, int dpi);

// Replaces the rows, then sizes the columns to them.
void fill_source_list(HWND list, const std::vector<ListRow>& rows, int dpi);

// Status to its contents, Location to its contents or header, the others at the DPI's widths
// (`all`) or as they are. No column is narrower than its header.
void size_source_columns(HWND list, int dpi, bool all);

// The tooltip of a list cell that the list's width cuts: its full text.
void fill_info_tip(NMLVGETINFOTIPW& tip, int dpi);

}  // namespace dalvento::win32
