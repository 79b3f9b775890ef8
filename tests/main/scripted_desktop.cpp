#include "scripted_desktop.h"

#include <gtest/gtest.h>

#include "main/settings.h"

namespace dalvento::testing {

void NoticeQueue::post() {
    {
        std::lock_guard lock(mutex_);
        ++pending_;
    }
    posted_.notify_one();
}

bool NoticeQueue::take(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!posted_.wait_for(lock, timeout, [&] { return pending_ > 0; })) return false;
    --pending_;
    return true;
}

namespace {

template <typename T>
std::optional<T> next(std::deque<T>& queue, const char* what) {
    if (queue.empty()) {
        ADD_FAILURE() << "no answer queued for " << what;
        return std::nullopt;
    }
    T value = std::move(queue.front());
    queue.pop_front();
    return value;
}

}  // namespace

BoxAnswer ScriptedDesktop::message_box(const std::string& title, const std::string& text,
                                       BoxStyle style) {
    log.push_back("box:" + title);
    boxes.push_back({title, text, style});
    if (style == BoxStyle::information || style == BoxStyle::error) return BoxAnswer::ok;
    const std::string what = "the question \"" + title + "\"";
    return next(box_answers, what.c_str()).value_or(BoxAnswer::closed);
}

std::optional<std::filesystem::path> ScriptedDesktop::pick_folder(
    FolderDialog which, const std::optional<std::filesystem::path>& start) {
    log.push_back("folder");
    folder_requests.push_back({which, start});
    return next(folder_answers, "a folder dialog").value_or(std::nullopt);
}

PickerAnswer ScriptedDesktop::show_picker(const PickerWindow& picker) {
    log.push_back("picker");
    pickers.push_back(picker);
    return next(picker_answers, "the picker").value_or(PickerAnswer{});
}

std::optional<size_t> ScriptedDesktop::choose_folder_to_remove(const FolderRemoval& removal) {
    log.push_back("remove");
    removals.push_back(removal);
    return next(removal_answers, "the folder removal").value_or(std::nullopt);
}

std::expected<void, std::string> ScriptedDesktop::set_clipboard(const std::string& text) {
    if (clipboard_refusal) return std::unexpected(*clipboard_refusal);
    clipboard.push_back(text);
    return {};
}

DialogResult ScriptedDesktop::show_delivery_dialog(const DeliveryDialog& dialog) {
    log.push_back("dialog");
    dialogs.push_back(dialog);
    return next(dialog_answers, "the delivery dialog").value_or(DialogResult{std::nullopt});
}

std::optional<std::string> ScriptedDesktop::show_token_prompt() {
    log.push_back("token");
    ++token_prompts;
    return next(token_answers, "the token prompt").value_or(std::nullopt);
}

ReviewAnswer ScriptedDesktop::show_review(const std::string& text) {
    log.push_back("review");
    reviews.push_back(text);
    return next(review_answers, "the review").value_or(ReviewAnswer::back);
}

bool ScriptedDesktop::run_settings(SettingsWindow& window) {
    log.push_back("settings");
    ++settings_runs;
    if (!settings_buildable) return false;
    // Modal: the main window is disabled while the window is open.
    const bool was_enabled = enabled;
    enabled = false;
    if (auto script = next(settings_scripts, "the settings window")) (*script)(window);
    enabled = was_enabled;
    return true;
}

std::function<void()> ScriptedDesktop::work_notice_poster() {
    return [queue = notices] { queue->post(); };
}

const RenderedSummary& ScriptedDesktop::last_summary() const {
    static const RenderedSummary none;
    if (summaries.empty()) {
        ADD_FAILURE() << "no summary was shown";
        return none;
    }
    return summaries.back();
}

std::vector<std::string> ScriptedDesktop::box_titles() const {
    std::vector<std::string> titles;
    for (const ShownBox& box : boxes)
        titles.push_back(box.title);
    return titles;
}

void ScriptedDesktop::confirm_delivery(std::string sender, std::string reason, std::string unusual,
                                       bool warnings_expected) {
    if (warnings_expected) box_answers.push_back(BoxAnswer::yes);
    dialog_answers.push_back(
        DeliveryDialogAnswer{std::move(sender), std::move(reason), std::move(unusual)});
}

bool pump_packing(MainWindow& window, ScriptedDesktop& desktop, std::chrono::milliseconds timeout) {
    while (window.pack_job) {
        if (!desktop.notices->take(timeout)) return false;
        dispatch(window, Event{.kind = Event::Kind::work_notice});
    }
    return true;
}

bool pump_send(MainWindow& window, ScriptedDesktop& desktop, std::chrono::milliseconds timeout) {
    while (window.send_job) {
        if (!desktop.notices->take(timeout)) return false;
        dispatch(window, Event{.kind = Event::Kind::work_notice});
    }
    return true;
}

}  // namespace dalvento::testing
