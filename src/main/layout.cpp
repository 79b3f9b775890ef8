#include "main/layout.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "main/window_design.h"

namespace dalvento {

namespace {

// The design's distances, logical pixels: each section's parts from its label's top, from one
// section to the next, and what lies below the last.
constexpr Rect FIRST_LABEL = MAIN_SECTION_LABELS[0].rect;
constexpr int TOGGLE_FROM_LABEL = MAIN_TOGGLE_BUTTONS[0].rect.y - FIRST_LABEL.y;
constexpr int SOURCE_FROM_LABEL = MAIN_SOURCE_BUTTONS[0].rect.y - FIRST_LABEL.y;
constexpr int LIST_FROM_LABEL = MAIN_LISTS[0].y - FIRST_LABEL.y;
constexpr int LIST_TO_NEXT_LABEL =
    MAIN_SECTION_LABELS[1].rect.y - (MAIN_LISTS[0].y + MAIN_LISTS[0].height);
constexpr int BUTTONS_FROM_STATUS = MAIN_SETTINGS_BUTTON.rect.y - MAIN_STATUS_BOX.rect.y;
constexpr int BELOW_STATUS = MAIN_WINDOW.height - MAIN_STATUS_BOX.rect.y;
constexpr std::array<int, 3> LIST_HEIGHTS = {MAIN_LISTS[0].height, MAIN_LISTS[1].height,
                                             MAIN_LISTS[2].height};

// The design is one piece: each section follows the last, and the status box the last section.
static_assert(MAIN_SECTION_LABELS[2].rect.y ==
              MAIN_SECTION_LABELS[1].rect.y + LIST_FROM_LABEL + MAIN_LISTS[1].height +
                  LIST_TO_NEXT_LABEL);
static_assert(MAIN_STATUS_BOX.rect.y ==
              MAIN_SECTION_LABELS[2].rect.y + LIST_FROM_LABEL + MAIN_LISTS[2].height +
                  LIST_TO_NEXT_LABEL);
static_assert(FIRST_LABEL.x + FIRST_LABEL.width < MAIN_TOGGLE_BUTTONS[0].rect.x);

Rect moved(Rect r, int x, int y, int narrower = 0) {
    return {r.x + x, r.y + y, r.width - narrower, r.height};
}

}  // namespace

int scale(int value, int dpi) {
    const int64_t magnitude = std::llabs(static_cast<int64_t>(value));
    const int64_t scaled = (magnitude * dpi + LOGICAL_DPI / 2) / LOGICAL_DPI;
    const int64_t signed_result = value < 0 ? -scaled : scaled;
    if (signed_result > std::numeric_limits<int32_t>::max() ||
        signed_result < std::numeric_limits<int32_t>::min()) {
        return value;
    }
    return static_cast<int>(signed_result);
}

Rect scale(const Rect& rect, int dpi) {
    return {scale(rect.x, dpi), scale(rect.y, dpi), scale(rect.width, dpi),
            scale(rect.height, dpi)};
}

int scale_column(int width, int dpi) {
    const double scaled = std::trunc(static_cast<double>(dpi) / LOGICAL_DPI * width);
    if (scaled >= std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (scaled <= std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int>(scaled);
}

std::array<int, 6> list_column_widths(int dpi) {
    std::array<int, 6> widths{};
    for (size_t i = 0; i < LIST_COLUMNS.size(); ++i) {
        widths[i] = scale_column(LIST_COLUMNS[i].width, dpi);
    }
    return widths;
}

namespace {

// The layout with the given logical list heights, everything right of the labels moved left by
// `narrower` logical pixels and everything full-width narrowed by as much.
MainLayout layout_with(const std::array<bool, 3>& collapsed, int dpi,
                       const std::array<int, 3>& list_heights, int narrower) {
    MainLayout layout;
    int y = FIRST_LABEL.y;
    for (size_t i = 0; i < 3; ++i) {
        MainLayout::Section& section = layout.sections[i];
        const int down = y - FIRST_LABEL.y;
        section.label = scale(moved(FIRST_LABEL, 0, down, narrower), dpi);
        section.toggle = scale(moved(MAIN_TOGGLE_BUTTONS[0].rect, -narrower, down), dpi);
        section.source_button = scale(moved(MAIN_SOURCE_BUTTONS[0].rect, -narrower, down), dpi);
        section.collapsed = collapsed[i];
        if (collapsed[i]) {
            section.toggle_text = "Show";
            y += MAIN_HIDDEN_SECTION_HEIGHT;
        } else {
            section.toggle_text = "Hide";
            Rect list = moved(MAIN_LISTS[0], 0, down, narrower);
            list.height = list_heights[i];
            section.list = scale(list, dpi);
            y += LIST_FROM_LABEL + list_heights[i] + LIST_TO_NEXT_LABEL;
        }
    }
    const int down = y - MAIN_STATUS_BOX.rect.y;
    layout.status_box = scale(moved(MAIN_STATUS_BOX.rect, 0, down, narrower), dpi);
    layout.settings_button = scale(moved(MAIN_SETTINGS_BUTTON.rect, 0, down), dpi);
    layout.bundle_button = scale(moved(MAIN_BUNDLE_BUTTON.rect, -narrower, down), dpi);
    layout.send_button = scale(moved(MAIN_SEND_BUTTON.rect, -narrower, down), dpi);
    layout.client_width = scale(MAIN_WINDOW.width - narrower, dpi);
    layout.client_height = scale(y + BELOW_STATUS, dpi);
    return layout;
}

// Takes up to `excess` logical pixels from the open lists, each in proportion to what it has above
// `floor`; lowers `excess` by what was taken.
void give_up_height(std::array<int, 3>& heights, const std::array<bool, 3>& collapsed, int floor,
                    int& excess) {
    std::array<int, 3> spare{};
    int total = 0;
    for (size_t i = 0; i < 3; ++i) {
        if (!collapsed[i]) spare[i] = std::max(0, heights[i] - floor);
        total += spare[i];
    }
    const int take = std::min(excess, total);
    if (take <= 0) return;
    int taken = 0;
    for (size_t i = 0; i < 3; ++i) {
        const int cut = static_cast<int>(static_cast<int64_t>(take) * spare[i] / total);
        heights[i] -= cut;
        taken += cut;
    }
    // What the rounding down left over, a pixel each from the lists that still have some.
    for (size_t i = 0; i < 3 && taken < take; ++i) {
        if (!collapsed[i] && heights[i] > floor) {
            --heights[i];
            ++taken;
        }
    }
    excess -= taken;
}

// A device length as the largest logical length that scales to no more than it.
int logical_room(int device, int dpi) {
    if (dpi <= 0) return device;
    return static_cast<int>(static_cast<int64_t>(std::max(device, 0)) * LOGICAL_DPI / dpi);
}

}  // namespace

MainLayout main_layout(const std::array<bool, 3>& collapsed, int dpi) {
    return layout_with(collapsed, dpi, LIST_HEIGHTS, 0);
}

MainLayout main_layout(const std::array<bool, 3>& collapsed, int dpi, int room_width,
                       int room_height) {
    std::array<int, 3> heights = LIST_HEIGHTS;
    const MainLayout full = layout_with(collapsed, dpi, heights, 0);
    int narrower = 0;
    if (full.client_width > room_width) {
        narrower = std::clamp(MAIN_WINDOW.width - logical_room(room_width, dpi), 0,
                              MAIN_WINDOW.width - MAIN_NARROWEST_WIDTH);
    }
    if (full.client_height > room_height) {
        int logical_height = FIRST_LABEL.y + BELOW_STATUS;
        for (size_t i = 0; i < 3; ++i) {
            logical_height += collapsed[i] ? MAIN_HIDDEN_SECTION_HEIGHT
                                           : LIST_FROM_LABEL + heights[i] + LIST_TO_NEXT_LABEL;
        }
        int excess = logical_height - logical_room(room_height, dpi);
        give_up_height(heights, collapsed, FEW_ROWS_LIST_HEIGHT, excess);
        give_up_height(heights, collapsed, ONE_ROW_LIST_HEIGHT, excess);
    }
    return layout_with(collapsed, dpi, heights, narrower);
}

Rect kept_inside(const Rect& outer, const Rect& work_area) {
    Rect placed = outer;
    placed.x =
        std::max(std::min(outer.x, work_area.x + work_area.width - outer.width), work_area.x);
    placed.y =
        std::max(std::min(outer.y, work_area.y + work_area.height - outer.height), work_area.y);
    return placed;
}

PickerFrame fit_picker(const PickerWindow& picker, int room_height) {
    PickerFrame frame;
    frame.window = picker.window;
    frame.remember_box = picker.remember_box;
    frame.ok_button = picker.ok_button;
    frame.cancel_button = picker.cancel_button;
    // The list fills what the item boxes took: from below the hint to above the remember box.
    const int top = picker.hint_label.y + picker.hint_label.height + 2;
    frame.list = {picker.hint_label.x, top, picker.hint_label.width,
                  std::max(picker.remember_box.y - 14 - top, 0)};
    const int excess = picker.window.height - room_height;
    if (excess <= 0) return frame;
    const int cut = std::min(excess, std::max(frame.list.height - PICKER_MIN_LIST_HEIGHT, 0));
    frame.list.height -= cut;
    frame.remember_box.y -= cut;
    frame.ok_button.y -= cut;
    frame.cancel_button.y -= cut;
    frame.window.height -= cut;
    frame.window.y += cut / 2;
    return frame;
}

Rect centred_over(const Rect& main, int width, int height) {
    return {main.x + (main.width - width) / 2, main.y + (main.height - height) / 2, width, height};
}

}  // namespace dalvento
