// The main window on Windows: its controls in their order, the one dispatcher that turns the
// messages of the window and all its children into events, and the Desktop port in Win32 calls.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>
#include <shellapi.h>

#include <array>
#include <string>

#include "main/desktop.h"
#include "main/main_window.h"
#include "main/win32/source_section.h"

namespace dalvento::win32 {

// The check timer's id on the main window.
inline constexpr UINT_PTR CHECK_TIMER_ID = 1;

// The ids of the main window's buttons.
enum ControlId : int {
    ID_SETTINGS = 100,
    ID_SOURCE_LAYERS,
    ID_SOURCE_TABLES,
    ID_SOURCE_OTHER,
    ID_TOGGLE_LAYERS,
    ID_TOGGLE_TABLES,
    ID_TOGGLE_OTHER,
    ID_BUNDLE,
    ID_SEND,
    ID_LIST_LAYERS,
    ID_LIST_TABLES,
    ID_LIST_OTHER,
    ID_STATUS_BOX,
};

// Explorer's full path in the Windows folder; empty when the system does not say where that is.
std::wstring explorer_program();

// The command line that starts `program` with one argument, each quoted as Windows reads them.
std::wstring explorer_command_line(const std::wstring& program, const std::string& argument);

class MainDesktop final : public Desktop {
  public:
    MainDesktop() = default;
    ~MainDesktop() override;
    MainDesktop(const MainDesktop&) = delete;
    MainDesktop& operator=(const MainDesktop&) = delete;

    // Creates the main window and its controls in their order; false when any creation fails.
    bool build();
    // Binds the dispatcher to the window and its children, prepares the lists, starts the check
    // timer, and hands the created event to the model.
    void bind(MainWindow& model);
    // Takes the dispatcher off again.
    void unbind();

    HWND window() const { return main_; }
    HWND list(SourceKind kind) const { return sections_[static_cast<size_t>(kind)].list(); }
    const SourceSection& section(SourceKind kind) const {
        return sections_[static_cast<size_t>(kind)];
    }
    HWND intro() const { return intro_; }
    HWND control(ControlId id) const;
    // The notices' ids, as the first parameter of NOTICE_MESSAGE.
    WPARAM refresh_notice_id() const { return refresh_notice_; }
    WPARAM work_notice_id() const { return work_notice_; }

    BoxAnswer message_box(const std::string& title, const std::string& text,
                          BoxStyle style) override;
    std::optional<std::filesystem::path> pick_folder(
        FolderDialog which, const std::optional<std::filesystem::path>& start) override;
    Rect main_window_placement() override;
    PickerAnswer show_picker(const PickerWindow& picker) override;
    std::optional<size_t> choose_folder_to_remove(const FolderRemoval& removal) override;
    std::expected<std::optional<DeliveryDialogAnswer>, std::string> show_delivery_dialog(
        const DeliveryDialog& dialog) override;
    std::optional<std::string> show_token_prompt() override;
    ReviewAnswer show_review(const std::string& text) override;
    bool run_settings(SettingsWindow& window) override;
    void show_summary(const RenderedSummary& summary) override;
    void show_status(const std::string& status_text) override;
    void announce_status(const std::string& line) override;
    void apply_layout(const MainLayout& layout) override;
    void set_delivery_buttons_enabled(bool send, bool bundle) override;
    void set_send_button_stops(bool stops) override;
    std::expected<void, std::string> set_clipboard(const std::string& text) override;
    void flash_taskbar() override;
    bool is_foreground() override;
    bool is_main_window_enabled() override;
    void start_explorer(const std::string& argument) override;
    int dpi() override;
    std::function<void()> work_notice_poster() override;

  private:
    static LRESULT CALLBACK dispatcher(HWND window, UINT message, WPARAM w, LPARAM l,
                                       UINT_PTR subclass, DWORD_PTR data);
    LRESULT handle(HWND window, UINT message, WPARAM w, LPARAM l);
    void dropped(HWND target, HDROP drop);
    void prepare_lists();
    // The DPI the controls are placed at: the window's, grown with a larger message font.
    int geometry_dpi() const;
    // Everything again at a new DPI: fonts, columns, the re-layout; the window first takes
    // `suggested` (outer, device pixels) when given.
    void dpi_changed(int dpi, const RECT* suggested);
    // Moves the controls to the placed layout, less the scroll position.
    void place_controls();
    // Scrolls a window taller than its screen to a position, clamped to its range.
    void scroll_to(int position);

    HWND main_ = nullptr;
    HWND intro_ = nullptr;
    std::array<SourceSection, 3> sections_{};
    HWND status_box_ = nullptr;
    HWND settings_button_ = nullptr;
    HWND bundle_button_ = nullptr;
    HWND send_button_ = nullptr;
    WPARAM refresh_notice_ = 0;
    WPARAM work_notice_ = 0;
    std::array<std::wstring, 4> folder_dialog_titles_;
    MainWindow* model_ = nullptr;
    int dpi_ = 96;  // the window's, followed on WM_DPICHANGED
    HWND focus_ = nullptr;  // where the keyboard goes when the window is active again
    MainLayout placed_;
    int scroll_ = 0;        // how far a window taller than its work area is scrolled down
    int scroll_range_ = 0;  // 0 when it fits
};

}  // namespace dalvento::win32
