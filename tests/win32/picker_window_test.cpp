// The source picker and the folder-removal chooser, driven as a user would.
#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "core/platform/platform.h"
#include "dialog_script.h"
#include "main/layout.h"
#include "main/main_window.h"
#include "main/settings.h"
#include "main/win32/dialogs.h"
#include "main/win32/win32_ui.h"
#include "main/window_design.h"
#include "support/test_support.h"
#include "window_probe.h"

namespace dalvento {
namespace {

PickerWindow three_item_picker(const Rect& main_placement) {
    PickerWindow picker;
    picker.title = "Parcel source";
    picker.folder_line = "Folder: R&D exports";
    picker.hint = "Select what should go in the delivery.";
    picker.items = {{"tblREProperty", "tblREProperty   (core)", true},
                    {"tblExtra", "tblExtra", false},
                    {"tblRENotes", "Notes & comments", true}};
    const int h = 3 * 28;
    picker.window = centred_over(main_placement, 620, h + 196);
    picker.folder_label = {16, 14, 362, 24};
    picker.remove_folder_button = {384, 10, 114, 30};
    picker.add_folder_button = {504, 10, 100, 30};
    picker.hint_label = {16, 48, 588, 40};
    for (int i = 0; i < 3; ++i)
        picker.item_boxes.push_back({16, 92 + 28 * i, 588, 24});
    picker.remember_box = {16, h + 104, 588, 24};
    picker.ok_button = {434, h + 140, 90, 34};
    picker.cancel_button = {534, h + 140, 70, 34};
    return picker;
}

// The picker's items: the list view's rows, their labels and ticks.
HWND item_list(HWND window) {
    const std::vector<HWND> lists = children(window, WC_LISTVIEWW);
    return lists.size() == 1 ? lists[0] : nullptr;
}

int item_count(HWND list) {
    return static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
}

std::string item_label(HWND list, int index) {
    wchar_t text[256] = {};
    LVITEMW item{};
    item.pszText = text;
    item.cchTextMax = 256;
    SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(&item));
    return win32::utf8(text);
}

bool item_checked(HWND list, int index) {
    return (SendMessageW(list, LVM_GETITEMSTATE, static_cast<WPARAM>(index), LVIS_STATEIMAGEMASK) &
            LVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2);
}

// As a click on the item's check box or Space on it does.
void toggle_item(HWND list, int index) {
    LVITEMW item{};
    item.stateMask = LVIS_STATEIMAGEMASK;
    item.state = INDEXTOSTATEIMAGEMASK(item_checked(list, index) ? 1 : 2);
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(&item));
}

TEST_F(Dialogs, PickerReadsTheBoxesBackByPositionAndEnterPressesOK) {
    const PickerWindow picker = three_item_picker(win32::logical_placement(main_));
    const int dpi = win32::screen_dpi();
    Script script(
        picker.title,
        {[&](HWND window) {
             EXPECT_FALSE(IsWindowEnabled(main_));
             EXPECT_EQ(win32::probe::client_size(window),
                       (Rect{0, 0, scale(620, dpi), scale(3 * 28 + 196, dpi)}));
             const std::vector<HWND> boxes = check_boxes(window);
             ASSERT_EQ(boxes.size(), 1u);  // the remember box; the items are a list
             HWND list = item_list(window);
             ASSERT_NE(list, nullptr);
             EXPECT_EQ(win32::probe::rect_in_parent(list), scale(Rect{16, 90, 588, 3 * 28}, dpi));
             EXPECT_TRUE(SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) &
                         LVS_EX_CHECKBOXES);
             ASSERT_EQ(item_count(list), 3);
             EXPECT_EQ(item_label(list, 2), "Notes & comments");  // no mnemonic here
             EXPECT_TRUE(item_checked(list, 0));
             EXPECT_FALSE(item_checked(list, 1));
             EXPECT_TRUE(item_checked(list, 2));
             EXPECT_TRUE(checked(boxes[0]));
             EXPECT_EQ(win32::probe::shown_text(boxes[0]), PICKER_REMEMBER);
             EXPECT_EQ(GetFocus(), list);
             toggle_item(list, 0);
             toggle_item(list, 1);
             SendMessageW(boxes[0], BM_CLICK, 0, 0);
             // Enter in the list presses the default button, OK.
             SendMessageW(window, WM_COMMAND, IDOK, 0);
         }});
    const PickerAnswer answer = win32::run_picker(main_, picker);
    EXPECT_EQ(answer.result, PickerResult::ok);
    EXPECT_EQ(answer.ticked, (std::vector<bool>{false, true, true}));
    EXPECT_FALSE(answer.remember);
    expect_closed(picker.title);
}

TEST_F(Dialogs, PickerEndsWithAddFolderCancelOrTheCloseBox) {
    PickerWindow picker = three_item_picker(win32::logical_placement(main_));
    {
        Script script(picker.title, {[](HWND window) { click(window, PICKER_ADD_FOLDER); }});
        EXPECT_EQ(win32::run_picker(main_, picker).result, PickerResult::add_folder);
    }
    expect_closed(picker.title);
    {
        Script script(picker.title, {[](HWND window) { click(window, PICKER_REMOVE_FOLDER); }});
        EXPECT_EQ(win32::run_picker(main_, picker).result, PickerResult::remove_folder);
    }
    expect_closed(picker.title);
    {
        Script script(picker.title, {[](HWND window) { click(window, PICKER_CANCEL); }});
        EXPECT_EQ(win32::run_picker(main_, picker).result, PickerResult::cancel);
    }
    expect_closed(picker.title);
    {
        Script script(picker.title,
                      {[](HWND window) { PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0); }});
        EXPECT_EQ(win32::run_picker(main_, picker).result, PickerResult::cancel);
    }
    expect_closed(picker.title);

    // Nothing found: no item list, only the remember box, and OK still answers.
    picker.items.clear();
    picker.item_boxes.clear();
    Script script(picker.title, {[](HWND window) {
                      EXPECT_EQ(check_boxes(window).size(), 1u);
                      EXPECT_EQ(item_list(window), nullptr);
                      click(window, PICKER_OK);
                  }});
    const PickerAnswer answer = win32::run_picker(main_, picker);
    EXPECT_EQ(answer.result, PickerResult::ok);
    EXPECT_TRUE(answer.ticked.empty());
    EXPECT_TRUE(answer.remember);
}

