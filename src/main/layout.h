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

// The shortest a list gets when the window must fit its screen, logical pixels: first the header
// and about three rows, then, where even that does not fit, the header and one row.
inline constexpr int FEW_ROWS_LIST_HEIGHT = 80;
inline constexpr int ONE_ROW_LIST_HEIGHT = 44;

// The same, fitted into a client area of at most room_width x room_height device pixels: where the
// layout is taller, the open lists give up height, all in proportion, down to a few rows each and
// then to one; where it is wider, the lists, labels and status box narrow and the buttons on the
// right move left (down to 600 logical pixels). Where it fits, exactly main_layout.
MainLayout main_layout(const std::array<bool, 3>& collapsed, int dpi, int room_width,
                       int room_height);

// A window's outer rectangle moved as little as needed to lie inside the work area; where it is
// larger than the work area its top-left corner is kept inside, so the caption stays reachable.
Rect kept_inside(const Rect& outer, const Rect& work_area);

// Where the picker's parts go when its items sit in one scrolling list between the hint and the
// remember box, logical pixels. The list takes the place of the item boxes.
struct PickerFrame {
    Rect window;  // outer top-left and client size, as PickerWindow::window
    Rect list;
    Rect remember_box, ok_button, cancel_button;
};

// The shortest the picker's list gets, logical pixels: about three items.
inline constexpr int PICKER_MIN_LIST_HEIGHT = 84;

// The picker fitted into a client area at most room_height logical pixels high: the list gives up
// height (down to a few items, or its natural height when shorter) and what sits below it moves
// up; the window stays centred where it was meant to be.
PickerFrame fit_picker(const PickerWindow& picker, int room_height);

// A window of the given client size placed over the middle of the main window (logical pixels).
Rect centred_over(const Rect& main, int width, int height);

}  // namespace dalvento
