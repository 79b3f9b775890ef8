// The settings window driven as a user would, over its portable model.
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
    void announce_status(const std::string&) override {}
    void apply_layout(const MainLayout&) override {}
    void set_delivery_buttons_enabled(bool, bool) override {}
    void set_send_button_stops(bool) override {}
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
        HWND status, about, entry, save, show, remove;
    };
    static Controls controls(HWND window) {
        const std::vector<HWND> statics = children(window, L"Static");
        const std::vector<HWND> edits = children(window, L"Edit");
        EXPECT_EQ(statics.size(), 3u);
        EXPECT_EQ(edits.size(), 1u);
        if (statics.size() < 3 || edits.empty()) return {};
        return {statics[1], statics[2], edits[0], button(window, SETTINGS_SAVE.text),
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
                       EXPECT_EQ(win32::probe::shown_text(c.status), "Office token: not set yet.");
                       EXPECT_EQ(win32::window_text(c.about), settings.view().about);
                       {
                           // The longest About line fits its label in the window's font.
                           const std::wstring longest = win32::wide(
                               about_line(DALVENTO_VERSION, "0123456789ab", true));
                           HDC dc = GetDC(c.about);
                           const auto label_font =
                               reinterpret_cast<HFONT>(SendMessageW(c.about, WM_GETFONT, 0, 0));
                           HGDIOBJ font = SelectObject(dc, label_font);
                           SIZE size{};
                           GetTextExtentPoint32W(dc, longest.c_str(),
                                                 static_cast<int>(longest.size()), &size);
                           SelectObject(dc, font);
                           ReleaseDC(c.about, dc);
                           RECT label{};
                           GetClientRect(c.about, &label);
                           EXPECT_LE(size.cx, label.right) << win32::utf8(longest);
                       }
                       EXPECT_FALSE(IsWindowEnabled(c.show));
                       EXPECT_FALSE(IsWindowEnabled(c.remove));
                       // Blank: nothing taken, the entry keeps what was typed.
                       type(c.entry, "   ");
                       click(window, SETTINGS_SAVE.text);
                       EXPECT_EQ(win32::probe::shown_text(c.entry), "   ");
                       EXPECT_EQ(win32::probe::shown_text(c.status), "Office token: not set yet.");
                       EXPECT_FALSE(settings.working_copy().has_value());

                       type(c.entry, " dlvt_secret & more ");
                       click(window, SETTINGS_SAVE.text);
                       EXPECT_EQ(win32::probe::shown_text(c.entry), "");
                       EXPECT_EQ(win32::probe::shown_text(c.status), "Office token: set.");
                       EXPECT_TRUE(IsWindowEnabled(c.show));
                       EXPECT_TRUE(IsWindowEnabled(c.remove));

                       SendMessageW(c.show, BM_CLICK, 0, 0);
                       EXPECT_EQ(win32::probe::shown_text(c.status), "Office token: dlvt_secret & more");
                       EXPECT_EQ(win32::probe::shown_text(c.show), "Hide");

                       SendMessageW(c.remove, BM_CLICK, 0, 0);
                       EXPECT_EQ(win32::probe::shown_text(c.status), "Office token: not set yet.");
                       EXPECT_EQ(win32::probe::shown_text(c.show), "Show");
                       EXPECT_FALSE(IsWindowEnabled(c.show));
                       EXPECT_FALSE(IsWindowEnabled(c.remove));

                       // Enter in the entry saves it.
                       type(c.entry, "dlvt_by_enter");
                       SetFocus(c.entry);
                       press(VK_RETURN);
                   },
                   [&](HWND window) {
                       const Controls c = controls(window);
                       EXPECT_EQ(win32::probe::shown_text(c.entry), "");
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
