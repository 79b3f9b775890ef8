#include <algorithm>
#include <vector>

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
    REMOVE_FOLDER_ID,
    FIRST_ITEM_ID,
};

constexpr DWORD LABEL_STYLE = WS_VISIBLE | SS_LEFT | SS_NOPREFIX;
constexpr DWORD CHECK_STYLE = WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX;
constexpr DWORD BUTTON_STYLE = WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;

bool ticked(HWND box) {
    return SendMessageW(box, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// Enter and Esc do nothing here: only the buttons and the close box end the picker.
class PickerHandler : public ModalHandler {
  public:
    std::vector<HWND> item_boxes;
    HWND remember_box = nullptr;
    PickerAnswer answer;

  protected:
    void command(HWND, int id) override {
        if (id == OK_ID) end(PickerResult::ok);
        if (id == ADD_FOLDER_ID) end(PickerResult::add_folder);
        if (id == REMOVE_FOLDER_ID) end(PickerResult::remove_folder);
        if (id == CANCEL_ID) end(PickerResult::cancel);
    }
    void closed(HWND) override { end(PickerResult::cancel); }

  private:
    void end(PickerResult result) {
        if (finished()) return;
        answer.result = result;
        answer.ticked.clear();
        for (HWND box : item_boxes)
            answer.ticked.push_back(ticked(box));
        answer.remember = ticked(remember_box);
        finish();
    }
};

}  // namespace

PickerAnswer run_picker(HWND main, const PickerWindow& picker) {
    PickerHandler handler;
    HWND window = create_secondary_window(main, picker.title, picker.window, handler);
    if (!window) return {PickerResult::cancel, {}, true};

    bool built =
        create_control(window, L"STATIC", picker.folder_line, LABEL_STYLE, 0, picker.folder_label,
                       FOLDER_LABEL_ID) &&
        create_control(window, L"BUTTON", PICKER_REMOVE_FOLDER, BUTTON_STYLE, 0,
                       picker.remove_folder_button, REMOVE_FOLDER_ID) &&
        create_control(window, L"BUTTON", PICKER_ADD_FOLDER, BUTTON_STYLE, 0,
                       picker.add_folder_button, ADD_FOLDER_ID) &&
        create_control(window, L"STATIC", picker.hint, LABEL_STYLE, 0, picker.hint_label, HINT_ID);
    const size_t count = std::min(picker.items.size(), picker.item_boxes.size());
    for (size_t i = 0; built && i < count; ++i) {
        const PickerWindow::Item& item = picker.items[i];
        HWND box = create_control(window, L"BUTTON", without_mnemonics(item.label), CHECK_STYLE, 0,
                                  picker.item_boxes[i], FIRST_ITEM_ID + static_cast<int>(i));
        if (!box) {
            built = false;
            break;
        }
        SendMessageW(box, BM_SETCHECK, item.ticked ? BST_CHECKED : BST_UNCHECKED, 0);
        handler.item_boxes.push_back(box);
    }
    if (built) {
        handler.remember_box = create_control(window, L"BUTTON", PICKER_REMEMBER, CHECK_STYLE, 0,
                                              picker.remember_box, REMEMBER_ID);
        built = handler.remember_box &&
                create_control(window, L"BUTTON", PICKER_OK, BUTTON_STYLE, 0, picker.ok_button,
                               OK_ID) &&
                create_control(window, L"BUTTON", PICKER_CANCEL, BUTTON_STYLE, 0,
                               picker.cancel_button, CANCEL_ID);
    }
    if (!built) {
        DestroyWindow(window);
        return {PickerResult::cancel, {}, true};
    }
    SendMessageW(handler.remember_box, BM_SETCHECK, BST_CHECKED, 0);

    HWND focus = handler.item_boxes.empty() ? GetDlgItem(window, OK_ID) : handler.item_boxes[0];
    run_modal(main, window, focus);
    return handler.answer;
}

}  // namespace dalvento::win32
