// The modal windows driven as a user would: each test opens one over a real owner window and a
// timer, running inside the window's own message loop, finds it by its title, checks it and
// presses its buttons or keys until the call returns.
#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "core/platform/platform.h"
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

using Step = std::function<void(HWND)>;

// The window of this thread with the given title: other programs under the same Wine server may
// have windows with the same titles open.
HWND own_window(std::string_view title) {
    struct Search {
        std::wstring title;
        HWND found = nullptr;
    } search{win32::wide(title)};
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM l) -> BOOL {
            auto* s = reinterpret_cast<Search*>(l);
            wchar_t text[256] = {};
            GetWindowTextW(window, text, 256);
            if (s->title != text) return TRUE;
            s->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Runs the steps one per timer tick, each with the visible top-level window titled `title`, from
// whatever message loop is running. Gives up (failing the test) if the window never appears, and
// closes it if it outlives the last step.
class Script {
  public:
    Script(std::string_view title, std::vector<Step> steps)
        : title_(title), steps_(std::move(steps)) {
        current_ = this;
        timer_ = SetTimer(nullptr, 0, 20, tick);
    }
    ~Script() {
        KillTimer(nullptr, timer_);
        current_ = nullptr;
        EXPECT_EQ(next_, steps_.size()) << "not every step ran";
    }
    Script(const Script&) = delete;
    Script& operator=(const Script&) = delete;

  private:
    static void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
        if (current_ && !current_->busy_) current_->advance();
    }

    void advance() {
        HWND window = own_window(title_);
        if (!window || !IsWindowVisible(window)) {
            if (next_ == 0 && ++waited_ > 250) {
                ADD_FAILURE() << "the window never appeared";
                KillTimer(nullptr, timer_);
            }
            return;
        }
        if (next_ < steps_.size()) {
            busy_ = true;
            steps_[next_++](window);
            busy_ = false;
            return;
        }
        if (++waited_ == 250) {
            ADD_FAILURE() << "the window stayed open after the last step";
            SendMessageW(window, WM_CLOSE, 0, 0);
        } else if (waited_ > 500) {
            PostMessageW(nullptr, WM_QUIT, 0, 0);
            KillTimer(nullptr, timer_);
        }
    }

    static inline Script* current_ = nullptr;
    std::string title_;
    std::vector<Step> steps_;
    size_t next_ = 0;
    int waited_ = 0;
    bool busy_ = false;
    UINT_PTR timer_ = 0;
};

std::vector<HWND> children(HWND window, const wchar_t* window_class) {
    std::vector<HWND> found;
    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[32] = {};
        GetClassNameW(child, name, 32);
        if (lstrcmpiW(name, window_class) == 0) found.push_back(child);
    }
    return found;
}

HWND button(HWND window, std::string_view caption) {
    for (HWND child : children(window, L"Button")) {
        if (win32::window_text(child) == caption) return child;
    }
    ADD_FAILURE() << "no button " << caption;
    return nullptr;
}

std::vector<HWND> check_boxes(HWND window) {
    std::vector<HWND> boxes;
    for (HWND child : children(window, L"Button")) {
        if ((GetWindowLongPtrW(child, GWL_STYLE) & BS_TYPEMASK) == BS_AUTOCHECKBOX) {
            boxes.push_back(child);
        }
    }
    return boxes;
}

void click(HWND window, std::string_view caption) {
    SendMessageW(button(window, caption), BM_CLICK, 0, 0);
}

bool checked(HWND box) {
    return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// A key as the user types it: posted to the focused control, so that it goes through the loop's
// IsDialogMessageW.
void press(UINT key) {
    PostMessageW(GetFocus(), WM_KEYDOWN, key, 0);
}

void type(HWND edit, std::string_view text) {
    win32::set_window_text(edit, text);
}

std::string cue(HWND edit) {
    wchar_t text[128] = {};
    SendMessageW(edit, EM_GETCUEBANNER, reinterpret_cast<WPARAM>(text), 128);
    return win32::utf8(text);
}

// Lets the messages still in flight from the last window arrive (focus and activation come back
// from the X server late under Wine). A quit left behind would end an outer loop too early.
void settle() {
    const DWORD end = GetTickCount() + 300;
    while (GetTickCount() < end) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                ADD_FAILURE() << "a stray quit message was left in the queue";
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(10);
    }
}

