#include <gtest/gtest.h>

#include <climits>

#include "main/layout.h"
#include "main/window_design.h"

namespace dalvento {
namespace {

TEST(Layout, DpiRuleRoundsHalvesAwayFromZeroAndKeepsWhatDoesNotFit) {
    EXPECT_EQ(scale(940, 96), 940);
    EXPECT_EQ(scale(1, 144), 2);    // 1.5
    EXPECT_EQ(scale(-1, 144), -2);  // the sign after the rounding
    EXPECT_EQ(scale(3, 144), 5);    // 4.5
    EXPECT_EQ(scale(-3, 144), -5);
    EXPECT_EQ(scale(2, 120), 3);  // 2.5
    EXPECT_EQ(scale(5, 120), 6);  // 6.25
    EXPECT_EQ(scale(7, 120), 9);  // 8.75
    EXPECT_EQ(scale(0, 288), 0);
    EXPECT_EQ(scale(INT_MAX, 96), INT_MAX);
    EXPECT_EQ(scale(INT_MIN, 96), INT_MIN);
    // Results past 32 bits leave the value as it was.
    EXPECT_EQ(scale(1'073'741'824, 192), 1'073'741'824);
    EXPECT_EQ(scale(-1'073'741'825, 192), -1'073'741'825);
    EXPECT_EQ(scale(1'073'741'823, 192), 2'147'483'646);

    EXPECT_EQ(scale(Rect{14, -3, 910, 1}, 144), (Rect{21, -5, 1365, 2}));
}

TEST(Layout, ListColumnsTruncateAndClamp) {
    EXPECT_EQ(list_column_widths(96), (std::array<int, 6>{165, 115, 115, 65, 215, 210}));
    EXPECT_EQ(list_column_widths(144), (std::array<int, 6>{247, 172, 172, 97, 322, 315}));
    EXPECT_EQ(list_column_widths(120), (std::array<int, 6>{206, 143, 143, 81, 268, 262}));
    EXPECT_EQ(scale_column(INT_MAX, 192), INT_MAX);
    EXPECT_EQ(scale_column(INT_MIN, 192), INT_MIN);
    EXPECT_EQ(scale_column(-165, 144), -247);
}

TEST(Layout, ReLayoutFollowsTheCollapsedSections) {
    const MainLayout open = main_layout({false, false, false}, 96);
    EXPECT_EQ(open.status_box, (Rect{14, 544, 910, 70}));
    EXPECT_EQ(open.client_width, 940);
    EXPECT_EQ(open.client_height, 700);
    EXPECT_EQ(open.sections[0].label, (Rect{14, 56, 610, 22}));
    EXPECT_EQ(open.sections[0].toggle, (Rect{630, 52, 88, 28}));
    EXPECT_EQ(open.sections[0].source_button, (Rect{724, 50, 200, 30}));
    EXPECT_EQ(open.sections[0].list, (Rect{14, 84, 910, 150}));
    EXPECT_EQ(open.sections[1].list, (Rect{14, 270, 910, 120}));
    EXPECT_EQ(open.sections[2].label, (Rect{14, 398, 610, 22}));
    EXPECT_EQ(open.sections[2].list, (Rect{14, 426, 910, 110}));
    EXPECT_EQ(open.settings_button, (Rect{14, 626, 200, 40}));
    EXPECT_EQ(open.bundle_button, (Rect{564, 626, 170, 40}));
    EXPECT_EQ(open.send_button, (Rect{744, 626, 180, 40}));
    for (const auto& section : open.sections) {
        EXPECT_EQ(section.toggle_text, "Hide");
        EXPECT_FALSE(section.collapsed);
    }

    const MainLayout closed = main_layout({true, true, true}, 96);
    EXPECT_EQ(closed.status_box.y, 158);
    EXPECT_EQ(closed.client_height, 314);
    EXPECT_EQ(closed.sections[1].label.y, 90);
    EXPECT_EQ(closed.sections[2].toggle, (Rect{630, 120, 88, 28}));
    for (const auto& section : closed.sections) {
        EXPECT_EQ(section.toggle_text, "Show");
        EXPECT_TRUE(section.collapsed);
    }

    // Only the middle section collapsed: the others keep their lists.
    const MainLayout middle = main_layout({false, true, false}, 96);
    EXPECT_EQ(middle.sections[1].label.y, 242);
    EXPECT_EQ(middle.sections[2].label.y, 276);
    EXPECT_EQ(middle.sections[2].list, (Rect{14, 304, 910, 110}));
    EXPECT_EQ(middle.status_box.y, 422);
    EXPECT_EQ(middle.client_height, 578);

    // At 144 DPI everything is half as large again, halves rounded away from zero.
    const MainLayout big = main_layout({false, false, false}, 144);
    EXPECT_EQ(big.status_box, (Rect{21, 816, 1365, 105}));
    EXPECT_EQ(big.client_width, 1410);
    EXPECT_EQ(big.client_height, 1050);
    EXPECT_EQ(big.sections[0].toggle, (Rect{945, 78, 132, 42}));
    EXPECT_EQ(big.sections[2].list, (Rect{21, 639, 1365, 165}));
    EXPECT_EQ(big.send_button, (Rect{1116, 939, 270, 60}));
    const MainLayout big_closed = main_layout({true, true, true}, 144);
    EXPECT_EQ(big_closed.status_box.y, 237);
    EXPECT_EQ(big_closed.client_height, 471);
}

bool inside(const Rect& inner, int width, int height) {
    return inner.x >= 0 && inner.y >= 0 && inner.x + inner.width <= width &&
           inner.y + inner.height <= height;
}

TEST(Layout, TheMainWindowFitsTheRoomItsScreenLeaves) {
    struct Case {
        std::array<bool, 3> collapsed;
        int dpi, room_width, room_height;
        std::array<int, 3> list_heights;  // logical; 0 for a collapsed section
        int client_width;                 // logical
    };
    const Case cases[] = {
        // 1366 x 768 at 100 % under a taskbar: three pixels to find, rounding spread over lists.
        {{false, false, false}, 96, 1360, 697, {148, 119, 110}, 940},
        // 1920 x 1080 at 150 %: 44 logical pixels, in proportion to what each list has spare.
        {{false, false, false}, 144, 1914, 985, {127, 108, 101}, 940},
        // 1366 x 768 at 150 %: too narrow as well; the lists go down to a few rows, then further.
        {{false, false, false}, 144, 1360, 689, {46, 46, 47}, 906},
        // Collapsed sections have no list to give.
        {{true, false, true}, 144, 1914, 600, {0, 84, 0}, 940},
        // No room even for one row each: that is as short as the lists get.
        {{false, false, false}, 96, 1360, 300, {44, 44, 44}, 940},
        // A screen far too narrow: no narrower than 600.
        {{false, false, false}, 96, 400, 2000, {150, 120, 110}, 600},
    };
    for (const Case& c : cases) {
        const MainLayout fitted = main_layout(c.collapsed, c.dpi, c.room_width, c.room_height);
        SCOPED_TRACE(::testing::Message()
                     << c.dpi << " dpi, room " << c.room_width << "x" << c.room_height);
        EXPECT_EQ(fitted.client_width, scale(c.client_width, c.dpi));
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(fitted.sections[i].list.height, scale(c.list_heights[i], c.dpi)) << i;
            EXPECT_EQ(fitted.sections[i].collapsed, c.collapsed[i]);
        }
        // Nothing overlaps what follows it, and the buttons stay inside the client area.
        const MainLayout::Section& last = fitted.sections[2];
        EXPECT_LE(
            last.collapsed ? last.label.y + last.label.height : last.list.y + last.list.height,
            fitted.status_box.y);
        EXPECT_LE(fitted.settings_button.x + fitted.settings_button.width, fitted.bundle_button.x);
        for (const Rect& r :
             {fitted.status_box, fitted.settings_button, fitted.bundle_button, fitted.send_button,
              fitted.sections[0].source_button, fitted.sections[2].toggle}) {
            EXPECT_TRUE(inside(r, fitted.client_width, fitted.client_height));
        }
        if (c.list_heights != std::array<int, 3>{44, 44, 44}) {
            EXPECT_LE(fitted.client_height, c.room_height);
        }
    }
    // Where the layout fits, it is exactly the one of old.
    for (const int dpi : {96, 144}) {
        const MainLayout plain = main_layout({false, true, false}, dpi);
        const MainLayout roomy =
            main_layout({false, true, false}, dpi, plain.client_width, plain.client_height);
        EXPECT_EQ(roomy.client_height, plain.client_height);
        EXPECT_EQ(roomy.status_box, plain.status_box);
        EXPECT_EQ(roomy.send_button, plain.send_button);
        EXPECT_EQ(roomy.sections[2].list, plain.sections[2].list);
    }
}

TEST(Layout, WindowsAreKeptInsideTheWorkAreaAndThePickerScrollsItsItems) {
    const Rect work = {0, 0, 1366, 728};
    EXPECT_EQ(kept_inside({200, 120, 946, 731}, work), (Rect{200, 0, 946, 731}));
    EXPECT_EQ(kept_inside({-30, 500, 400, 300}, work), (Rect{0, 428, 400, 300}));
    EXPECT_EQ(kept_inside({1200, 10, 400, 300}, work), (Rect{966, 10, 400, 300}));
    // Larger than the work area: the caption stays reachable.
    EXPECT_EQ(kept_inside({100, 100, 2000, 900}, {1366, 0, 1920, 1040}),
              (Rect{1366, 100, 2000, 900}));

    PickerWindow picker;
    const int h = 60 * 28;
    picker.window = {160, -600, 620, h + 196};
    picker.hint_label = {16, 48, 588, 40};
    picker.remember_box = {16, h + 104, 588, 24};
    picker.ok_button = {434, h + 140, 90, 34};
    picker.cancel_button = {534, h + 140, 70, 34};
    const PickerFrame roomy = fit_picker(picker, 5000);
    EXPECT_EQ(roomy.list, (Rect{16, 90, 588, h}));
    EXPECT_EQ(roomy.window, picker.window);
    EXPECT_EQ(roomy.ok_button, picker.ok_button);

    const PickerFrame capped = fit_picker(picker, 700);
    EXPECT_EQ(capped.window, (Rect{160, -600 + (h + 196 - 700) / 2, 620, 700}));
    EXPECT_EQ(capped.list, (Rect{16, 90, 588, 700 - 196}));
    EXPECT_EQ(capped.remember_box.y, capped.list.y + capped.list.height + 14);
    EXPECT_EQ(capped.ok_button.y + capped.ok_button.height, 700 - 22);
    EXPECT_EQ(capped.cancel_button.y, capped.ok_button.y);

    // A room too small for even a few items keeps them; the window is then kept inside by its top.
    const PickerFrame cramped = fit_picker(picker, 100);
    EXPECT_EQ(cramped.list.height, PICKER_MIN_LIST_HEIGHT);
    EXPECT_EQ(cramped.window.height, PICKER_MIN_LIST_HEIGHT + 196);
}

TEST(Layout, SecondaryWindowsSitOverTheMiddleOfTheMainWindow) {
    EXPECT_EQ(centred_over(Rect{200, 120, 940, 700}, 520, 252), (Rect{410, 344, 520, 252}));
    // Integer division of odd differences, and windows larger than the main one.
    EXPECT_EQ(centred_over(Rect{0, 0, 301, 201}, 100, 100), (Rect{100, 50, 100, 100}));
    EXPECT_EQ(centred_over(Rect{10, 10, 100, 100}, 301, 200), (Rect{-90, -40, 301, 200}));
}

TEST(Layout, TheInitialPlacesAreWhereTheReLayoutPutsThem) {
    const MainLayout open = main_layout({false, false, false}, 96);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(MAIN_LISTS[i], open.sections[i].list) << i;
        EXPECT_EQ(MAIN_TOGGLE_BUTTONS[i].rect, open.sections[i].toggle) << i;
        EXPECT_EQ(MAIN_SOURCE_BUTTONS[i].rect, open.sections[i].source_button) << i;
        EXPECT_EQ(MAIN_SECTION_LABELS[i].rect.y, open.sections[i].label.y) << i;
    }
    EXPECT_EQ(MAIN_SETTINGS_BUTTON.rect, open.settings_button);
    EXPECT_EQ(MAIN_BUNDLE_BUTTON.rect, open.bundle_button);
    EXPECT_EQ(MAIN_SEND_BUTTON.rect, open.send_button);
    EXPECT_EQ(MAIN_WINDOW.width, open.client_width);
    EXPECT_EQ(MAIN_WINDOW.height, open.client_height);
    EXPECT_EQ(folder_dialog_title(FolderDialog::zip_destination),
              "Where should the zip be saved? (a folder or a USB stick)");
}

}  // namespace
}  // namespace dalvento
