// The port through which the interface logic reaches the screen. The Windows program implements
// it with Win32 calls; tests implement it with a scripted double. Everything the interface
// decides (texts, captions, geometry, what to do with an answer) is decided before it gets here.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace dalvento {

// The three source sections, used as an index everywhere.
enum class SourceKind : uint8_t { layers = 0, tables = 1, other = 2 };

// The message boxes the interface shows, all owned by the main window.
enum class BoxStyle {
    information,           // OK, information icon
    error,                 // OK, error icon
    question,              // Yes and No, question icon
    question_no_default,   // Yes and No, question icon, No the default
    warning_question,      // Yes and No, warning icon
    information_question,  // Yes and No, information icon
};

// How a box was left. A question closed without an answer counts as No wherever it is read.
enum class BoxAnswer { ok, yes, no, closed };

// The four folder dialogs of the main window.
enum class FolderDialog { layers, tables, other, zip_destination };

// A position and size in pixels: logical (96 DPI) or scaled, as each use says.
struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const Rect&) const = default;
};

// One row of a source list: label, modified, last sent, size, status, location.
using ListRow = std::array<std::string, 6>;

// Everything a refresh shows.
struct RenderedSummary {
    std::array<std::vector<ListRow>, 3> rows;           // by SourceKind
    std::array<std::string, 3> source_button_captions;  // by SourceKind
    std::array<std::string, 3> headlines;               // the three section labels
    std::string status_text;                            // lines joined with CR LF
    std::optional<bool> send_enabled;                   // absent: leave the button as it is
    bool delivery_ready = false;  // every core unit ready and something new: Send is next
};

// Where every control of the main window goes after a re-layout, in scaled pixels.
struct MainLayout {
    struct Section {
        Rect label, toggle, source_button;
        Rect list;                // the list's client area; its border adds to it
        std::string toggle_text;  // "Hide" or "Show"
        bool collapsed = false;   // source button and list hidden
    };
    std::array<Section, 3> sections;
    Rect status_box, settings_button, bundle_button, send_button;
    int client_width = 0;  // the main window's client area
    int client_height = 0;
};

// The source picker as the user sees it, in logical pixels (the desktop scales them).
struct PickerWindow {
    std::string title;        // "ArcGIS source", "Parcel source", "Other source"
    std::string folder_line;  // "Folder: …" or "Folders: …"
    std::string hint;
    struct Item {
        std::string key;
        std::string label;
        bool ticked = false;
    };
    std::vector<Item> items;
    Rect window;  // outer top-left on the screen and client size
    Rect folder_label, add_folder_button, hint_label, remember_box, ok_button, cancel_button;
    Rect remove_folder_button;
    std::vector<Rect> item_boxes;  // one per item
};

enum class PickerResult { ok, add_folder, remove_folder, cancel };

struct PickerAnswer {
    PickerResult result = PickerResult::cancel;
    std::vector<bool> ticked;  // by item position, as the boxes were left
    bool remember = true;
};

// The chooser that takes one configured folder off a source list.
struct FolderRemoval {
    std::string title;
    std::string text;
    std::vector<std::string> folders;  // full paths, as configured
    Rect window;                       // outer top-left on the screen and client size
};

// The "Send this delivery?" dialog.
enum class DialogFocus { sender, reason, unusual };

struct DeliveryDialog {
    std::string summary;
    std::string sender;           // pre-filled
    std::string reason;           // pre-filled
    std::string confirm_caption;  // "Next..." or "Bundle..."
    DialogFocus focus = DialogFocus::sender;
};

struct DeliveryDialogAnswer {
    std::string sender, reason, unusual;  // exactly as typed
};

enum class ReviewAnswer { send, back };

class SettingsWindow;

class Desktop {
  public:
    virtual ~Desktop() = default;

    // A message box owned by the main window.
    virtual BoxAnswer message_box(const std::string& title, const std::string& text,
                                  BoxStyle style) = 0;

    // The shell's folder picker, modal over the main window, started in `start` when given
    // (where the system refuses that folder it opens where it likes). None when cancelled.
    virtual std::optional<std::filesystem::path> pick_folder(
        FolderDialog which, const std::optional<std::filesystem::path>& start) = 0;

    // The main window's outer top-left on the screen and its client size, in logical pixels;
    // the secondary windows are placed over it.
    virtual Rect main_window_placement() = 0;

    // The source picker, modal. Cancel, showing nothing, when it cannot be built.
    virtual PickerAnswer show_picker(const PickerWindow& picker) = 0;

    // The folder-removal chooser, modal: the position of the folder chosen, or none when
    // cancelled or closed (or when it cannot be built).
    virtual std::optional<size_t> choose_folder_to_remove(const FolderRemoval& removal) = 0;

    // The delivery dialog, modal, centred on the main window. None when cancelled or closed; the
    // interface library's description of the failure when it could not be built.
    virtual std::expected<std::optional<DeliveryDialogAnswer>, std::string> show_delivery_dialog(
        const DeliveryDialog& dialog) = 0;

    // The "Office token" prompt; the text as entered, or none when cancelled or closed.
    virtual std::optional<std::string> show_token_prompt() = 0;

    // The "About to send" review; Copy puts the text on the clipboard itself.
    virtual ReviewAnswer show_review(const std::string& text) = 0;

    // The settings window, modal: builds it, feeds its events to the model and refreshes it from
    // the model's view until the model says it is to close, then destroys it. False, showing
    // nothing, when it cannot be built.
    virtual bool run_settings(SettingsWindow& window) = 0;

    // Shows a refresh: list rows, captions, headlines, status box, send button.
    virtual void show_summary(const RenderedSummary& summary) = 0;

    // Moves, shows and hides the main window's controls and sizes its client area.
    virtual void apply_layout(const MainLayout& layout) = 0;

    // Shows new text in the status box only, leaving the lists and buttons as they are.
    virtual void show_status(const std::string& status_text) = 0;
    // Has a screen reader say that the status box changed, with its newest line.
    virtual void announce_status(const std::string& line) = 0;

    // Enables or disables the send and bundle buttons.
    virtual void set_delivery_buttons_enabled(bool send, bool bundle) = 0;
    // The send button's caption: "Stop sending" while a send runs, else its own.
    virtual void set_send_button_stops(bool stops) = 0;

    // Puts text on the clipboard; why not, when it could not.
    virtual std::expected<void, std::string> set_clipboard(const std::string& text) = 0;
    // Flashes the taskbar button until the window comes to the front.
    virtual void flash_taskbar() = 0;
    virtual bool is_foreground() = 0;
    // False while a modal window or message box is open over the main window.
    virtual bool is_main_window_enabled() = 0;

    // Starts explorer with one argument, not waiting; failures are ignored.
    virtual void start_explorer(const std::string& argument) = 0;

    // The screen's horizontal logical DPI, read at each call.
    virtual int dpi() = 0;

    // A callable that wakes the interface thread with the work notice. The work beside the
    // window (packing, sending) calls it from its own thread, possibly after the window and this
    // object are gone, so it must own whatever it needs.
    virtual std::function<void()> work_notice_poster() = 0;
};

}  // namespace dalvento