class Dialogs : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(win32::register_window_classes());
        win32::make_default_font();
    }

    void SetUp() override {
        main_ = CreateWindowExW(0, win32::MAIN_WINDOW_CLASS, L"Dialogs test owner",
                                win32::TOP_LEVEL_STYLE, 100, 80, 600, 400, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(main_, nullptr);
        const Rect size = win32::scaled({0, 0, MAIN_WINDOW.width, MAIN_WINDOW.height});
        win32::set_client_size(main_, size.width, size.height);
        settle();
    }

    void TearDown() override { DestroyWindow(main_); }

    // The window is gone and the owner usable again.
    void expect_closed(std::string_view title) {
        settle();
        EXPECT_EQ(own_window(title), nullptr);
        EXPECT_TRUE(IsWindowEnabled(main_));
    }

    HWND main_ = nullptr;
};

// --- picker ---

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

TEST_F(Dialogs, PickerReadsTheBoxesBackByPositionAndIgnoresEnterAndEsc) {
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
             EXPECT_EQ(win32::window_text(boxes[0]), PICKER_REMEMBER);
             EXPECT_EQ(GetFocus(), list);
             toggle_item(list, 0);
             toggle_item(list, 1);
             SendMessageW(boxes[0], BM_CLICK, 0, 0);
             // Enter and Esc as the dialog manager delivers them, and as typed.
             SendMessageW(window, WM_COMMAND, IDOK, 0);
             SendMessageW(window, WM_COMMAND, IDCANCEL, 0);
             SetFocus(button(window, PICKER_OK));
             press(VK_RETURN);
             press(VK_ESCAPE);
         },
         [&](HWND window) {
             EXPECT_TRUE(IsWindowVisible(window));
             click(window, PICKER_OK);
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

// --- delivery dialog ---

DeliveryDialog delivery_dialog(DialogFocus focus) {
    DeliveryDialog dialog;
    dialog.summary = "3 units, 12 MB, in quarnell_2026-03-01.zip.";
    dialog.sender = "Pat Clerk";
    dialog.reason = focus == DialogFocus::unusual ? "2026 roll" : "";
    if (focus == DialogFocus::sender) dialog.sender.clear();
    dialog.confirm_caption = "Bundle...";
    dialog.focus = focus;
    return dialog;
}

TEST_F(Dialogs, DeliveryDialogGivesBackExactlyWhatWasTypedOnEnter) {
    const DeliveryDialog dialog = delivery_dialog(DialogFocus::reason);
    Script script(DELIVERY_DIALOG_TITLE, {[&](HWND window) {
                      EXPECT_FALSE(IsWindowEnabled(main_));
                      const std::vector<HWND> edits = children(window, L"Edit");
                      ASSERT_EQ(edits.size(), 3u);
                      EXPECT_EQ(win32::window_text(edits[0]), "Pat Clerk");
                      EXPECT_EQ(win32::window_text(edits[1]), "");
                      EXPECT_EQ(win32::window_text(edits[2]), "");
                      EXPECT_EQ(cue(edits[1]), DELIVERY_REASON_BOX.cue);
                      EXPECT_EQ(cue(edits[2]), DELIVERY_UNUSUAL_BOX.cue);
                      EXPECT_EQ(GetFocus(), edits[1]);
                      EXPECT_NE(button(window, "Bundle..."), nullptr);
                      type(edits[0], "Pat Clerk  ");
                      type(edits[1], " 2026 roll");
                      type(edits[2],
                           "renumbered \xE2\x80\x9C"
                           "A\xE2\x80\x9D\t");
                      press(VK_RETURN);
                  }});
    const auto answer = win32::run_delivery_dialog(main_, dialog);
    ASSERT_TRUE(answer.has_value()) << answer.error();
    ASSERT_TRUE(answer->has_value());
    EXPECT_EQ((*answer)->sender, "Pat Clerk  ");
    EXPECT_EQ((*answer)->reason, " 2026 roll");
    EXPECT_EQ((*answer)->unusual,
              "renumbered \xE2\x80\x9C"
              "A\xE2\x80\x9D\t");
    expect_closed(DELIVERY_DIALOG_TITLE);
}

TEST_F(Dialogs, DeliveryDialogFocusStartsPerModelAndCancelGivesNothing) {
    struct Case {
        DialogFocus focus;
        size_t edit;
        std::function<void(HWND)> leave;
    };
    const std::vector<Case> cases = {
        {DialogFocus::sender, 0, [](HWND window) { click(window, "Cancel"); }},
        {DialogFocus::unusual, 2, [](HWND) { press(VK_ESCAPE); }},
        {DialogFocus::reason, 1,
         [](HWND window) { PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0); }},
        // Enter on the focused Cancel button presses Cancel, not the default button.
        {DialogFocus::sender, 0,
         [](HWND window) {
             SetFocus(button(window, "Cancel"));
             press(VK_RETURN);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.focus));
        Script script(DELIVERY_DIALOG_TITLE, {[&](HWND window) {
                          const std::vector<HWND> edits = children(window, L"Edit");
                          ASSERT_EQ(edits.size(), 3u);
                          EXPECT_EQ(GetFocus(), edits[c.edit]);
                          type(edits[0], "typed but cancelled");
                          c.leave(window);
                      }});
        const auto answer = win32::run_delivery_dialog(main_, delivery_dialog(c.focus));
        ASSERT_TRUE(answer.has_value()) << answer.error();
        EXPECT_FALSE(answer->has_value());
        expect_closed(DELIVERY_DIALOG_TITLE);
    }
}

