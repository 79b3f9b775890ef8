// A Desktop for tests: records everything the interface shows and answers from queues the test
// fills. A question, dialog or picker with no answer queued fails the test.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "main/desktop.h"
#include "main/main_window.h"

namespace dalvento::testing {

struct ShownBox {
    std::string title;
    std::string text;
    BoxStyle style = BoxStyle::information;
};

struct FolderRequest {
    FolderDialog which = FolderDialog::layers;
    std::optional<std::filesystem::path> start;
};

// Send notices posted by the worker, waited for on the test thread as the message loop would.
class NoticeQueue {
  public:
    void post();
    // Takes one notice; false when none came within the timeout.
    bool take(std::chrono::milliseconds timeout);

  private:
    std::mutex mutex_;
    std::condition_variable posted_;
    size_t pending_ = 0;
};

using DialogResult = std::expected<std::optional<DeliveryDialogAnswer>, std::string>;

class ScriptedDesktop : public Desktop {
  public:
    // What was shown, in order: "box:{title}", "folder", "picker", "dialog", "token", "review",
    // "settings", "explorer", "remove". Summaries, status-only updates, layouts and the clipboard
    // are kept apart.
    std::vector<std::string> log;
    std::vector<ShownBox> boxes;
    std::vector<FolderRequest> folder_requests;
    std::vector<PickerWindow> pickers;
    std::vector<DeliveryDialog> dialogs;
    int token_prompts = 0;
    std::vector<std::string> reviews;
    std::vector<RenderedSummary> summaries;
    std::vector<std::string> statuses;  // show_status, between summaries
    std::vector<std::string> announcements;  // announce_status, every one
    std::vector<FolderRemoval> removals;
    std::vector<MainLayout> layouts;
    std::vector<std::pair<bool, bool>> delivery_buttons;  // send, bundle
    bool send_button_stops = false;                       // the caption is "Stop sending"
    std::vector<std::string> clipboard;
    int flashes = 0;
    std::vector<std::string> explorer_arguments;
    int settings_runs = 0;

    // Answers, taken in order. Information and error boxes need none.
    std::deque<BoxAnswer> box_answers;
    std::deque<std::optional<std::filesystem::path>> folder_answers;
    std::deque<PickerAnswer> picker_answers;
    std::deque<DialogResult> dialog_answers;
    std::deque<std::optional<std::string>> token_answers;
    std::deque<ReviewAnswer> review_answers;
    std::deque<std::function<void(SettingsWindow&)>> settings_scripts;
    std::deque<std::optional<size_t>> removal_answers;

    // The screen as the test sets it.
    bool foreground = true;
    bool enabled = true;
    int screen_dpi = 96;
    bool settings_buildable = true;
    Rect main_placement{200, 120, 940, 700};
    std::optional<std::string> clipboard_refusal;  // set: the clipboard refuses with this reason

    std::shared_ptr<NoticeQueue> notices = std::make_shared<NoticeQueue>();

    BoxAnswer message_box(const std::string& title, const std::string& text,
                          BoxStyle style) override;
    std::optional<std::filesystem::path> pick_folder(
        FolderDialog which, const std::optional<std::filesystem::path>& start) override;
    Rect main_window_placement() override { return main_placement; }
    PickerAnswer show_picker(const PickerWindow& picker) override;
    std::optional<size_t> choose_folder_to_remove(const FolderRemoval& removal) override;
    DialogResult show_delivery_dialog(const DeliveryDialog& dialog) override;
    std::optional<std::string> show_token_prompt() override;
    ReviewAnswer show_review(const std::string& text) override;
    bool run_settings(SettingsWindow& window) override;
    void show_summary(const RenderedSummary& summary) override { summaries.push_back(summary); }
    void show_status(const std::string& status_text) override { statuses.push_back(status_text); }
    void announce_status(const std::string& line) override { announcements.push_back(line); }
    void apply_layout(const MainLayout& layout) override { layouts.push_back(layout); }
    void set_send_button_stops(bool stops) override { send_button_stops = stops; }
    void set_delivery_buttons_enabled(bool send, bool bundle) override {
        delivery_buttons.emplace_back(send, bundle);
    }
    std::expected<void, std::string> set_clipboard(const std::string& text) override;
    void flash_taskbar() override { ++flashes; }
    bool is_foreground() override { return foreground; }
    bool is_main_window_enabled() override { return enabled; }
    void start_explorer(const std::string& argument) override {
        log.push_back("explorer");
        explorer_arguments.push_back(argument);
    }
    int dpi() override { return screen_dpi; }
    std::function<void()> work_notice_poster() override;

    // Conveniences for the tests.
    const RenderedSummary& last_summary() const;
    std::vector<std::string> box_titles() const;
    // Answers for one preparation that passes: "Before you send" Yes and the dialog confirmed.
    void confirm_delivery(std::string sender = "Pat Clerk", std::string reason = "2026 roll",
                          std::string unusual = "", bool warnings_expected = true);
};

// Dispatches work notices as they come until the packing has ended; false when it went quiet
// for the timeout.
bool pump_packing(MainWindow& window, ScriptedDesktop& desktop,
                  std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Dispatches work notices as they come until the send has its outcome; false when the worker
// went quiet for the timeout.
bool pump_send(MainWindow& window, ScriptedDesktop& desktop,
               std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace dalvento::testing
