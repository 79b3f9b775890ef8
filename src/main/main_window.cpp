#include "main/main_window.h"

#include <chrono>

#include "core/packing/delivery_plan.h"
#include "core/packing/zip_builder.h"
#include "core/platform/time_text.h"
#include "core/sources/export_date.h"
#include "core/sources/scan.h"
#include "main/bundle.h"
#include "main/layout.h"
#include "main/packing.h"
#include "main/send_flow.h"
#include "main/settings.h"
#include "main/sources.h"
#include "main/summary.h"
#include "token_store/token_store.h"

namespace dalvento {

namespace {

constexpr std::string_view SETTINGS_UNREADABLE_TITLE = "Couldn't read settings";
constexpr std::string_view STILL_SENDING_TITLE = "Still sending";
constexpr std::string_view STILL_SENDING_TEXT =
    "A delivery is being sent to Dalvento. If you close now the upload stops; the zip stays in the "
    "outbox and the next Send starts it again.\n\nClose anyway?";
// How long closing waits for a stopped send to end.
constexpr std::chrono::seconds CLOSE_WAIT{2};

// Saves the State; a failure is reported unless this very failure was reported since the last
// good save. The save at close always reports: it is the last chance to say so.
void save_and_report(MainWindow& window, bool always) {
    auto saved = window.state_file.save(window.state);
    if (saved) {
        window.reported_save_failure.clear();
        return;
    }
    if (!always && saved.error() == window.reported_save_failure) return;
    window.reported_save_failure = saved.error();
    window.desktop.message_box("Couldn't save settings", saved.error(), BoxStyle::error);
}

void close(MainWindow& window) {
    if (window.send_job && window.desktop.message_box(std::string(STILL_SENDING_TITLE),
                                                      std::string(STILL_SENDING_TEXT),
                                                      BoxStyle::question) != BoxAnswer::yes) {
        return;
    }
    if (window.send_job) {
        // The send ends before the process does, so that nothing is left half done behind it.
        window.send_job->progress->stop();
        (void)window.send_job->progress->wait_for_end(CLOSE_WAIT);
    }
    save_and_report(window, true);
    window.quit = true;
}

size_t section_index(Control control) {
    switch (control) {
        case Control::toggle_layers:
            return 0;
        case Control::toggle_tables:
            return 1;
        default:
            return 2;
    }
}

void click(MainWindow& window, Control control) {
    switch (control) {
        case Control::settings_button:
            open_settings(window);
            return;
        case Control::toggle_layers:
        case Control::toggle_tables:
        case Control::toggle_other: {
            bool& collapsed = window.collapsed[section_index(control)];
            collapsed = !collapsed;
            relayout(window);
            return;
        }
        case Control::source_layers:
            source_flow(window, SourceKind::layers);
            return;
        case Control::source_tables:
            source_flow(window, SourceKind::tables);
            return;
        case Control::source_other:
            source_flow(window, SourceKind::other);
            return;
        case Control::bundle_button:
            // The button is disabled while a send or packing runs; a click that slips through is
            // ignored.
            if (!window.send_job && !window.pack_job) bundle_flow(window);
            return;
        case Control::send_button:
            // While a send runs the button stops it.
            if (window.send_job) {
                ask_to_stop_send(window);
            } else if (!window.pack_job) {
                send_flow(window);
            }
            return;
    }
}

void drop(MainWindow& window, const Event& event) {
    switch (event.target) {
        case DropTarget::window:
            add_dropped_paths(window, event.paths, GuessMode::either);
            return;
        case DropTarget::layers_list:
            add_dropped_paths(window, event.paths, GuessMode::layers);
            return;
        case DropTarget::tables_list:
            add_dropped_paths(window, event.paths, GuessMode::tables);
            return;
        case DropTarget::other_list:
            add_dropped_other_path(window, event.paths);
            return;
    }
}

}  // namespace

MainWindow::MainWindow(Desktop& desktop_port)
    : desktop(desktop_port),
      make_http([] { return make_http_seam(); }),
      start_worker(start_detached_thread),
      now([] { return std::chrono::system_clock::now(); }) {}

void dispatch(MainWindow& window, const Event& event) {
    if (window.quit) return;
    switch (event.kind) {
        case Event::Kind::created:
            initialise_window(window);
            return;
        case Event::Kind::click:
            click(window, event.control);
            return;
        case Event::Kind::drop:
            drop(window, event);
            return;
        case Event::Kind::timer_tick:
            periodic_check(window);
            return;
        case Event::Kind::refresh_notice:
            if (window.desktop.is_main_window_enabled() && !handle_pack_notice(window)) {
                render_summary(window);
            }
            return;
        case Event::Kind::work_notice:
            if (!handle_pack_notice(window)) handle_send_notice(window);
            return;
        case Event::Kind::close:
            if (!close_while_packing(window)) return;
            close(window);
            return;
    }
}

void initialise_window(MainWindow& window) {
    auto loaded = window.state_file.load();
    if (!loaded) {
        // Quitting before the box: what the box's own message loop hands on (the activation's
        // refresh) must not scan or save.
        window.quit = true;
        window.desktop.message_box(std::string(SETTINGS_UNREADABLE_TITLE), loaded.error(),
                                   BoxStyle::error);
        return;
    }
    window.state = std::move(*loaded);
    window.token = load_token(window.state);
    render_summary(window);
    relayout(window);
}

void save_state_or_report(MainWindow& window) {
    save_and_report(window, false);
}

void save_state_after_refresh(MainWindow& window) {
    save_and_report(window, false);
}

void periodic_check(MainWindow& window) {
    if (!window.desktop.is_main_window_enabled() || window.send_job || window.pack_job) return;
    render_summary(window);
    const std::string time = "Checked at " + format_local(window.now(), "%H:%M");

    if (const std::vector<std::string> problems = blocking_problems(window.units);
        !problems.empty()) {
        window.status_line = time + ": " + std::to_string(problems.size()) +
                             " problem(s) with the core files (see above).";
    } else if (nothing_new(window.units)) {
        window.status_line = time + ": nothing new since the last delivery.";
    } else {
        if (std::optional<std::string> fingerprint = delivery_content_fingerprint(window.units);
            fingerprint && fingerprint != window.last_flashed_export &&
            !window.desktop.is_foreground()) {
            window.desktop.flash_taskbar();
            window.last_flashed_export = std::move(fingerprint);
        }
        const std::optional<ExportDate> date = settle_export_date(window.units);
        const std::vector<std::string> warnings =
            pre_send_warnings(window.units, date ? date->warnings : std::vector<std::string>{});
        window.status_line =
            warnings.empty()
                ? time + ": a new export is here; press Send to Dalvento."
                : time + ": a new export is here. Something to look at first: " + warnings.front();
    }
    render_summary(window);
}

void relayout(MainWindow& window) {
    window.desktop.apply_layout(main_layout(window.collapsed, window.desktop.dpi()));
}

}  // namespace dalvento