TEST_F(Dialogs, APickerOfManyItemsFitsTheScreenWithItsButtonsReachable) {
    // 60 items would make a window 1876 logical pixels high: the list scrolls instead.
    PickerWindow picker = three_item_picker(win32::logical_placement(main_));
    picker.title = "Other source";
    picker.items.clear();
    picker.item_boxes.clear();
    const int n = 60;
    for (int i = 0; i < n; ++i) {
        picker.items.push_back(
            {"file" + std::to_string(i), "scan_" + std::to_string(i) + ".pdf", i % 3 == 0});
        picker.item_boxes.push_back({16, 92 + 28 * i, 588, 24});
    }
    picker.window = centred_over(win32::logical_placement(main_), 620, n * 28 + 196);
    picker.remember_box = {16, n * 28 + 104, 588, 24};
    picker.ok_button = {434, n * 28 + 140, 90, 34};
    picker.cancel_button = {534, n * 28 + 140, 70, 34};
    Script script(
        picker.title,
        {[&](HWND window) {
             const Rect work = win32::work_area(window);
             EXPECT_TRUE(win32::probe::lies_inside(win32::probe::screen_rect(window), work));
             for (std::string_view caption :
                  {PICKER_OK, PICKER_CANCEL, PICKER_ADD_FOLDER, PICKER_REMEMBER}) {
                 HWND control = button(window, caption);
                 EXPECT_TRUE(win32::probe::lies_inside(win32::probe::screen_rect(control),
                                                       win32::probe::screen_rect(window)))
                     << caption;
                 EXPECT_TRUE(win32::probe::lies_inside(win32::probe::screen_rect(control), work))
                     << caption;
             }
             HWND list = item_list(window);
             ASSERT_EQ(item_count(list), n);
             const auto per_page = static_cast<int>(SendMessageW(list, LVM_GETCOUNTPERPAGE, 0, 0));
             EXPECT_GE(per_page, 3);
             EXPECT_LT(per_page, n);
             EXPECT_TRUE(GetWindowLongPtrW(list, GWL_STYLE) & WS_VSCROLL);
             // The last item scrolled into view and ticked.
             SendMessageW(list, LVM_ENSUREVISIBLE, n - 1, FALSE);
             toggle_item(list, n - 1);
             if (const auto folder = platform::get_env("DALVENTO_SCREENSHOTS")) {
                 EXPECT_TRUE(win32::probe::save_screenshot(std::filesystem::path(*folder) /
                                                           "picker_60_items.png"));
             }
         },
         [&](HWND window) { click(window, PICKER_OK); }});
    const PickerAnswer answer = win32::run_picker(main_, picker);
    ASSERT_EQ(answer.result, PickerResult::ok);
    ASSERT_EQ(answer.ticked.size(), static_cast<size_t>(n));
    for (int i = 0; i < n - 1; ++i)
        EXPECT_EQ(answer.ticked[static_cast<size_t>(i)], i % 3 == 0) << i;
    EXPECT_TRUE(answer.ticked.back());
    expect_closed(picker.title);
}

// --- folder removal ---

TEST_F(Dialogs, FolderRemovalGivesThePositionChosenOrNothing) {
    const FolderRemoval removal{.title = "Remove a folder",
                                .text = "Which folder should Dalvento stop looking in?",
                                .folders = {"C:\\exports\\other", "Z:\\tmp\\R&D extras"},
                                .window = centred_over(win32::logical_placement(main_), 560, 260)};
    {
        Script script(removal.title, {[](HWND window) {
                          const std::vector<HWND> lists = children(window, L"ListBox");
                          ASSERT_EQ(lists.size(), 1u);
                          EXPECT_EQ(GetFocus(), lists[0]);
                          ASSERT_EQ(SendMessageW(lists[0], LB_GETCOUNT, 0, 0), 2);
                          wchar_t item[64] = {};
                          SendMessageW(lists[0], LB_GETTEXT, 1, reinterpret_cast<LPARAM>(item));
                          EXPECT_EQ(win32::utf8(item), "Z:\\tmp\\R&D extras");
                          EXPECT_EQ(SendMessageW(lists[0], LB_GETCURSEL, 0, 0), 0);
                          SendMessageW(lists[0], LB_SETCURSEL, 1, 0);
                          click(window, "Remove");
                      }});
        EXPECT_EQ(win32::run_folder_removal(main_, removal), std::optional<size_t>(1));
    }
    expect_closed(removal.title);
    {
        Script script(removal.title, {[](HWND) { press(VK_RETURN); }});
        EXPECT_EQ(win32::run_folder_removal(main_, removal), std::optional<size_t>(0));
    }
    expect_closed(removal.title);
    const std::vector<Step> leaves = {
        [](HWND window) { click(window, "Cancel"); },
        [](HWND) { press(VK_ESCAPE); },
        [](HWND window) { PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0); },
    };
    for (const Step& leave : leaves) {
        Script script(removal.title, {leave});
        EXPECT_EQ(win32::run_folder_removal(main_, removal), std::nullopt);
        expect_closed(removal.title);
    }
}

}  // namespace
}  // namespace dalvento
