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
                      EXPECT_EQ(win32::probe::shown_text(edits[0]), "Pat Clerk");
                      EXPECT_EQ(win32::probe::shown_text(edits[1]), "");
                      EXPECT_EQ(win32::probe::shown_text(edits[2]), "");
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
                       EXPECT_EQ(win32::probe::shown_text(edits[0]), text);
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

}  // namespace
}  // namespace dalvento
