#include "main/access_keys.h"
#include "main/win32/dialogs.h"
#include "main/win32/modal_window.h"
#include "main/window_design.h"

namespace dalvento::win32 {

namespace {

enum : int {
    HEADING_ID = FIRST_CONTROL_ID,
    STATUS_ID,
    ENTRY_ID,
    SAVE_ID,
    SHOW_ID,
    REMOVE_ID,
    RESET_ID,
    CLOSE_ID,
    ABOUT_ID,
};

// Feeds the window's events to the model; Enter saves the entry, Esc closes like Close.
class SettingsHandler : public ModalHandler {
  public:
    explicit SettingsHandler(SettingsWindow& settings) : settings_(settings) {
        default_button = SAVE_ID;
    }

    void refresh(HWND window) {
        const SettingsView view = settings_.view();
        set_window_text(GetDlgItem(window, STATUS_ID),
                        with_access_key(view.status_line, SETTINGS_STATUS_LINE_KEYS));
        HWND show = GetDlgItem(window, SHOW_ID);
        set_window_text(show, with_access_key(view.show_caption, SETTINGS_SHOW_KEYS));
        EnableWindow(show, view.show_enabled);
        EnableWindow(GetDlgItem(window, REMOVE_ID), view.remove_enabled);
    }

  protected:
    void command(HWND window, int id) override {
        if (finished()) return;
        switch (id) {
            case SAVE_ID:
            case IDOK: {
                HWND entry = GetDlgItem(window, ENTRY_ID);
                if (settings_.save(window_text(entry))) SetWindowTextW(entry, L"");
                refresh(window);
                break;
            }
            case SHOW_ID:
                settings_.show();
                refresh(window);
                break;
            case REMOVE_ID:
                settings_.remove();
                refresh(window);
                break;
            case RESET_ID:
                settings_.reset();
                break;
            case CLOSE_ID:
            case IDCANCEL:
                settings_.close();
                break;
            default:
                return;
        }
        if (settings_.closing()) finish();
    }
    void closed(HWND) override {
        if (finished()) return;
        settings_.close();
        finish();
    }

  private:
    SettingsWindow& settings_;
};

}  // namespace

bool run_settings_window(HWND main, SettingsWindow& settings) {
    SettingsHandler handler(settings);
    HWND window = create_secondary_window(
        main, SETTINGS_TITLE, SettingsWindow::placement(logical_placement(main)), handler);
    if (!window) return false;

    constexpr DWORD LABEL_STYLE = WS_VISIBLE | SS_LEFT | SS_NOPREFIX;
    constexpr DWORD BUTTON_STYLE = WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
    HWND entry = nullptr;
    const bool built =
        create_control(window, L"STATIC", SETTINGS_HEADING.text, LABEL_STYLE, 0,
                       SETTINGS_HEADING.rect, HEADING_ID) &&
        // The status line labels the entry: it carries the entry's access key.
        create_control(window, L"STATIC", "", WS_VISIBLE | SS_LEFT, 0, SETTINGS_STATUS_LINE,
                       STATUS_ID) &&
        (entry = create_control(window, L"EDIT", SETTINGS_ENTRY.text,
                                WS_VISIBLE | WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL,
                                WS_EX_CLIENTEDGE, SETTINGS_ENTRY.rect, ENTRY_ID)) &&
        create_control(window, L"BUTTON", with_access_key(SETTINGS_SAVE.text, SETTINGS_SAVE.keys),
                       WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, SETTINGS_SAVE.rect,
                       SAVE_ID) &&
        create_control(window, L"BUTTON", "Show", BUTTON_STYLE, 0, SETTINGS_SHOW, SHOW_ID) &&
        create_control(window, L"BUTTON", with_access_key(SETTINGS_REMOVE.text, SETTINGS_REMOVE.keys),
                       BUTTON_STYLE, 0,
                       SETTINGS_REMOVE.rect, REMOVE_ID) &&
        create_control(window, L"BUTTON", with_access_key(SETTINGS_RESET.text, SETTINGS_RESET.keys),
                       BUTTON_STYLE, 0, SETTINGS_RESET.rect,
                       RESET_ID) &&
        create_control(window, L"BUTTON", with_access_key(SETTINGS_CLOSE.text, SETTINGS_CLOSE.keys),
                       BUTTON_STYLE, 0, SETTINGS_CLOSE.rect, CLOSE_ID) &&
        create_control(window, L"STATIC", settings.view().about, LABEL_STYLE, 0,
                       SETTINGS_ABOUT_LINE, ABOUT_ID);
    if (!built) {
        DestroyWindow(window);
        return false;
    }
    set_cue(entry, SETTINGS_ENTRY.cue);
    handler.refresh(window);
    run_modal(main, window, entry);
    return true;
}

}  // namespace dalvento::win32
