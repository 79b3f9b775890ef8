// Geometry of the main window: the DPI rule every position and size goes through, the list
// columns, and the re-layout that follows the collapsed sections.
#pragma once

#include <array>
#include <string_view>

#include "main/desktop.h"

namespace dalvento {

// The DPI at which logical pixels are device pixels.
inline constexpr int LOGICAL_DPI = 96;

// One list column: its header and logical width.
struct ListColumn {
    std::string_view header;
    int width;
};

// The six columns of each source list; the first header depends on the list.
inline constexpr std::array<std::string_view, 3> FIRST_COLUMN_HEADERS = {"Layer", "Table", "File"};
inline constexpr std::array<ListColumn, 6> LIST_COLUMNS = {{{"", 165},
                                                            {"Modified", 115},
                                                            {"Last sent", 115},
                                                            {"Size", 65},
                                                            {"Status", 215},
                                                            {"Location", 210}}};

// A position or size at the given DPI: rounded to the nearest pixel, halves away from zero; the
// value itself when the result does not fit in 32 bits.
int scale(int value, int dpi);

// Every field of a rectangle scaled.
Rect scale(const Rect& rect, int dpi);

// A list column's width at the given DPI: truncated, clamped to 32 bits.
int scale_column(int width, int dpi);

// The six column widths of a source list at the given DPI.
std::array<int, 6> list_column_widths(int dpi);

// Where the main window's controls go with these sections collapsed, at the given DPI.
MainLayout main_layout(const std::array<bool, 3>& collapsed, int dpi);

// A window of the given client size placed over the middle of the main window (logical pixels).
Rect centred_over(const Rect& main, int width, int height);

}  // namespace dalvento
