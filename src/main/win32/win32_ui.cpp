#include "main/win32/win32_ui.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <utility>
#include <vector>

#include "core/platform/platform.h"
#include "core/platform/wide_text.h"
#include "main/layout.h"
#include "main/win32/resources.h"
#include "main/window_design.h"

namespace dalvento::win32 {

namespace {

constexpr wchar_t SECONDARY_WINDOW_CLASS[] = L"DalventoWindow";
constexpr std::string_view CLIPBOARD_BUSY = "another program is using the clipboard";

// One per DPI and message font: a handful at most (one per monitor scale and font change).
struct MadeFont {
    int dpi;
    LOGFONTW from;
    HFONT font;
    int scale;  // percent; 0 until measured
};
std::deque<MadeFont> g_fonts;

LRESULT CALLBACK secondary_window_proc(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(l);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* handler = reinterpret_cast<WindowHandler*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (handler && message != WM_NCCREATE && message != WM_NCDESTROY) {
        return handler->handle(window, message, w, l);
    }
    return DefWindowProcW(window, message, w, l);
}

// The program's own icon at the size the system asks for (title bar and Alt+Tab differ), or the
// stock one when the program carries none.
HICON program_icon(int width_metric, int height_metric) {
    auto* icon = static_cast<HICON>(
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(DALVENTO_ICON), IMAGE_ICON,
                   GetSystemMetrics(width_metric), GetSystemMetrics(height_metric), LR_SHARED));
    return icon ? icon : LoadIconW(nullptr, IDI_APPLICATION);
}

bool register_class(const wchar_t* name, WNDPROC procedure) {
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hIcon = program_icon(SM_CXICON, SM_CYICON);
    window_class.hIconSm = program_icon(SM_CXSMICON, SM_CYSMICON);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = name;
    return RegisterClassExW(&window_class) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

std::wstring wide(std::string_view text) {
    return platform::widen(text);
}

std::string utf8(std::wstring_view text) {
    return platform::narrow(text);
}

std::string window_text(HWND window) {
    const int length = GetWindowTextLengthW(window);
    if (length <= 0) return {};
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    return utf8(text);
}

void set_window_text(HWND window, std::string_view text) {
    SetWindowTextW(window, wide(text).c_str());
}

int screen_dpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : LOGICAL_DPI;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : LOGICAL_DPI;
}

int window_dpi(HWND window) {
    const UINT dpi = window ? GetDpiForWindow(window) : 0;
    return dpi > 0 ? static_cast<int>(dpi) : screen_dpi();
}

Rect scaled(const Rect& logical_rect) {
    return scale(logical_rect, layout_dpi(screen_dpi()));
}

Rect scaled(const Rect& logical_rect, int dpi) {
    return scale(logical_rect, dpi);
}

int logical(int device, HWND window) {
    return MulDiv(device, LOGICAL_DPI, layout_dpi(window_dpi(window)));
}

Rect work_area(HWND window) {
    HMONITOR monitor = window ? MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST)
                              : MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (!GetMonitorInfoW(monitor, &info)) {
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &info.rcWork, 0);
    }
    return {info.rcWork.left, info.rcWork.top, info.rcWork.right - info.rcWork.left,
            info.rcWork.bottom - info.rcWork.top};
}

Rect frame_extra(DWORD style, DWORD ex_style, int dpi) {
    RECT frame = {0, 0, 0, 0};
    AdjustWindowRectExForDpi(&frame, style, FALSE, ex_style, static_cast<UINT>(dpi));
    return {0, 0, frame.right - frame.left, frame.bottom - frame.top};
}

namespace {

// The design's font at a DPI; the caller deletes it.
HFONT design_font(int dpi) {
    return CreateFontW(-MulDiv(DEFAULT_FONT_POINTS, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                       FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                       CLEARTYPE_QUALITY, VARIABLE_PITCH, wide(DEFAULT_FONT_FACE).c_str());
}

// The system's message font at a DPI; the design's where the system does not say.
LOGFONTW message_font(int dpi) {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0,
                                   static_cast<UINT>(dpi)) &&
        metrics.lfMessageFont.lfHeight != 0) {
        return metrics.lfMessageFont;
    }
    LOGFONTW font{};
    font.lfHeight = -MulDiv(DEFAULT_FONT_POINTS, dpi, 72);
    font.lfWeight = FW_NORMAL;
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfQuality = CLEARTYPE_QUALITY;
    font.lfPitchAndFamily = VARIABLE_PITCH;
    const std::wstring face = wide(DEFAULT_FONT_FACE);
    std::copy_n(face.c_str(), std::min<size_t>(face.size() + 1, LF_FACESIZE), font.lfFaceName);
    return font;
}

