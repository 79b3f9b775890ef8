#include "core/platform/platform.h"
#include "main/access_keys.h"
#include "main/layout.h"
#include "main/win32/dialogs.h"
#include "main/win32/modal_window.h"
#include "main/window_design.h"

namespace dalvento::win32 {

namespace {

enum : int {
    CONFIRM_ID = FIRST_CONTROL_ID,
    CANCEL_ID,
    SENDER_ID,
    REASON_ID,
    UNUSUAL_ID,
    SUMMARY_ID,
    SENDER_LABEL_ID,
    REASON_LABEL_ID,
    UNUSUAL_LABEL_ID,
};

constexpr DWORD LABEL_STYLE = WS_VISIBLE | SS_LEFT | SS_NOPREFIX;
constexpr DWORD KEYED_LABEL_STYLE = WS_VISIBLE | SS_LEFT;
constexpr DWORD EDIT_STYLE = WS_VISIBLE | WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL;

class DeliveryHandler : public ModalHandler {
  public:
    DeliveryHandler() { default_button = CONFIRM_ID; }

    HWND sender = nullptr;
    HWND reason = nullptr;
    HWND unusual = nullptr;
    std::optional<DeliveryDialogAnswer> answer;

  protected:
    void command(HWND, int id) override {
        if (finished()) return;
        if (id == CONFIRM_ID || id == IDOK) {
            answer = DeliveryDialogAnswer{window_text(sender), window_text(reason),
                                          window_text(unusual)};
            finish();
        } else if (id == CANCEL_ID || id == IDCANCEL) {
            finish();
        }
    }
    void closed(HWND) override { finish(); }
};

}  // namespace

std::expected<std::optional<DeliveryDialogAnswer>, std::string> run_delivery_dialog(
    HWND main, const DeliveryDialog& dialog) {
    DeliveryHandler handler;
    const Rect placement = centred_over(logical_placement(main), DELIVERY_DIALOG_CLIENT.width,
                                        DELIVERY_DIALOG_CLIENT.height);
    HWND window = create_secondary_window(main, DELIVERY_DIALOG_TITLE, placement, handler);
    if (!window) return std::unexpected(platform::os_error_text(static_cast<int>(GetLastError())));

    auto label = [&](std::string_view text, const Rect& rect, int id) {
        return create_control(window, L"STATIC", text, LABEL_STYLE, 0, rect, id) != nullptr;
    };
    // A box's label, carrying the box's access key.
    auto box_label = [&](const ControlSpec& design, int id) {
        return create_control(window, L"STATIC", with_access_key(design.text, design.keys),
                              KEYED_LABEL_STYLE, 0, design.rect, id) != nullptr;
    };
    auto edit = [&](const ControlSpec& design, std::string_view text, int id) {
        HWND box =
            create_control(window, L"EDIT", text, EDIT_STYLE, WS_EX_CLIENTEDGE, design.rect, id);
        if (box && !design.cue.empty()) set_cue(box, design.cue);
        return box;
    };
    bool built =
        label(dialog.summary, DELIVERY_SUMMARY, SUMMARY_ID) &&
        box_label(DELIVERY_SENDER_LABEL, SENDER_LABEL_ID) &&
        (handler.sender = edit(DELIVERY_SENDER_BOX, dialog.sender, SENDER_ID)) &&
        box_label(DELIVERY_REASON_LABEL, REASON_LABEL_ID) &&
        (handler.reason = edit(DELIVERY_REASON_BOX, dialog.reason, REASON_ID)) &&
        box_label(DELIVERY_UNUSUAL_LABEL, UNUSUAL_LABEL_ID) &&
        (handler.unusual = edit(DELIVERY_UNUSUAL_BOX, "", UNUSUAL_ID)) &&
        create_control(window, L"BUTTON", with_access_key(dialog.confirm_caption, DELIVERY_CONFIRM_KEYS),
                       WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, DELIVERY_CONFIRM_BUTTON,
                       CONFIRM_ID) &&
        create_control(window, L"BUTTON",
                       with_access_key(DELIVERY_CANCEL_BUTTON.text, DELIVERY_CANCEL_BUTTON.keys),
                       WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, DELIVERY_CANCEL_BUTTON.rect,
                       CANCEL_ID);
    if (!built) {
        const std::string error = platform::os_error_text(static_cast<int>(GetLastError()));
        DestroyWindow(window);
        return std::unexpected(error);
    }

    HWND focus = handler.sender;
    if (dialog.focus == DialogFocus::reason) focus = handler.reason;
    if (dialog.focus == DialogFocus::unusual) focus = handler.unusual;
    run_modal(main, window, focus);
    return handler.answer;
}

}  // namespace dalvento::win32
