// One source section of the main window: its Hide/Show button, its Source button, its label and
// its list, made in the order Tab and a screen reader take them (the label right before the list
// it names), and placed, named and filled together.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "main/desktop.h"

namespace dalvento::win32 {

class SourceSection {
  public:
    // Makes the controls with the given ids; false when any could not be made.
    bool create(HWND main, SourceKind kind, int toggle_id, int source_id, int list_id);
    // The list's columns and drop target, once the controls are bound.
    void prepare(int dpi);
    // The label's headline, the source button's caption and the list's rows.
    void show(const std::string& headline, const std::string& source_caption,
              const std::vector<ListRow>& rows, int dpi);
    // Moves the controls to where the layout puts them, less the scroll position. A hidden
    // section shows neither list nor Source button; the focus leaves them for its toggle.
    void place(const MainLayout::Section& where, int scroll);
    // The column widths at a new DPI.
    void resize_columns(int dpi);

    HWND label() const { return label_; }
    HWND toggle() const { return toggle_; }
    HWND source_button() const { return source_; }
    HWND list() const { return list_; }

  private:
    SourceKind kind_ = SourceKind::layers;
    HWND toggle_ = nullptr;
    HWND source_ = nullptr;
    HWND label_ = nullptr;
    HWND list_ = nullptr;
};

// Moves a control to a rectangle in its parent's client area, device pixels.
void place_control(HWND control, const Rect& r);

}  // namespace dalvento::win32