TEST_F(Dialogs, DeliveryDialogConfirmButtonIsTheDefault) {
    Script script(DELIVERY_DIALOG_TITLE, {[](HWND window) {
                      HWND confirm = button(window, "Bundle...");
                      EXPECT_EQ(GetWindowLongPtrW(confirm, GWL_STYLE) & BS_TYPEMASK,
                                BS_DEFPUSHBUTTON);
                      const LRESULT id = SendMessageW(window, DM_GETDEFID, 0, 0);
                      EXPECT_EQ(HIWORD(id), DC_HASDEFID);
                      EXPECT_EQ(GetDlgItem(window, LOWORD(id)), confirm);
                      click(window, "Bundle...");
                  }});
    const auto answer = win32::run_delivery_dialog(main_, delivery_dialog(DialogFocus::unusual));
    ASSERT_TRUE(answer.has_value());
    ASSERT_TRUE(answer->has_value());
    EXPECT_EQ((*answer)->sender, "Pat Clerk");
    EXPECT_EQ((*answer)->reason, "2026 roll");
    EXPECT_EQ((*answer)->unusual, "");
}

// --- token prompt ---

TEST_F(Dialogs, TokenPromptGivesTheRawTextOnSaveOnly) {
    {
        Script script(TOKEN_PROMPT_TITLE, {[](HWND window) {
                          const std::vector<HWND> edits = children(window, L"Edit");
                          ASSERT_EQ(edits.size(), 1u);
                          EXPECT_EQ(GetFocus(), edits[0]);
                          EXPECT_EQ(cue(edits[0]), TOKEN_PROMPT_CUE);
                          type(edits[0], "  dlvt_abc123 ");
                          click(window, TOKEN_PROMPT_SAVE);
                      }});
        EXPECT_EQ(win32::run_token_prompt(main_), "  dlvt_abc123 ");
    }
    expect_closed(TOKEN_PROMPT_TITLE);
    {
        Script script(TOKEN_PROMPT_TITLE, {[](HWND window) {
                          type(children(window, L"Edit")[0], "dlvt_enter");
                          press(VK_RETURN);
                      }});
        EXPECT_EQ(win32::run_token_prompt(main_), "dlvt_enter");
    }
    expect_closed(TOKEN_PROMPT_TITLE);
    const std::vector<Step> leaves = {
        [](HWND window) { click(window, TOKEN_PROMPT_CANCEL); },
        [](HWND) { press(VK_ESCAPE); },
        [](HWND window) { PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0); },
    };
    for (const Step& leave : leaves) {
        Script script(TOKEN_PROMPT_TITLE, {[&](HWND window) {
                          type(children(window, L"Edit")[0], "dlvt_not_this");
                          leave(window);
                      }});
        EXPECT_EQ(win32::run_token_prompt(main_), std::nullopt);
        expect_closed(TOKEN_PROMPT_TITLE);
    }
}

TEST_F(Dialogs, TokenPromptSaveWaitsForMoreThanBlanks) {
    Script script(TOKEN_PROMPT_TITLE,
                  {[](HWND window) {
                       EXPECT_FALSE(IsWindowEnabled(button(window, TOKEN_PROMPT_SAVE)));
                       type(children(window, L"Edit")[0], " \t  ");
                       EXPECT_FALSE(IsWindowEnabled(button(window, TOKEN_PROMPT_SAVE)));
                       press(VK_RETURN);  // must not end the prompt
                   },
                   [](HWND window) {
                       type(children(window, L"Edit")[0], " dlvt_x ");
                       EXPECT_TRUE(IsWindowEnabled(button(window, TOKEN_PROMPT_SAVE)));
                       click(window, TOKEN_PROMPT_SAVE);
                   }});
    EXPECT_EQ(win32::run_token_prompt(main_), " dlvt_x ");
    expect_closed(TOKEN_PROMPT_TITLE);
}

