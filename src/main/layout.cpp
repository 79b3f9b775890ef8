#include "main/layout.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace dalvento {

namespace {

constexpr std::array<int, 3> LIST_HEIGHTS = {150, 120, 110};

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

MainLayout main_layout(const std::array<bool, 3>& collapsed, int dpi) {
    MainLayout layout;
    int y = 56;
    for (size_t i = 0; i < 3; ++i) {
        MainLayout::Section& section = layout.sections[i];
        section.label = scale(Rect{14, y, 610, 22}, dpi);
        section.toggle = scale(Rect{630, y - 4, 88, 28}, dpi);
        section.source_button = scale(Rect{724, y - 6, 200, 30}, dpi);
        section.collapsed = collapsed[i];
        if (collapsed[i]) {
            section.toggle_text = "Show";
            y += 34;
        } else {
            section.toggle_text = "Hide";
            section.list = scale(Rect{14, y + 28, 910, LIST_HEIGHTS[i]}, dpi);
            y += LIST_HEIGHTS[i] + 36;
        }
    }
    layout.status_box = scale(Rect{14, y, 910, 70}, dpi);
    layout.settings_button = scale(Rect{14, y + 82, 200, 40}, dpi);
    layout.bundle_button = scale(Rect{564, y + 82, 170, 40}, dpi);
    layout.send_button = scale(Rect{744, y + 82, 180, 40}, dpi);
    layout.client_width = scale(940, dpi);
    layout.client_height = scale(y + 156, dpi);
    return layout;
}

Rect centred_over(const Rect& main, int width, int height) {
    return {main.x + (main.width - width) / 2, main.y + (main.height - height) / 2, width, height};
}

}  // namespace dalvento
