#include "main/packing.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

#include "core/platform/platform.h"
#include "main/bundle.h"
#include "main/summary.h"
#include "upload/delivery.h"

namespace dalvento {

struct PackShared {
    std::atomic<bool> stop = false;
    std::mutex mutex;
    std::condition_variable ended;
    uint64_t read = 0;
    uint64_t total = 0;
    std::optional<std::expected<ZipResult, std::string>> outcome;
};

namespace {

constexpr std::string_view COULDNT_BUILD = "Couldn't build the zip";
// How long a close waits for the packing thread to notice the stop: it looks between blocks, so
// this is only ever reached when the disk itself hangs.
constexpr std::chrono::seconds STOP_WAIT{30};

std::filesystem::path partial_path(std::filesystem::path zip_path) {
    zip_path.replace_extension("zip.partial");
    return zip_path;
}

// The status box of the last refresh with the progress line: no rescan, no save.
void show_progress(MainWindow& window) {
    window.desktop.show_status(
        with_progress_line(window.status_without_progress, window.send_progress));
}

// The packing thread's whole work. Whatever happens the window hears an outcome: it waits for
// one.
void pack(const std::shared_ptr<PackShared>& shared, const PackRequest& request,
          const std::function<void()>& notice) {
    auto last_notice = std::chrono::steady_clock::now();
    PackOptions options;
    options.stop = &shared->stop;
    options.progress = [&](uint64_t read, uint64_t total) {
        {
            std::lock_guard lock(shared->mutex);
            shared->read = read;
            shared->total = total;
        }
        const auto at = std::chrono::steady_clock::now();
        if (at - last_notice <= NOTICE_INTERVAL) return;
        last_notice = at;
        if (notice) notice();
    };
    std::expected<ZipResult, std::string> outcome = std::unexpected(std::string());
    try {
        outcome = build_zip(request.units, request.send_everything, request.note, request.zip_path,
                            options);
    } catch (const std::exception& problem) {
        (void)platform::remove_file(partial_path(request.zip_path));
        outcome = std::unexpected(platform::path_text(request.zip_path) +
                                  ": the zip could not be built (" + problem.what() + ")");
    }
    {
        std::lock_guard lock(shared->mutex);
        shared->outcome = std::move(outcome);
    }
    shared->ended.notify_all();
    if (notice) notice();
}

}  // namespace

std::string packing_text(uint64_t read, uint64_t total) {
    uint64_t percent = 0;
    if (total != 0) {
        percent = static_cast<uint64_t>(static_cast<unsigned __int128>(std::min(read, total)) *
                                        100 / total);
    }
    return "Packing\xE2\x80\xA6 " + std::to_string(percent) + "%";
}

void start_packing(MainWindow& window, PackRequest request, PackedFn packed) {
    auto shared = std::make_shared<PackShared>();
    auto running = std::make_shared<RunningPack>();
    running->shared = shared;
    running->zip_path = request.zip_path;
    running->packed = std::move(packed);
    const auto started = window.start_packer(
        [shared, request = std::move(request), notice = window.desktop.send_notice_poster()] {
            pack(shared, request, notice);
        });
    if (!started) {
        window.desktop.message_box(std::string(COULDNT_BUILD),
                                   "Packing couldn't be started (" + started.error() +
                                       ").\n\nNothing was written; press the button again to "
                                       "try again.",
                                   BoxStyle::error);
        return;
    }
    window.pack_job = std::move(running);
    window.desktop.set_delivery_buttons_enabled(false, false);
    window.send_progress = packing_text(0, 0);
    show_progress(window);
}

bool handle_pack_notice(MainWindow& window) {
    if (!window.pack_job) return false;
    RunningPack& running = *window.pack_job;
    std::optional<std::expected<ZipResult, std::string>> outcome;
    {
        std::lock_guard lock(running.shared->mutex);
        window.send_progress = packing_text(running.shared->read, running.shared->total);
        outcome = running.shared->outcome;
    }
    // The outcome goes on with the flow's questions and boxes, which wait until no modal window
    // is open over the main window; the activation that follows brings it back here.
    if (!outcome || running.asking_to_close || !window.desktop.is_main_window_enabled()) {
        show_progress(window);
        return true;
    }

    const std::shared_ptr<RunningPack> ended = std::move(window.pack_job);
    window.pack_job.reset();
    window.send_progress.clear();
    window.desktop.set_delivery_buttons_enabled(true, true);
    if (!*outcome) {
        render_summary(window);
        window.desktop.message_box(std::string(COULDNT_BUILD), zip_failure_text(outcome->error()),
                                   BoxStyle::error);
        return true;
    }
    show_progress(window);
    ended->packed(window, **outcome);
    return true;
}

bool close_while_packing(MainWindow& window) {
    if (!window.pack_job) return true;
    const std::shared_ptr<RunningPack> running = window.pack_job;
    running->asking_to_close = true;
    const BoxAnswer answer = window.desktop.message_box(
        "Still packing",
        "The zip is still being packed.\n\nStop packing and close Dalvento? The unfinished zip "
        "will be deleted and nothing is recorded as delivered.",
        BoxStyle::warning_question);
    running->asking_to_close = false;
    if (answer != BoxAnswer::yes) {
        // The packing may have ended while the question was open.
        handle_pack_notice(window);
        return false;
    }

    PackShared& shared = *running->shared;
    shared.stop = true;
    std::unique_lock lock(shared.mutex);
    shared.ended.wait_for(lock, STOP_WAIT, [&] { return shared.outcome.has_value(); });
    // A zip finished just before the stop was seen goes too: the user chose to stop.
    if (shared.outcome && shared.outcome->has_value()) {
        (void)platform::remove_file(running->zip_path);
    }
    lock.unlock();
    (void)platform::remove_file(partial_path(running->zip_path));
    window.pack_job.reset();
    return true;
}

}  // namespace dalvento