// --- review ---

TEST_F(Dialogs, ReviewCopiesExactlyTheTextAndStaysOpen) {
    const std::string text =
        "About to send quarnell_2026-03-01.zip to dalvento.example.\r\n3 files in 1 unit, "
        "12 MB.\r\n\r\nGoing:\r\n  OWNER \xE2\x80\x94 parcels, 12 MB  (first time)\r\n";
    Script script(REVIEW_TITLE,
                  {[&](HWND window) {
                       const std::vector<HWND> edits = children(window, L"Edit");
                       ASSERT_EQ(edits.size(), 1u);
                       EXPECT_EQ(win32::window_text(edits[0]), text);
                       EXPECT_TRUE(GetWindowLongPtrW(edits[0], GWL_STYLE) & ES_READONLY);
                       click(window, "Copy");
                       // Enter must never send.
                       press(VK_RETURN);
                   },
                   [&](HWND window) {
                       EXPECT_TRUE(IsWindowVisible(window));
                       EXPECT_EQ(win32::probe::clipboard_text(), text);
                       click(window, "Send");
                   }});
    EXPECT_EQ(win32::run_review(main_, text), ReviewAnswer::send);
    expect_closed(REVIEW_TITLE);
}

TEST_F(Dialogs, ReviewBackEscAndTheCloseBoxAllGoBack) {
    const std::vector<Step> leaves = {
        [](HWND window) { click(window, "Back"); },
        [](HWND) { press(VK_ESCAPE); },
        [](HWND window) { PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0); },
    };
    for (const Step& leave : leaves) {
        Script script(REVIEW_TITLE, {leave});
        EXPECT_EQ(win32::run_review(main_, "text\r\n"), ReviewAnswer::back);
        expect_closed(REVIEW_TITLE);
    }
}

// --- settings ---

// Just enough of a Desktop for the settings model: its questions answered from a queue.
class QuestionDesktop : public Desktop {
  public:
    std::deque<BoxAnswer> answers;
    std::vector<std::string> titles;

    BoxAnswer message_box(const std::string& title, const std::string&, BoxStyle) override {
        titles.push_back(title);
        if (answers.empty()) return BoxAnswer::ok;
        const BoxAnswer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    std::optional<std::filesystem::path> pick_folder(
        FolderDialog, const std::optional<std::filesystem::path>&) override {
        return std::nullopt;
    }
    Rect main_window_placement() override { return MAIN_WINDOW; }
    PickerAnswer show_picker(const PickerWindow&) override { return {}; }
    std::optional<size_t> choose_folder_to_remove(const FolderRemoval&) override {
        return std::nullopt;
    }
    std::expected<std::optional<DeliveryDialogAnswer>, std::string> show_delivery_dialog(
        const DeliveryDialog&) override {
        return std::nullopt;
    }
    std::optional<std::string> show_token_prompt() override { return std::nullopt; }
    ReviewAnswer show_review(const std::string&) override { return ReviewAnswer::back; }
    bool run_settings(SettingsWindow&) override { return false; }
    void show_summary(const RenderedSummary&) override {}
    void show_status(const std::string&) override {}
    void apply_layout(const MainLayout&) override {}
    void set_delivery_buttons_enabled(bool, bool) override {}
    std::expected<void, std::string> set_clipboard(const std::string&) override { return {}; }
    void flash_taskbar() override {}
    bool is_foreground() override { return true; }
    bool is_main_window_enabled() override { return true; }
    void start_explorer(const std::string&) override {}
    int dpi() override { return 96; }
    std::function<void()> work_notice_poster() override {
        return [] {};
    }
};

class SettingsDialog : public Dialogs {
  protected:
    SettingsDialog() {
        model_.protect = +[](std::string_view token) -> std::optional<std::string> {
            return "sealed:" + std::string(token);
        };
    }

    struct Controls {
        HWND status, entry, save, show, remove;
    };
    static Controls controls(HWND window) {
        const std::vector<HWND> statics = children(window, L"Static");
        const std::vector<HWND> edits = children(window, L"Edit");
        EXPECT_EQ(statics.size(), 2u);
        EXPECT_EQ(edits.size(), 1u);
        if (statics.size() < 2 || edits.empty()) return {};
        return {statics[1], edits[0], button(window, SETTINGS_SAVE.text),
                GetWindow(button(window, SETTINGS_REMOVE.text), GW_HWNDPREV),
                button(window, SETTINGS_REMOVE.text)};
    }

