#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <algorithm>
#include <vector>

#include "main/access_keys.h"
#include "main/layout.h"
#include "main/win32/dialogs.h"
#include "main/win32/modal_window.h"
#include "main/window_design.h"

namespace dalvento::win32 {

namespace {

enum : int {
    ADD_FOLDER_ID = FIRST_CONTROL_ID,
    OK_ID,
    CANCEL_ID,
    REMEMBER_ID,
    FOLDER_LABEL_ID,
    HINT_ID,
    ITEM_LIST_ID,
    REMOVE_FOLDER_ID,
};

constexpr DWORD LABEL_STYLE = WS_VISIBLE | SS_LEFT | SS_NOPREFIX;
// The hint labels the list, so it carries the list's access key.
constexpr DWORD KEYED_LABEL_STYLE = WS_VISIBLE | SS_LEFT;
constexpr DWORD CHECK_STYLE = WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX;
constexpr DWORD BUTTON_STYLE = WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
// The items: one column of check boxes that scrolls when there are more than fit.
constexpr DWORD ITEM_LIST_STYLE =
    WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_NOCOLUMNHEADER | LVS_SINGLESEL | LVS_SHOWSELALWAYS;

bool ticked(HWND box) {
    return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

bool item_ticked(HWND list, int index) {
    const auto state = static_cast<UINT>(
        SendMessageW(list, LVM_GETITEMSTATE, static_cast<WPARAM>(index), LVIS_STATEIMAGEMASK));
    return (state & LVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2);
}

// Fills the item list; false when an item cannot be added.
bool fill_items(HWND list, const std::vector<PickerWindow::Item>& items) {
    constexpr DWORD EXTENDED = LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP;
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, EXTENDED, EXTENDED);
    RECT client{};
    GetClientRect(list, &client);
    LVCOLUMNW column{};
    column.mask = LVCF_WIDTH;
    // Room for the scroll bar, so that a list that scrolls needs no horizontal bar.
    column.cx = client.right - GetSystemMetricsForDpi(SM_CXVSCROLL, window_dpi(list));
    if (SendMessageW(list, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column)) < 0) {
        return false;
    }
    for (size_t i = 0; i < items.size(); ++i) {
        std::wstring label = wide(items[i].label);
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(i);
        item.pszText = label.data();
        if (SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)) < 0) {
            return false;
        }
        item.stateMask = LVIS_STATEIMAGEMASK;
        item.state = INDEXTOSTATEIMAGEMASK(items[i].ticked ? 2 : 1);
        SendMessageW(list, LVM_SETITEMSTATE, i, reinterpret_cast<LPARAM>(&item));
    }
    // The first item focused, so that the keyboard starts there (Space ticks).
    LVITEMW first{};
    first.stateMask = LVIS_FOCUSED | LVIS_SELECTED;
    first.state = LVIS_FOCUSED | LVIS_SELECTED;
    SendMessageW(list, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&first));
    return true;
}

// Enter presses OK and Esc Cancel, as in any dialog box.
class PickerHandler : public ModalHandler {
  public:
    PickerHandler() { default_button = OK_ID; }

    HWND item_list = nullptr;
    int item_count = 0;
    HWND remember_box = nullptr;
    PickerAnswer answer;

  protected:
    void command(HWND, int id) override {
        if (id == OK_ID || id == IDOK) end(PickerResult::ok);
        if (id == ADD_FOLDER_ID) end(PickerResult::add_folder);
        if (id == REMOVE_FOLDER_ID) end(PickerResult::remove_folder);
        if (id == CANCEL_ID || id == IDCANCEL) end(PickerResult::cancel);
    }
    void closed(HWND) override { end(PickerResult::cancel); }

  private:
    void end(PickerResult result) {
        if (finished()) return;
        answer.result = result;
        answer.ticked.clear();
        for (int i = 0; i < item_count; ++i)
            answer.ticked.push_back(item_ticked(item_list, i));
        answer.remember = ticked(remember_box);
        finish();
    }
};

}  // namespace

PickerAnswer run_picker(HWND main, const PickerWindow& picker) {
    PickerHandler handler;
    // However many items there are, the window fits the screen: the list scrolls instead.
    const PickerFrame frame = fit_picker(picker, logical_room_height(main));
    HWND window = create_secondary_window(main, picker.title, frame.window, handler);
    if (!window) return {PickerResult::cancel, {}, true};

    bool built =
        create_control(window, L"STATIC", picker.folder_line, LABEL_STYLE, 0, picker.folder_label,
                       FOLDER_LABEL_ID) &&
        create_control(window, L"BUTTON",
                       with_access_key(PICKER_REMOVE_FOLDER, PICKER_REMOVE_FOLDER_KEYS), BUTTON_STYLE, 0,
                       picker.remove_folder_button, REMOVE_FOLDER_ID) &&
        create_control(window, L"BUTTON", with_access_key(PICKER_ADD_FOLDER, PICKER_ADD_FOLDER_KEYS),
                       BUTTON_STYLE, 0,
                       picker.add_folder_button, ADD_FOLDER_ID) &&
        create_control(window, L"STATIC", with_access_key(picker.hint, PICKER_HINT_KEYS),
                       KEYED_LABEL_STYLE, 0, picker.hint_label, HINT_ID);
    // With nothing found there is no list, only the hint saying so.
    if (built && !picker.items.empty()) {
        handler.item_list = create_control(window, WC_LISTVIEWW, "", ITEM_LIST_STYLE,
                                           WS_EX_CLIENTEDGE, frame.list, ITEM_LIST_ID);
        built = handler.item_list && fill_items(handler.item_list, picker.items);
        handler.item_count = static_cast<int>(picker.items.size());
    }
    if (built) {
        handler.remember_box = create_control(window, L"BUTTON", with_access_key(PICKER_REMEMBER, PICKER_REMEMBER_KEYS),
                           CHECK_STYLE, 0,
                                              frame.remember_box, REMEMBER_ID);
        built =
            handler.remember_box &&
            create_control(window, L"BUTTON", with_access_key(PICKER_OK, PICKER_OK_KEYS),
                           WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                           0, frame.ok_button, OK_ID) &&
            create_control(window, L"BUTTON", with_access_key(PICKER_CANCEL, PICKER_CANCEL_KEYS),
                           BUTTON_STYLE, 0, frame.cancel_button,
                           CANCEL_ID);
    }
    if (!built) {
        DestroyWindow(window);
        return {PickerResult::cancel, {}, true};
    }
    SendMessageW(handler.remember_box, BM_SETCHECK, BST_CHECKED, 0);

    HWND focus = handler.item_list ? handler.item_list : GetDlgItem(window, OK_ID);
    run_modal(main, window, focus);
    return handler.answer;
}

}  // namespace dalvento::win32
