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