// A font's sample text: its width and height, device pixels.
SIZE sample_extent(HFONT font) {
    static constexpr wchar_t SAMPLE[] = L"Map layers: the ArcGIS export folder 0123456789 (OWNER.shp)";
    SIZE size{};
    HDC dc = GetDC(nullptr);
    if (!dc) return size;
    HGDIOBJ old = SelectObject(dc, font);
    GetTextExtentPoint32W(dc, SAMPLE, static_cast<int>(std::size(SAMPLE) - 1), &size);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return size;
}


bool same_font(const LOGFONTW& a, const LOGFONTW& b) {
    return a.lfHeight == b.lfHeight && a.lfWeight == b.lfWeight && a.lfItalic == b.lfItalic &&
           lstrcmpW(a.lfFaceName, b.lfFaceName) == 0;
}

// The default font made for a DPI and the system's message font as it is now.
MadeFont& made_font(int dpi) {
    const LOGFONTW wanted = message_font(dpi);
    for (MadeFont& made : g_fonts) {
        if (made.dpi == dpi && same_font(made.from, wanted)) return made;
    }
    LOGFONTW font = wanted;
    font.lfQuality = CLEARTYPE_QUALITY;
    g_fonts.push_back({dpi, wanted, CreateFontIndirectW(&font), 0});
    return g_fonts.back();
}

}  // namespace

HFONT default_font(int dpi) {
    return made_font(dpi).font;
}

void make_default_font() {
    default_font(screen_dpi());
}

HFONT default_font() {
    return default_font(screen_dpi());
}

int text_scale(int dpi) {
    MadeFont& made = made_font(dpi);
    if (made.scale > 0) return made.scale;
    made.scale = 100;
    HFONT design = design_font(dpi);
    if (made.font && design) {
        const SIZE ours = sample_extent(made.font);
        const SIZE drawn_for = sample_extent(design);
        if (drawn_for.cx > 0 && drawn_for.cy > 0) {
            // Rounded up: a percent short would cut the last letter of the widest label.
            const auto percent = [](LONG now, LONG was) {
                return static_cast<int>((static_cast<int64_t>(now) * 100 + was - 1) / was);
            };
            made.scale = std::max({100, percent(ours.cx, drawn_for.cx),
                                   percent(ours.cy, drawn_for.cy)});
        }
    }
    if (design) DeleteObject(design);
    return made.scale;
}

int layout_dpi(int dpi) {
    return MulDiv(dpi, text_scale(dpi), 100);
}

HWND create_control(HWND parent, const wchar_t* window_class, std::string_view text, DWORD style,
                    DWORD ex_style, const Rect& logical_rect, int id) {
    const int dpi = window_dpi(parent);
    const Rect r = scale(logical_rect, layout_dpi(dpi));
    HWND control = CreateWindowExW(ex_style, window_class, wide(text).c_str(), WS_CHILD | style,
                                   r.x, r.y, r.width, r.height, parent,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   GetModuleHandleW(nullptr), nullptr);
    if (control) {
        if (HFONT font = default_font(dpi)) {
            SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        }
    }
    return control;
}

