#include "main/packing.h"

#include <chrono>
#include <exception>
#include <optional>
#include <utility>

#include "core/packing/note.h"
#include "core/packing/read_back.h"
#include "core/platform/platform.h"
#include "main/bundle.h"
#include "main/summary.h"

namespace dalvento {

namespace {

constexpr std::string_view COULDNT_BUILD = "Couldn't build the zip";
constexpr std::string_view DIDNT_READ_BACK = "The zip didn't read back the same";
constexpr std::string_view CHECKING_STAGE = "checking";
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
        with_progress_line(window.status_without_progress, window.progress_line));
}

// The finished zip read back from its device; one that differs, or cannot be read, is deleted
// so that nobody hands it over.
PackOutcome read_back(Worker<PackOutcome>& worker, const ZipResult& zip) {
    worker.report({std::string(CHECKING_STAGE), 0, zip.bytes});
    ReadBackOptions options;
    options.stop = &worker.stop_flag();
    options.progress = [&](uint64_t read, uint64_t total) {
        worker.report({std::string(CHECKING_STAGE), read, total});
    };
    const auto same = read_back_zip(zip.path, zip.sha256, zip.bytes, options);
    if (same) return zip;
    (void)platform::remove_file(zip.path);
    if (same.error().stopped) return std::unexpected(PackFailure{std::string(PACKING_STOPPED)});
    return std::unexpected(PackFailure{
        read_back_failure_text(platform::path_text(zip.path.parent_path()), same.error().reason),
        true});
}

// The packing thread's whole work: an outcome whatever happens, for the window waits for one.
PackOutcome pack(Worker<PackOutcome>& worker, const PackRequest& request) {
    PackOptions options;
    options.stop = &worker.stop_flag();
    options.progress = [&](uint64_t read, uint64_t total) {
        worker.report({"packing", read, total});
    };
    try {
        auto built = build_zip(request.units, request.send_everything, request.note,
                               request.zip_path, options);
        if (!built) return std::unexpected(PackFailure{built.error()});
        if (!request.read_back) return *built;
        return read_back(worker, *built);
    } catch (const std::exception& problem) {
        (void)platform::remove_file(partial_path(request.zip_path));
        return std::unexpected(PackFailure{platform::path_text(request.zip_path) +
                                           ": the zip could not be built (" + problem.what() +
                                           ")"});
    }
}

}  // namespace

PackRequest pack_request(const PreparedDelivery& prepared, std::filesystem::path zip_path,
                         Time packed_at) {
    return PackRequest{.units = prepared.units,
                       .send_everything = prepared.send_everything,
                       .note = note_text(prepared.units, prepared.send_everything,
                                         NoteInput{.sender = prepared.sender,
                                                   .tax_year = prepared.reason,
                                                   .unusual = prepared.unusual,
                                                   .export_date = prepared.export_date,
                                                   .packed_at = packed_at}),
                       .zip_path = std::move(zip_path)};
}

std::string packing_text(uint64_t read, uint64_t total) {
    return "Packing\xE2\x80\xA6 " + std::to_string(whole_percent(read, total)) + "%";
}

std::string checking_text(uint64_t read, uint64_t total) {
    return "Checking the zip on the stick\xE2\x80\xA6 " +
           std::to_string(whole_percent(read, total)) + "%";
}

void start_packing(MainWindow& window, PackRequest request, PackedFn packed) {
    auto running = std::make_shared<RunningPack>();
    running->zip_path = request.zip_path;
    running->packed = std::move(packed);
    auto started =
        Worker<PackOutcome>::start(window.start_worker, window.desktop.work_notice_poster(),
                                   [request = std::move(request)](Worker<PackOutcome>& worker) {
                                       return pack(worker, request);
                                   });
    if (!started) {
        window.desktop.message_box(std::string(COULDNT_BUILD),
                                   "Packing couldn't be started (" + started.error() +
                                       ").\n\nNothing was written; press the button again to "
                                       "try again.",
                                   BoxStyle::error);
        return;
    }
    running->worker = std::move(*started);
    window.pack_job = std::move(running);
    window.desktop.set_delivery_buttons_enabled(false, false);
    window.progress_line = packing_text(0, 0);
    show_progress(window);
    window.heard_tenth = -1;
    announce_progress(window, 0, 0);
}

bool handle_pack_notice(MainWindow& window) {
    if (!window.pack_job) return false;
    RunningPack& running = *window.pack_job;
    const WorkProgress progress = running.worker->progress();
    window.progress_line = progress.stage == CHECKING_STAGE
                               ? checking_text(progress.done, progress.total)
                               : packing_text(progress.done, progress.total);
    const std::optional<PackOutcome> outcome = running.worker->outcome();
    // The outcome goes on with the flow's questions and boxes, which wait until no modal window
    // is open over the main window; the activation that follows brings it back here.
    if (!outcome || running.asking_to_close || !window.desktop.is_main_window_enabled()) {
        show_progress(window);
        announce_progress(window, progress.done, progress.total);
        return true;
    }

    const std::shared_ptr<RunningPack> ended = std::move(window.pack_job);
    window.pack_job.reset();
    window.progress_line.clear();
    window.desktop.set_delivery_buttons_enabled(true, true);
    if (!*outcome) {
        render_summary(window);
        const PackFailure& failure = outcome->error();
        if (failure.read_back) {
            window.desktop.message_box(std::string(DIDNT_READ_BACK), failure.text, BoxStyle::error);
        } else {
            window.desktop.message_box(std::string(COULDNT_BUILD), zip_failure_text(failure.text),
                                       BoxStyle::error);
        }
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

    Worker<PackOutcome>& worker = *running->worker;
    worker.stop();
    // A zip finished just before the stop was seen goes too: the user chose to stop.
    if (worker.wait_for_end(STOP_WAIT)) {
        if (const auto outcome = worker.outcome(); outcome && outcome->has_value()) {
            (void)platform::remove_file(running->zip_path);
        }
    }
    (void)platform::remove_file(partial_path(running->zip_path));
    window.pack_job.reset();
    return true;
}

}  // namespace dalvento
