#include "main/settings.h"

#include "core/tracking/state.h"
#include "main/build_info.h"
#include "county/text.h"
#include "main/layout.h"
#include "main/summary.h"

namespace dalvento {

namespace {

constexpr std::string_view RESET_TITLE = "Reset Dalvento settings?";
constexpr std::string_view RESET_TEXT =
    "This forgets the export folders, every selection, the name, the reason, the zip folder, and "
    "the record of what was delivered. Your office token and your export files are not touched."
    "\n\nThe next delivery will treat every file as its first, and ask you before sending it.";

}  // namespace

std::string about_line(std::string_view version, std::string_view commit, bool modified) {
    std::string line = "Dalvento " + std::string(version);
    if (commit.empty()) return line + ", built from an unknown commit";
    line += ", built from commit " + std::string(commit);
    if (modified) line += " with changes";
    return line;
}

SettingsWindow::SettingsWindow(MainWindow& main) : main_(main), working_(main.token) {}

bool SettingsWindow::save(std::string_view entry) {
    std::string token = trim(entry);
    if (token.empty()) return false;
    working_ = std::move(token);
    shown_ = false;
    return true;
}

void SettingsWindow::show() {
    shown_ = !shown_;
}

void SettingsWindow::remove() {
    working_.reset();
    shown_ = false;
}

void SettingsWindow::forget_refused(const std::string& token) {
    if (working_ != token) return;
    working_.reset();
    shown_ = false;
}

void SettingsWindow::reset() {
    if (main_.desktop.message_box(std::string(RESET_TITLE), std::string(RESET_TEXT),
                                  BoxStyle::question) != BoxAnswer::yes) {
        return;
    }
    reset_requested_ = true;
    close();
}

void SettingsWindow::close() {
    if (closing_) return;
    closing_ = true;
    commit_token();
}

void SettingsWindow::commit_token() {
    if (working_ == main_.token) return;
    if (!working_) {
        remove_token(main_.state);
        main_.token.reset();
        save_state_or_report(main_);
        return;
    }
    const std::optional<std::string> blob = main_.protect(*working_);
    if (!blob) {
        main_.desktop.message_box(std::string(TOKEN_NOT_KEPT_TITLE),
                                  std::string(TOKEN_NOT_KEPT_TEXT), BoxStyle::error);
        return;
    }
    main_.state.token_protected = *blob;
    main_.token = working_;
    save_state_or_report(main_);
}

SettingsView SettingsWindow::view() const {
    SettingsView view;
    view.about = about_line(DALVENTO_VERSION, BUILD_COMMIT, BUILD_MODIFIED);
    if (!working_) {
        view.status_line = "Office token: not set yet.";
        view.show_caption = "Show";
        return view;
    }
    view.status_line = shown_ ? "Office token: " + *working_ : "Office token: set.";
    view.show_caption = shown_ ? "Hide" : "Show";
    view.show_enabled = true;
    view.remove_enabled = true;
    return view;
}

Rect SettingsWindow::placement(const Rect& main_placement) {
    return centred_over(main_placement, 520, 252);
}

void open_settings(MainWindow& window) {
    if (window.settings_window) return;
    SettingsWindow settings(window);
    window.settings_window = &settings;
    const bool built = window.desktop.run_settings(settings);
    window.settings_window = nullptr;
    if (!built) return;
    // However the window went away, it counts as closed.
    settings.close();
    if (settings.reset_requested()) {
        reset_settings(window.state);
        window.status_line.clear();
        window.progress_line.clear();
        window.last_flashed_export.reset();
        save_state_or_report(window);
    }
    render_summary(window);
}

}  // namespace dalvento
