// The settings window's model: the office token staged while the window is open (saved, shown,
// removed), the settings reset with its question, and the commit when the window closes; and the
// About line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "main/desktop.h"
#include "main/main_window.h"
#include "token_store/token_store.h"

namespace dalvento {

inline constexpr std::string_view SETTINGS_TITLE = "Dalvento settings";

// What the window shows, computed from the model after every event.
struct SettingsView {
    std::string status_line;
    std::string show_caption;  // "Show" or "Hide"
    bool show_enabled = false;
    bool remove_enabled = false;
    std::string about;  // the About line
};

// The About line: the program's version and the commit it was built from, for telling which build
// an office runs. `commit` is empty when the build did not know it; `modified` when the tree it
// was built from differed from that commit.
std::string about_line(std::string_view version, std::string_view commit, bool modified);

class SettingsWindow {
  public:
    // Opens on a working copy of the in-memory token.
    explicit SettingsWindow(MainWindow& main);

    // Save: the trimmed entry becomes the working copy. True when taken (the entry is emptied).
    bool save(std::string_view entry);
    void show();    // flips whether the status line spells the token out
    void remove();  // the working copy becomes absent
    // Asks whether to reset; on Yes the reset is requested and the window closes.
    void reset();
    // The service refused this token and it was forgotten: a working copy still holding it goes
    // too, so that closing the window cannot store it again.
    void forget_refused(const std::string& token);
    // Close, Esc or the close box: commits a changed token while the window is still up.
    void close();

    SettingsView view() const;
    bool closing() const { return closing_; }
    bool reset_requested() const { return reset_requested_; }
    const std::optional<std::string>& working_copy() const { return working_; }

    // The window's placement over the main window and its client size (logical pixels).
    static Rect placement(const Rect& main_placement);

  private:
    void commit_token();

    MainWindow& main_;
    std::optional<std::string> working_;
    bool shown_ = false;
    bool reset_requested_ = false;
    bool closing_ = false;
};

// The settings button: runs the window modally, then the reset if one was asked for, then renders
// the summary.
void open_settings(MainWindow& window);

}  // namespace dalvento
