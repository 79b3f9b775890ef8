#include "main/layout.h"
#include "main/access_keys.h"
#include "main/win32/dialogs.h"
#include "main/win32/modal_window.h"
#include "main/window_design.h"

namespace dalvento::win32 {

namespace {

enum : int { COPY_ID = FIRST_CONTROL_ID, SEND_ID, BACK_ID, LINE_ID, TEXT_ID };

constexpr Rect LINE_RECT = {16, 12, 588, 22};
constexpr Rect TEXT_RECT = {16, 40, REVIEW_TEXT_BOX.width, REVIEW_TEXT_BOX.height};
constexpr int BUTTON_Y = 384;
constexpr Rect COPY_RECT = {16, BUTTON_Y, REVIEW_COPY.rect.width, REVIEW_COPY.rect.height};
constexpr Rect SEND_RECT = {384, BUTTON_Y, REVIEW_SEND.rect.width, REVIEW_SEND.rect.height};
constexpr Rect BACK_RECT = {524, BUTTON_Y, REVIEW_BACK.rect.width, REVIEW_BACK.rect.height};

// No default button: Enter never sends. Esc and the close box go back.
class ReviewHandler : public ModalHandler {
  public:
    explicit ReviewHandler(const std::string& text) : text_(text) {}

    ReviewAnswer answer = ReviewAnswer::back;

  protected:
    void command(HWND window, int id) override {
        if (finished()) return;
        if (id == COPY_ID) {
            (void)put_on_clipboard(window, text_);
        } else if (id == SEND_ID) {
            answer = ReviewAnswer::send;
            finish();
        } else if (id == BACK_ID || id == IDCANCEL) {
            finish();
        }
    }
    void closed(HWND) override { finish(); }

  private:
    const std::string& text_;
};

}  // namespace

ReviewAnswer run_review(HWND main, const std::string& text) {
    ReviewHandler handler(text);
    const Rect placement =
        centred_over(logical_placement(main), REVIEW_CLIENT.width, REVIEW_CLIENT.height);
    HWND window = create_secondary_window(main, REVIEW_TITLE, placement, handler);
    if (!window) return ReviewAnswer::back;

    constexpr DWORD BUTTON_STYLE = WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
    HWND back = nullptr;
    const bool built =
        create_control(window, L"STATIC", with_access_key(REVIEW_LINE, REVIEW_LINE_KEYS),
                       WS_VISIBLE | SS_LEFT, 0,
                       LINE_RECT, LINE_ID) &&
        create_control(
            window, L"EDIT", text,
            WS_VISIBLE | WS_TABSTOP | ES_MULTILINE | ES_READONLY | WS_VSCROLL | ES_AUTOVSCROLL,
            WS_EX_CLIENTEDGE, TEXT_RECT, TEXT_ID) &&
        create_control(window, L"BUTTON", with_access_key(REVIEW_COPY.text, REVIEW_COPY.keys),
                       BUTTON_STYLE, 0, COPY_RECT, COPY_ID) &&
        create_control(window, L"BUTTON", with_access_key(REVIEW_SEND.text, REVIEW_SEND.keys),
                       BUTTON_STYLE, 0, SEND_RECT, SEND_ID) &&
        (back = create_control(window, L"BUTTON",
                               with_access_key(REVIEW_BACK.text, REVIEW_BACK.keys), BUTTON_STYLE, 0, BACK_RECT,
                               BACK_ID));
    if (!built) {
        DestroyWindow(window);
        return ReviewAnswer::back;
    }
    pass_dialog_keys(GetDlgItem(window, TEXT_ID));
    run_modal(main, window, back);
    return handler.answer;
}

}  // namespace dalvento::win32