    testing::IsolatedEnvironment environment_;
    QuestionDesktop desktop_;
    MainWindow model_{desktop_};
};

TEST_F(SettingsDialog, RefreshesFromTheModelAfterEveryButton) {
    SettingsWindow settings(model_);
    Script script(SETTINGS_TITLE,
                  {[&](HWND window) {
                       EXPECT_FALSE(IsWindowEnabled(main_));
                       const Controls c = controls(window);
                       EXPECT_EQ(GetFocus(), c.entry);
                       EXPECT_EQ(cue(c.entry), SETTINGS_ENTRY.cue);
                       EXPECT_EQ(win32::window_text(c.status), "Office token: not set yet.");
                       EXPECT_FALSE(IsWindowEnabled(c.show));
                       EXPECT_FALSE(IsWindowEnabled(c.remove));
                       // Blank: nothing taken, the entry keeps what was typed.
                       type(c.entry, "   ");
                       click(window, SETTINGS_SAVE.text);
                       EXPECT_EQ(win32::window_text(c.entry), "   ");
                       EXPECT_EQ(win32::window_text(c.status), "Office token: not set yet.");
                       EXPECT_FALSE(settings.working_copy().has_value());

                       type(c.entry, " dlvt_secret & more ");
                       click(window, SETTINGS_SAVE.text);
                       EXPECT_EQ(win32::window_text(c.entry), "");
                       EXPECT_EQ(win32::window_text(c.status), "Office token: set.");
                       EXPECT_TRUE(IsWindowEnabled(c.show));
                       EXPECT_TRUE(IsWindowEnabled(c.remove));

                       SendMessageW(c.show, BM_CLICK, 0, 0);
                       EXPECT_EQ(win32::window_text(c.status), "Office token: dlvt_secret & more");
                       EXPECT_EQ(win32::window_text(c.show), "Hide");

                       SendMessageW(c.remove, BM_CLICK, 0, 0);
                       EXPECT_EQ(win32::window_text(c.status), "Office token: not set yet.");
                       EXPECT_EQ(win32::window_text(c.show), "Show");
                       EXPECT_FALSE(IsWindowEnabled(c.show));
                       EXPECT_FALSE(IsWindowEnabled(c.remove));

                       // Enter in the entry saves it.
                       type(c.entry, "dlvt_by_enter");
                       SetFocus(c.entry);
                       press(VK_RETURN);
                   },
                   [&](HWND window) {
                       const Controls c = controls(window);
                       EXPECT_EQ(win32::window_text(c.entry), "");
                       EXPECT_EQ(settings.working_copy(), "dlvt_by_enter");
                       EXPECT_FALSE(settings.closing());
                       press(VK_ESCAPE);
                   }});
    EXPECT_TRUE(win32::run_settings_window(main_, settings));
    EXPECT_TRUE(settings.closing());
    EXPECT_EQ(model_.token, "dlvt_by_enter");
    EXPECT_EQ(model_.state.token_protected, "sealed:dlvt_by_enter");
    expect_closed(SETTINGS_TITLE);
}

TEST_F(SettingsDialog, ResetAsksAndClosesOnlyOnYes) {
    desktop_.answers = {BoxAnswer::no, BoxAnswer::yes};
    SettingsWindow settings(model_);
    Script script(SETTINGS_TITLE, {[&](HWND window) {
                                       click(window, SETTINGS_RESET.text);
                                       EXPECT_FALSE(settings.closing());
                                   },
                                   [&](HWND window) {
                                       EXPECT_TRUE(IsWindowVisible(window));
                                       click(window, SETTINGS_RESET.text);
                                   }});
    EXPECT_TRUE(win32::run_settings_window(main_, settings));
    EXPECT_EQ(desktop_.titles.size(), 2u);
    EXPECT_TRUE(settings.reset_requested());
    EXPECT_TRUE(settings.closing());
    expect_closed(SETTINGS_TITLE);
}

TEST_F(SettingsDialog, CloseButtonAndCloseBoxClose) {
    const std::vector<Step> leaves = {
        [](HWND window) { click(window, SETTINGS_CLOSE.text); },
        [](HWND window) { PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0); },
    };
    for (const Step& leave : leaves) {
        SettingsWindow settings(model_);
        Script script(SETTINGS_TITLE, {leave});
        EXPECT_TRUE(win32::run_settings_window(main_, settings));
        EXPECT_TRUE(settings.closing());
        EXPECT_FALSE(settings.reset_requested());
        expect_closed(SETTINGS_TITLE);
    }
}

}  // namespace
}  // namespace dalvento
