#include "main/win32/modal_window.h"

namespace dalvento::win32 {

namespace {

bool is_push_button(HWND control) {
    wchar_t name[16] = {};
    if (!GetClassNameW(control, name, 16) || lstrcmpiW(name, L"Button") != 0) return false;
    const auto type = static_cast<DWORD>(GetWindowLongPtrW(control, GWL_STYLE)) & BS_TYPEMASK;
    return type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON;
}

}  // namespace

LRESULT ModalHandler::handle(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (keep_dialog_focus(window, message, w, l, focus_)) return 0;
    switch (message) {
        case WM_COMMAND:
            if (HIWORD(w) == BN_CLICKED) command(window, LOWORD(w));
            if (HIWORD(w) == EN_CHANGE) edited(window, LOWORD(w));
            return 0;
        case DM_GETDEFID: {
            if (default_button == 0) return 0;
            int id = default_button;
            HWND focus = GetFocus();
            if (focus && GetParent(focus) == window && is_push_button(focus)) {
                id = GetDlgCtrlID(focus);
            }
            return MAKELONG(id, DC_HASDEFID);
        }
        case WM_CLOSE:
            closed(window);
            return 0;
        default:
            return DefWindowProcW(window, message, w, l);
    }
}

void ModalHandler::finish() {
    if (finished_) return;
    finished_ = true;
    end_message_loop();
}

std::string without_mnemonics(std::string_view text) {
    std::string shown;
    for (const char c : text) {
        shown += c;
        if (c == '&') shown += '&';
    }
    return shown;
}

}  // namespace dalvento::win32
