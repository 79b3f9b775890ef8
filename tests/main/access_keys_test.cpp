#include "main/access_keys.h"

#include <gtest/gtest.h>

#include "main/window_design.h"

namespace dalvento {
namespace {

// The key lands on the letter meant, in every text the control can show; ampersands of its own
// stay ampersands.
TEST(AccessKeys, MarkTheLetterMeantInEveryTextAControlShows) {
    struct Case {
        std::string_view text;
        std::string_view keys;
        std::string_view shown;
        char key;
    };
    const Case cases[] = {
        {"Bundle...", DELIVERY_CONFIRM_KEYS, "&Bundle...", 'B'},
        {"Next...", DELIVERY_CONFIRM_KEYS, "&Next...", 'N'},
        {"Hide", MAIN_TOGGLE_BUTTON_KEYS[0], "&Hide", 'H'},
        {"Show", MAIN_TOGGLE_BUTTON_KEYS[0], "S&how", 'H'},
        {"Hide", MAIN_TOGGLE_BUTTON_KEYS[1], "H&ide", 'I'},
        {"Show", MAIN_TOGGLE_BUTTON_KEYS[1], "Sho&w", 'W'},
        {"Hide", MAIN_TOGGLE_BUTTON_KEYS[2], "Hid&e", 'E'},
        {"Show", MAIN_TOGGLE_BUTTON_KEYS[2], "Sh&ow", 'O'},
        {"Add Other Source...", MAIN_SOURCE_BUTTON_KEYS[2], "Add Other So&urce...", 'U'},
        {"Other data \xE2\x80\x94 2 files, 1 selected", MAIN_SECTION_LABEL_KEYS[2],
         "Other &data \xE2\x80\x94 2 files, 1 selected", 'D'},
        {"Stop sending", MAIN_SEND_BUTTON.keys, "&Stop sending", 'S'},
        {"Office token: dlvt_a&b", SETTINGS_STATUS_LINE_KEYS, "&Office token: dlvt_a&&b", 'O'},
        {"Notes & comments", "Q", "Notes && comments", 0},
    };
    for (const Case& c : cases) {
        const std::string shown = with_access_key(c.text, c.keys);
        EXPECT_EQ(shown, c.shown) << c.text;
        EXPECT_EQ(access_key_of(shown), c.key) << c.text;
    }
}

}  // namespace
}  // namespace dalvento
