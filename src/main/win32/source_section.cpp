#include "main/win32/source_section.h"

#include <commctrl.h>
#include <shellapi.h>

#include "main/access_keys.h"
#include "main/win32/accessibility.h"
#include "main/win32/source_list.h"
#include "main/win32/win32_ui.h"
#include "main/window_design.h"

namespace dalvento::win32 {

namespace {

constexpr DWORD BUTTON_STYLE = WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
// Without SS_NOPREFIX: the label carries its list's access key.
constexpr DWORD LABEL_STYLE = WS_VISIBLE | SS_LEFT;
constexpr DWORD LIST_STYLE = WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS;

// A list's outer rectangle for a client area of the given size: its border adds to it.
Rect with_border(HWND control, const Rect& client) {
    RECT frame = {0, 0, client.width, client.height};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(control, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(control, GWL_EXSTYLE)));
    return {client.x, client.y, frame.right - frame.left, frame.bottom - frame.top};
}

}  // namespace

void place_control(HWND control, const Rect& r) {
    SetWindowPos(control, nullptr, r.x, r.y, r.width, r.height, SWP_NOZORDER | SWP_NOACTIVATE);
}

bool SourceSection::create(HWND main, SourceKind kind, int toggle_id, int source_id, int list_id) {
    kind_ = kind;
    const auto i = static_cast<size_t>(kind);
    toggle_ = create_control(main, WC_BUTTONW,
                             with_access_key(MAIN_TOGGLE_BUTTONS[i].text, MAIN_TOGGLE_BUTTON_KEYS[i]),
                             BUTTON_STYLE, 0, MAIN_TOGGLE_BUTTONS[i].rect, toggle_id);
    source_ = create_control(main, WC_BUTTONW,
                             with_access_key(MAIN_SOURCE_BUTTONS[i].text, MAIN_SOURCE_BUTTON_KEYS[i]),
                             BUTTON_STYLE, 0, MAIN_SOURCE_BUTTONS[i].rect, source_id);
    label_ = create_control(main, WC_STATICW,
                            with_access_key(MAIN_SECTION_LABELS[i].text, MAIN_SECTION_LABEL_KEYS[i]),
                            LABEL_STYLE, 0, MAIN_SECTION_LABELS[i].rect, 0);
    list_ = create_control(main, WC_LISTVIEWW, "", LIST_STYLE, WS_EX_CLIENTEDGE, MAIN_LISTS[i],
                           list_id);
    // The toggle's name comes with its text, each time the section is placed.
    return toggle_ && source_ && label_ && list_;
}

void SourceSection::prepare(int dpi) {
    prepare_source_list(list_, kind_, dpi);
    DragAcceptFiles(list_, TRUE);
}

void SourceSection::show(const std::string& headline, const std::string& source_caption,
                         const std::vector<ListRow>& rows, int dpi) {
    const auto i = static_cast<size_t>(kind_);
    fill_source_list(list_, rows, dpi);
    set_window_text(label_, with_access_key(headline, MAIN_SECTION_LABEL_KEYS[i]));
    set_window_text(source_, with_access_key(source_caption, MAIN_SOURCE_BUTTON_KEYS[i]));
}

void SourceSection::place(const MainLayout::Section& where, int scroll) {
    const auto i = static_cast<size_t>(kind_);
    const auto at = [scroll](Rect r) {
        r.y -= scroll;
        return r;
    };
    place_control(label_, at(where.label));
    place_control(toggle_, at(where.toggle));
    place_control(source_, at(where.source_button));
    set_window_text(toggle_, with_access_key(where.toggle_text, MAIN_TOGGLE_BUTTON_KEYS[i]));
    set_accessible_name(toggle_, where.toggle_text + " " + std::string(MAIN_SECTION_NAMES[i]));
    if (where.collapsed) {
        const HWND focus = GetFocus();
        if (focus == list_ || focus == source_) SetFocus(toggle_);
        ShowWindow(source_, SW_HIDE);
        ShowWindow(list_, SW_HIDE);
    } else {
        place_control(list_, with_border(list_, at(where.list)));
        ShowWindow(source_, SW_SHOW);
        ShowWindow(list_, SW_SHOW);
    }
}

void SourceSection::resize_columns(int dpi) {
    size_source_columns(list_, dpi, true);
}

}  // namespace dalvento::win32
