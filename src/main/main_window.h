// The interface's model: the one MainWindow record, the events that reach it, and the one
// dispatcher that routes every event to its flow. Portable: it reaches the screen only through
// the Desktop port.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/tracking/state.h"
#include "core/tracking/state_file.h"
#include "county/delivery_unit.h"
#include "main/desktop.h"
#include "main/worker.h"
#include "token_store/token_store.h"
#include "upload/delivery.h"

namespace dalvento {

// The main window's title.
inline constexpr std::string_view MAIN_WINDOW_TITLE = "Dalvento \xC2\xB7 Quarnell County";

// The check timer's interval.
inline constexpr int CHECK_INTERVAL_MS = 300000;

// The controls that raise click events.
enum class Control {
    settings_button,
    toggle_layers,
    toggle_tables,
    toggle_other,
    source_layers,
    source_tables,
    source_other,
    bundle_button,
    send_button,
};

// Where files were dropped.
enum class DropTarget { window, layers_list, tables_list, other_list };

struct Event {
    enum class Kind {
        created,         // the main window exists: initialise it
        click,           // a button; see control
        drop,            // files dropped; see target and paths
        timer_tick,      // the 5-minute check timer
        refresh_notice,  // fired when the window is activated
        work_notice,     // the packing or the send beside the window has news
        close,           // the main window is closing
    };
    Kind kind = Kind::created;
    Control control = Control::settings_button;
    DropTarget target = DropTarget::window;
    std::vector<std::filesystem::path> paths = {};
};

// The record a send shares with the interface: its progress, its stop flag and its outcome.
using SendProgress = Worker<SendOutcome, SendStatus>;

// The send under way: what the interface keeps of it while the worker runs.
struct RunningSend {
    std::shared_ptr<SendProgress> progress;
    std::vector<DeliveryUnit> units;  // as they were when the send started
    std::filesystem::path zip_path;
    std::string zip_name;
    std::string fingerprint;
    size_t file_count = 0;
    uint64_t zip_bytes = 0;
    bool send_everything = false;
};

struct RunningPack;  // main/packing.h

struct MainWindow {
    explicit MainWindow(Desktop& desktop);
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    Desktop& desktop;
    StateFile state_file;
    State state;
    std::optional<std::string> token;  // the office token, in memory only
    std::vector<DeliveryUnit> units;   // the last scan
    std::string status_line;           // the last periodic check
    std::optional<std::string> last_flashed_export;
    std::optional<RunningSend> send_job;
    std::shared_ptr<RunningPack> pack_job;  // while a zip is packed
    std::string progress_line;              // the status box's last line: packing's or sending's
    std::string status_without_progress;    // the status box of the last refresh, bar that line
    std::string heard_status;  // the status box as a screen reader was last told of it
    int heard_tenth = -1;      // the tenth of the running work it was last told of; -1 before
    SettingsWindow* settings_window = nullptr;  // while the settings window is open
    std::array<bool, 3> collapsed{};            // by SourceKind
    bool quit = false;  // the message loop is to stop: the window closed, or could not start
    std::string reported_save_failure;  // shown once; cleared by a good save

    // Seams: the HTTP client a send uses and its clock, how the threads of the work beside the
    // window are started, how a token is protected, and the clock.
    std::function<std::unique_ptr<HttpSeam>()> make_http;
    SendClock* send_clock = nullptr;  // the real one when null
    StartWorker start_worker;
    ProtectTokenFn protect = protect_token;
    std::function<Time()> now;
};

// Routes one event to its flow. Every event not in the routing table is ignored, and so is every
// event once the window is to quit.
void dispatch(MainWindow& window, const Event& event);

// Window initialisation: load the State and the token, render the summary, lay out. A state file
// that cannot be read says so and quits instead.
void initialise_window(MainWindow& window);

// Saves the State and reports a failure in the "Couldn't save settings" box, once until a save
// succeeds again: a change is saved and then refreshed (which saves again), and closing the box
// activates the main window, which refreshes once more, so reporting every failed save would show
// the same box twice for one change, or bring it back at once for ever.
void save_state_or_report(MainWindow& window);

// The save after a refresh, reported by the same rule.
void save_state_after_refresh(MainWindow& window);

// The periodic check run by each timer tick.
void periodic_check(MainWindow& window);

// Re-lays the main window out for its collapsed sections at the screen's DPI.
void relayout(MainWindow& window);

}  // namespace dalvento
