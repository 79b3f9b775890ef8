#include "county/text.h"
#include "main/layout.h"
#include "main/access_keys.h"
#include "main/win32/dialogs.h"
#include "main/win32/modal_window.h"
#include "main/window_design.h"

namespace dalvento::win32 {

namespace {

enum : int { SAVE_ID = FIRST_CONTROL_ID, CANCEL_ID, ENTRY_ID, TEXT_ID };

constexpr Rect TEXT_RECT = {16, 12, 528, 60};
constexpr Rect ENTRY_RECT = {16, 80, 528, 26};
constexpr Rect SAVE_RECT = {354, 132, 90, 40};
constexpr Rect CANCEL_RECT = {454, 132, 90, 40};

class TokenHandler : public ModalHandler {
  public:
    TokenHandler() { default_button = SAVE_ID; }

    HWND entry = nullptr;
    std::optional<std::string> answer;

    // Save is for a token: blanks alone would only end the send.
    void update_save(HWND window) {
        EnableWindow(GetDlgItem(window, SAVE_ID), !trim(window_text(entry)).empty());
    }

  protected:
    void command(HWND window, int id) override {
        if (finished()) return;
        if (id == SAVE_ID || id == IDOK) {
            if (!IsWindowEnabled(GetDlgItem(window, SAVE_ID))) return;
            answer = window_text(entry);
            finish();
        } else if (id == CANCEL_ID || id == IDCANCEL) {
            finish();
        }
    }
    void closed(HWND) override { finish(); }
    void edited(HWND window, int id) override {
        if (id == ENTRY_ID) update_save(window);
    }
};

}  // namespace

std::optional<std::string> run_token_prompt(HWND main) {
    TokenHandler handler;
    const Rect placement = centred_over(logical_placement(main), TOKEN_PROMPT_CLIENT.width,
                                        TOKEN_PROMPT_CLIENT.height);
    HWND window = create_secondary_window(main, TOKEN_PROMPT_TITLE, placement, handler);
    if (!window) return std::nullopt;

    const bool built =
        create_control(window, L"STATIC", with_access_key(TOKEN_PROMPT_TEXT, TOKEN_PROMPT_TEXT_KEYS),
                       WS_VISIBLE | SS_LEFT, 0,
                       TEXT_RECT, TEXT_ID) &&
        (handler.entry =
             create_control(window, L"EDIT", "", WS_VISIBLE | WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL,
                            WS_EX_CLIENTEDGE, ENTRY_RECT, ENTRY_ID)) &&
        create_control(window, L"BUTTON", with_access_key(TOKEN_PROMPT_SAVE, TOKEN_PROMPT_SAVE_KEYS),
                       WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, SAVE_RECT, SAVE_ID) &&
        create_control(window, L"BUTTON",
                       with_access_key(TOKEN_PROMPT_CANCEL, TOKEN_PROMPT_CANCEL_KEYS),
                       WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, CANCEL_RECT, CANCEL_ID);
    if (!built) {
        DestroyWindow(window);
        return std::nullopt;
    }
    set_cue(handler.entry, TOKEN_PROMPT_CUE);
    handler.update_save(window);
    run_modal(main, window, handler.entry);
    return handler.answer;
}

}  // namespace dalvento::win32
