#include "window_probe.h"

#include "main/win32/win32_ui.h"

namespace dalvento::win32::probe {

Rect rect_in_parent(HWND control) {
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(HWND_DESKTOP, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

Rect client_size(HWND window) {
    RECT r{};
    GetClientRect(window, &r);
    return {0, 0, r.right, r.bottom};
}

std::string clipboard_text() {
    std::string text;
    if (!OpenClipboard(nullptr)) return "(clipboard refused)";
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
            text = utf8(chars);
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

}  // namespace dalvento::win32::probe