void set_cue(HWND edit, std::string_view cue) {
    const std::wstring text = wide(cue);
    SendMessageW(edit, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
}

namespace {

constexpr UINT_PTR DIALOG_KEYS_SUBCLASS = 0xD1A1;

LRESULT CALLBACK dialog_keys_proc(HWND box, UINT message, WPARAM w, LPARAM l, UINT_PTR, DWORD_PTR) {
    const LRESULT code = DefSubclassProc(box, message, w, l);
    if (message != WM_GETDLGCODE) return code;
    return code & ~(DLGC_WANTTAB | DLGC_WANTALLKEYS | DLGC_WANTMESSAGE);
}

}  // namespace

bool keep_dialog_focus(HWND window, UINT message, WPARAM w, LPARAM l, HWND& remembered) {
    const auto give_back = [&] {
        HWND target = remembered;
        if (!target || !IsWindow(target) || !IsWindowVisible(target) || !IsWindowEnabled(target)) {
            target = GetNextDlgTabItem(window, nullptr, FALSE);
        }
        if (target) SetFocus(target);
    };
    switch (message) {
        case WM_NEXTDLGCTL:
            if (LOWORD(l)) {
                SetFocus(reinterpret_cast<HWND>(w));
            } else if (HWND next = GetNextDlgTabItem(window, GetFocus(), w != 0)) {
                SetFocus(next);
            }
            return true;
        case WM_ACTIVATE:
            if (LOWORD(w) == WA_INACTIVE) {
                if (HWND focus = GetFocus(); focus && GetParent(focus) == window) remembered = focus;
                return false;
            }
            give_back();
            return true;
        case WM_SETFOCUS:
            give_back();
            return true;
        default:
            return false;
    }
}

void pass_dialog_keys(HWND read_only_box) {
    SetWindowSubclass(read_only_box, dialog_keys_proc, DIALOG_KEYS_SUBCLASS, 0);
}

void show_focus_always(HWND window) {
    SendMessageW(window, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
}

void set_client_size(HWND window, int width, int height) {
    const Rect frame =
        frame_extra(static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE)),
                    static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE)), window_dpi(window));
    SetWindowPos(window, nullptr, 0, 0, width + frame.width, height + frame.height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool register_window_classes() {
    return register_class(MAIN_WINDOW_CLASS, DefWindowProcW) &&
           register_class(SECONDARY_WINDOW_CLASS, secondary_window_proc);
}

HWND create_secondary_window(HWND owner, std::string_view title, const Rect& logical_placement,
                             WindowHandler& handler) {
    const int dpi = window_dpi(owner);
    const Rect r = scale(logical_placement, layout_dpi(dpi));
    const Rect frame = frame_extra(TOP_LEVEL_STYLE, WS_EX_CONTROLPARENT, dpi);
    const Rect outer =
        kept_inside({r.x, r.y, r.width + frame.width, r.height + frame.height}, work_area(owner));
    return CreateWindowExW(WS_EX_CONTROLPARENT, SECONDARY_WINDOW_CLASS, wide(title).c_str(),
                           TOP_LEVEL_STYLE, outer.x, outer.y, outer.width, outer.height, owner,
                           nullptr, GetModuleHandleW(nullptr), &handler);
}

int logical_room_height(HWND owner) {
    const int dpi = window_dpi(owner);
    const int device =
        work_area(owner).height - frame_extra(TOP_LEVEL_STYLE, WS_EX_CONTROLPARENT, dpi).height;
    // Rounded down, so that the scaled height never passes the room.
    return static_cast<int>(static_cast<int64_t>(std::max(device, 0)) * LOGICAL_DPI /
                            layout_dpi(dpi));
}

Rect logical_placement(HWND main) {
    RECT outer{};
    RECT client{};
    GetWindowRect(main, &outer);
    GetClientRect(main, &client);
    return {logical(outer.left, main), logical(outer.top, main),
            logical(client.right - client.left, main), logical(client.bottom - client.top, main)};
}

void run_message_loop() {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        HWND root = message.hwnd ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
        if (root && IsDialogMessageW(root, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void end_message_loop() {
    PostMessageW(nullptr, WM_QUIT, 0, 0);
}

ModalScope::ModalScope(HWND main) : main_(main) {
    EnableWindow(main_, FALSE);
}

ModalScope::~ModalScope() {
    end();
}

void ModalScope::end() {
    if (ended_) return;
    ended_ = true;
    EnableWindow(main_, TRUE);
    SetForegroundWindow(main_);
}

void run_modal(HWND main, HWND window, HWND focus) {
    // The owner's focused control gets the focus back afterwards, as a dialog box gives it.
    HWND before = GetFocus();
    if (before && GetAncestor(before, GA_ROOT) != main) before = nullptr;
    ModalScope scope(main);
    show_focus_always(window);
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
    SetFocus(focus ? focus : window);
    run_message_loop();
    scope.end();
    ShowWindow(window, SW_HIDE);
    DestroyWindow(window);
    SetFocus(before && IsWindowVisible(before) && IsWindowEnabled(before) ? before : main);
}

std::filesystem::path picked_folder(std::wstring_view shell_path) {
    // By hand: lexically_normal would also fold the two backslashes of a network path into one.
    std::wstring text(shell_path);
    const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    while (text.size() > 3) {
        if (text.back() == L'.' && separator(text[text.size() - 2])) {
            text.resize(text.size() - 2);
        } else if (separator(text.back())) {
            text.pop_back();
        } else {
            break;
        }
    }
    return std::filesystem::path(text);
}

std::expected<void, std::string> put_on_clipboard(HWND owner, std::string_view text) {
    const std::wstring unicode = wide(text);
    const size_t bytes = (unicode.size() + 1) * sizeof(wchar_t);
    // Another program holding the clipboard open is by far the usual reason it refuses.
    if (!OpenClipboard(owner)) return std::unexpected(std::string(CLIPBOARD_BUSY));
    EmptyClipboard();
    bool placed = false;
    if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
        if (void* target = GlobalLock(memory)) {
            std::memcpy(target, unicode.c_str(), bytes);
            GlobalUnlock(memory);
            placed = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
        }
        if (!placed) GlobalFree(memory);
    }
    const platform::OsError error = platform::last_os_error();
    CloseClipboard();
    if (!placed) return std::unexpected(error.text);
    return {};
}

void show_text_to_end(HWND edit, std::string_view text) {
    set_window_text(edit, text);
    const LRESULT end = GetWindowTextLengthW(edit);
    SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(end), end);
    SendMessageW(edit, EM_SCROLLCARET, 0, 0);
}

}  // namespace dalvento::win32
