// What every window of the Windows desktop shares: text in and out of the Win32 API, the DPI rule
// applied to controls, the default font, control creation, secondary windows, and the message
// loop that modal windows run again.
#pragma once

#include <windows.h>

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "main/desktop.h"

namespace dalvento::win32 {

// The window message of both notices: the notice's id as wParam, the window as lParam.
inline constexpr UINT NOTICE_MESSAGE = WM_USER + 100;

// First id of the controls of a window; Enter and Esc arrive as IDOK and IDCANCEL, below it.
inline constexpr int FIRST_CONTROL_ID = 100;

std::wstring wide(std::string_view text);
std::string utf8(std::wstring_view text);

// A window's text as UTF-8.
std::string window_text(HWND window);
void set_window_text(HWND window, std::string_view text);

// The screen's horizontal logical DPI, read at each call.
int screen_dpi();

// The DPI of the monitor a window is on (per-monitor awareness); the screen's where the system
// does not say.
int window_dpi(HWND window);

// A logical rectangle at the screen's DPI, or at the given one.
Rect scaled(const Rect& logical);
Rect scaled(const Rect& logical, int dpi);

// A device length back in logical pixels at a window's DPI (for placing windows over one another).
int logical(int device, HWND window);

// The work area (the screen less the taskbar) of the monitor a window is on, or of the primary
// monitor without a window; device pixels.
Rect work_area(HWND window);

// The width and height a top-level window's frame and caption add to its client area at a DPI.
Rect frame_extra(DWORD style, DWORD ex_style, int dpi);

// The process-wide default font at a DPI: the system's message font (the one "Make text bigger"
// enlarges, read again at each call), made on first use for each DPI and message font and kept for the life of the
// process, so a window still showing it never holds a deleted font. Null when it could not be made
// (the controls keep the system font).
HFONT default_font(int dpi);
// The same at the screen's DPI, made at start-up.
void make_default_font();
HFONT default_font();

// How much larger, in percent, the default font's text is at a DPI than the text the windows'
// geometry was drawn for (never below 100): measured, width and height, on the same sample.
int text_scale(int dpi);

// The DPI the windows' geometry is scaled at on a monitor of the given DPI: that DPI grown with the
// text, so that every control keeps room for its text in a larger message font.
int layout_dpi(int dpi);


// A child control at a logical rectangle scaled to its parent's layout DPI, in the default font at
// its DPI; null when it cannot be created.
HWND create_control(HWND parent, const wchar_t* window_class, std::string_view text, DWORD style,
                    DWORD ex_style, const Rect& logical_rect, int id);

// The grey cue an empty edit box shows.
void set_cue(HWND edit, std::string_view cue);

// What the dialog manager does for a dialog box, for our windows that are not: WM_NEXTDLGCTL (sent
// by IsDialogMessage for a label's access key) moves the focus; the focus is remembered when the
// window goes inactive and given back when it is active again. True when `message` was handled.
bool keep_dialog_focus(HWND window, UINT message, WPARAM w, LPARAM l, HWND& remembered);

// Has a read-only multi-line box leave Tab, Enter, Esc and access keys to its window, as a box
// that takes no typing should: Tab goes on, Enter presses the default button, Esc closes.
void pass_dialog_keys(HWND read_only_box);

// Has a window and its controls draw the keyboard focus at all times, not only after a key.
void show_focus_always(HWND window);

// Moves a window so that its client area has the given device size; the frame adds to it.
void set_client_size(HWND window, int width, int height);

// Receives the messages of one secondary window.
class WindowHandler {
  public:
    virtual ~WindowHandler() = default;
    virtual LRESULT handle(HWND window, UINT message, WPARAM w, LPARAM l) = 0;
};

// Registers the window classes; false when the system refuses. Safe to call again.
bool register_window_classes();

// The main window's class and the style every top-level window shares: caption and system menu,
// no resize frame, no minimise or maximise box.
inline constexpr wchar_t MAIN_WINDOW_CLASS[] = L"DalventoMainWindow";
inline constexpr DWORD TOP_LEVEL_STYLE = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_VISIBLE;

// A top-level window owned by `owner`, its outer top-left and client size given in logical pixels
// at the owner's DPI, moved as little as needed to lie inside the owner's work area, its messages
// going to `handler`. Null when it cannot be created.
HWND create_secondary_window(HWND owner, std::string_view title, const Rect& logical_placement,
                             WindowHandler& handler);

// The client height a top-level window can have on its owner's monitor, in logical pixels.
int logical_room_height(HWND owner);

// The main window's outer top-left on the screen and its client size, in logical pixels.
Rect logical_placement(HWND main);

// Runs the message loop until a WM_QUIT posted to the thread. A loop run inside another (a modal
// window) takes only the quit meant for it.
void run_message_loop();

// Ends the innermost running message loop.
void end_message_loop();

// Keeps the main window disabled while a modal window is open; enables it again and brings it to
// the front at the end.
class ModalScope {
  public:
    explicit ModalScope(HWND main);
    ~ModalScope();
    ModalScope(const ModalScope&) = delete;
    ModalScope& operator=(const ModalScope&) = delete;
    void end();

  private:
    HWND main_;
    bool ended_ = false;
};

// Runs an already built secondary window modally: the main window disabled, `focus` given the
// focus, a nested loop until the handler ends it; then the main window enabled, the window
// destroyed and the focus back on the main window.
void run_modal(HWND main, HWND window, HWND focus);

// A folder as the shell's picker names it, tidied: "…\out\." (accepted by typing a dot) and
// "…\out\" are "…\out"; a drive root stays as it is.
std::filesystem::path picked_folder(std::wstring_view shell_path);

// Places UTF-8 text on the clipboard as CF_UNICODETEXT; why not, when the clipboard refused.
std::expected<void, std::string> put_on_clipboard(HWND owner, std::string_view text);

// Shows text in a multi-line edit box and scrolls to its end, where the newest line is.
void show_text_to_end(HWND edit, std::string_view text);

}  // namespace dalvento::win32
