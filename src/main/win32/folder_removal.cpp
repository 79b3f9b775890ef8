#include <algorithm>

#include "main/access_keys.h"
#include "main/win32/dialogs.h"
#include "main/win32/modal_window.h"
#include "main/window_design.h"

namespace dalvento::win32 {

namespace {

enum : int { REMOVE_ID = FIRST_CONTROL_ID, CANCEL_ID, TEXT_ID, LIST_ID };

// Enter removes the selected folder, Esc and the close box cancel.
class RemovalHandler : public ModalHandler {
  public:
    RemovalHandler() { default_button = REMOVE_ID; }

    HWND list = nullptr;
    std::optional<size_t> answer;

  protected:
    void command(HWND, int id) override {
        if (finished()) return;
        if (id == REMOVE_ID || id == IDOK) {
            const LRESULT selected = SendMessageW(list, LB_GETCURSEL, 0, 0);
            if (selected == LB_ERR) return;
            answer = static_cast<size_t>(selected);
            finish();
        } else if (id == CANCEL_ID || id == IDCANCEL) {
            finish();
        }
    }
    void closed(HWND) override { finish(); }
};

}  // namespace

std::optional<size_t> run_folder_removal(HWND main, const FolderRemoval& removal) {
    RemovalHandler handler;
    HWND window = create_secondary_window(main, removal.title, removal.window, handler);
    if (!window) return std::nullopt;

    const bool built =
        create_control(window, L"STATIC", with_access_key(removal.text, REMOVAL_TEXT_KEYS),
                       WS_VISIBLE | SS_LEFT, 0,
                       REMOVAL_TEXT, TEXT_ID) &&
        (handler.list = create_control(window, L"LISTBOX", "",
                                       WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | WS_HSCROLL,
                                       WS_EX_CLIENTEDGE, REMOVAL_LIST, LIST_ID)) &&
        create_control(window, L"BUTTON", with_access_key(REMOVAL_REMOVE.text, REMOVAL_REMOVE.keys),
                       WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, REMOVAL_REMOVE.rect,
                       REMOVE_ID) &&
        create_control(window, L"BUTTON", with_access_key(REMOVAL_CANCEL.text, REMOVAL_CANCEL.keys),
                       WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, REMOVAL_CANCEL.rect, CANCEL_ID);
    if (!built) {
        DestroyWindow(window);
        return std::nullopt;
    }
    // Long paths scroll sideways rather than being cut off.
    int widest = 0;
    HDC dc = GetDC(handler.list);
    HGDIOBJ old_font =
        SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(handler.list, WM_GETFONT, 0, 0)));
    for (const std::string& folder : removal.folders) {
        const std::wstring text = wide(folder);
        SendMessageW(handler.list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
        SIZE size{};
        if (GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size)) {
            widest = std::max(widest, static_cast<int>(size.cx));
        }
    }
    SelectObject(dc, old_font);
    ReleaseDC(handler.list, dc);
    SendMessageW(handler.list, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(widest + 8), 0);
    SendMessageW(handler.list, LB_SETCURSEL, 0, 0);
    run_modal(main, window, handler.list);
    return handler.answer;
}

}  // namespace dalvento::win32
