#include "main/win32/main_desktop.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "main/layout.h"
#include "main/win32/dialogs.h"
#include "main/win32/win32_ui.h"
#include "main/window_design.h"

namespace dalvento::win32 {

namespace {

constexpr UINT_PTR DISPATCHER_ID = 1;

// Notice ids come from one counter for the whole process.
WPARAM next_notice_id() {
    static std::atomic<WPARAM> counter{1};
    return counter++;
}

constexpr DWORD BUTTON_STYLE = WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
constexpr DWORD LABEL_STYLE = WS_VISIBLE | SS_LEFT | SS_NOPREFIX;
constexpr DWORD LIST_STYLE = WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS;
constexpr DWORD STATUS_STYLE =
    WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL;

constexpr std::array<ControlId, 3> SOURCE_IDS = {ID_SOURCE_LAYERS, ID_SOURCE_TABLES,
                                                 ID_SOURCE_OTHER};
constexpr std::array<ControlId, 3> TOGGLE_IDS = {ID_TOGGLE_LAYERS, ID_TOGGLE_TABLES,
                                                 ID_TOGGLE_OTHER};
constexpr std::array<ControlId, 3> LIST_IDS = {ID_LIST_LAYERS, ID_LIST_TABLES, ID_LIST_OTHER};

std::optional<Control> control_of(int id) {
    switch (id) {
        case ID_SETTINGS:
            return Control::settings_button;
        case ID_SOURCE_LAYERS:
            return Control::source_layers;
        case ID_SOURCE_TABLES:
            return Control::source_tables;
        case ID_SOURCE_OTHER:
            return Control::source_other;
        case ID_TOGGLE_LAYERS:
            return Control::toggle_layers;
        case ID_TOGGLE_TABLES:
            return Control::toggle_tables;
        case ID_TOGGLE_OTHER:
            return Control::toggle_other;
        case ID_BUNDLE:
            return Control::bundle_button;
        case ID_SEND:
            return Control::send_button;
        default:
            return std::nullopt;
    }
}

void place(HWND control, const Rect& r) {
    SetWindowPos(control, nullptr, r.x, r.y, r.width, r.height, SWP_NOZORDER | SWP_NOACTIVATE);
}

// A list's outer rectangle for a client area of the given size: its border adds to it.
Rect with_border(HWND control, const Rect& client) {
    RECT frame = {0, 0, client.width, client.height};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(control, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(control, GWL_EXSTYLE)));
    return {client.x, client.y, frame.right - frame.left, frame.bottom - frame.top};
}

// A cell's full text when the list's width cuts it; empty when it shows whole.
std::wstring cut_cell_text(HWND list, int row, int column, int padding) {
    wchar_t buffer[1024] = {};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = buffer;
    item.cchTextMax = 1024;
    SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    if (buffer[0] == L'\0') return {};
    // The first column's bounds are the whole row's; its label is the cell.
    RECT cell{};
    cell.top = column;
    cell.left = column == 0 ? LVIR_LABEL : LVIR_BOUNDS;
    if (!SendMessageW(list, LVM_GETSUBITEMRECT, static_cast<WPARAM>(row),
                      reinterpret_cast<LPARAM>(&cell))) {
        return {};
    }
    RECT client{};
    GetClientRect(list, &client);
    const LONG shown = std::min(cell.right, client.right) - std::max(cell.left, client.left);
    const LRESULT needed =
        SendMessageW(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(buffer)) + padding;
    return needed > shown ? std::wstring(buffer) : std::wstring();
}

}  // namespace

MainDesktop::~MainDesktop() {
    unbind();
    if (main_) DestroyWindow(main_);
}

bool MainDesktop::build() {
    for (const FolderDialog which : {FolderDialog::layers, FolderDialog::tables,
                                     FolderDialog::other, FolderDialog::zip_destination}) {
        folder_dialog_titles_[static_cast<size_t>(which)] = wide(folder_dialog_title(which));
    }

    const Rect outer = scaled(MAIN_WINDOW);
    RECT frame = {0, 0, outer.width, outer.height};
    AdjustWindowRectEx(&frame, TOP_LEVEL_STYLE, FALSE, WS_EX_CONTROLPARENT);
    main_ = CreateWindowExW(WS_EX_CONTROLPARENT, MAIN_WINDOW_CLASS, wide(MAIN_WINDOW_TITLE).c_str(),
                            TOP_LEVEL_STYLE, outer.x, outer.y, frame.right - frame.left,
                            frame.bottom - frame.top, nullptr, nullptr, GetModuleHandleW(nullptr),
                            nullptr);
    if (!main_) return false;
    dpi_ = window_dpi(main_);

    intro_ = create_control(main_, WC_STATICW, MAIN_INTRO.text, LABEL_STYLE, 0, MAIN_INTRO.rect, 0);
    bool built = intro_ != nullptr;
    for (size_t i = 0; i < 3; ++i) {
        Section& section = sections_[i];
        section.label = create_control(main_, WC_STATICW, MAIN_SECTION_LABELS[i].text, LABEL_STYLE,
                                       0, MAIN_SECTION_LABELS[i].rect, 0);
        section.source_button =
            create_control(main_, WC_BUTTONW, MAIN_SOURCE_BUTTONS[i].text, BUTTON_STYLE, 0,
                           MAIN_SOURCE_BUTTONS[i].rect, SOURCE_IDS[i]);
        section.toggle_button =
            create_control(main_, WC_BUTTONW, MAIN_TOGGLE_BUTTONS[i].text, BUTTON_STYLE, 0,
                           MAIN_TOGGLE_BUTTONS[i].rect, TOGGLE_IDS[i]);
        section.list = create_control(main_, WC_LISTVIEWW, "", LIST_STYLE, WS_EX_CLIENTEDGE,
                                      MAIN_LISTS[i], LIST_IDS[i]);
        built = built && section.label && section.source_button && section.toggle_button &&
                section.list;
    }
    status_box_ = create_control(main_, WC_EDITW, MAIN_STATUS_BOX.text, STATUS_STYLE,
                                 WS_EX_CLIENTEDGE, MAIN_STATUS_BOX.rect, ID_STATUS_BOX);
    settings_button_ = create_control(main_, WC_BUTTONW, MAIN_SETTINGS_BUTTON.text, BUTTON_STYLE, 0,
                                      MAIN_SETTINGS_BUTTON.rect, ID_SETTINGS);
    refresh_notice_ = next_notice_id();
    work_notice_ = next_notice_id();
    bundle_button_ = create_control(main_, WC_BUTTONW, MAIN_BUNDLE_BUTTON.text, BUTTON_STYLE, 0,
                                    MAIN_BUNDLE_BUTTON.rect, ID_BUNDLE);
    send_button_ = create_control(main_, WC_BUTTONW, MAIN_SEND_BUTTON.text, BUTTON_STYLE, 0,
                                  MAIN_SEND_BUTTON.rect, ID_SEND);
    return built && status_box_ && settings_button_ && bundle_button_ && send_button_;
}

void MainDesktop::prepare_lists() {
    const std::array<int, 6> widths = list_column_widths(dpi_);
    // Info tips: the full text of a cell that the list's width cuts.
    constexpr DWORD EXTENDED =
        LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP | LVS_EX_LABELTIP;
    for (size_t i = 0; i < 3; ++i) {
        HWND list = sections_[i].list;
        SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, EXTENDED, EXTENDED);
        for (size_t c = 0; c < LIST_COLUMNS.size(); ++c) {
            std::wstring header = wide(c == 0 ? FIRST_COLUMN_HEADERS[i] : LIST_COLUMNS[c].header);
            LVCOLUMNW column{};
            column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
            column.pszText = header.data();
            column.cx = widths[c];
            column.iSubItem = static_cast<int>(c);
            SendMessageW(list, LVM_INSERTCOLUMNW, c, reinterpret_cast<LPARAM>(&column));
        }
        SetWindowLongPtrW(list, GWL_STYLE,
                          GetWindowLongPtrW(list, GWL_STYLE) & ~LVS_NOCOLUMNHEADER);
        DragAcceptFiles(list, TRUE);
    }
    DragAcceptFiles(main_, TRUE);
}

void MainDesktop::size_columns(HWND list, bool all) {
    const std::array<int, 6> widths = list_column_widths(dpi_);
    const bool empty = SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 0;
    for (int c = 0; c < 6; ++c) {
        if (all && (c < 4 || empty)) SendMessageW(list, LVM_SETCOLUMNWIDTH, c, widths[c]);
    }
    // An empty list has nothing to size them to: they keep their widths.
    if (empty) return;
    SendMessageW(list, LVM_SETCOLUMNWIDTH, 4, LVSCW_AUTOSIZE);
    // On the last column "use the header" fills what is left of the list instead, which can be
    // narrower than the longest path: the wider of the two.
    SendMessageW(list, LVM_SETCOLUMNWIDTH, 5, LVSCW_AUTOSIZE);
    const LRESULT contents = SendMessageW(list, LVM_GETCOLUMNWIDTH, 5, 0);
    SendMessageW(list, LVM_SETCOLUMNWIDTH, 5, LVSCW_AUTOSIZE_USEHEADER);
    if (SendMessageW(list, LVM_GETCOLUMNWIDTH, 5, 0) < contents) {
        SendMessageW(list, LVM_SETCOLUMNWIDTH, 5, contents);
    }
}

void MainDesktop::dpi_changed(int dpi, const RECT* suggested) {
    dpi_ = dpi > 0 ? dpi : screen_dpi();
    if (suggested) {
        SetWindowPos(main_, nullptr, suggested->left, suggested->top,
                     suggested->right - suggested->left, suggested->bottom - suggested->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (HFONT font = default_font(dpi_)) {
        for (HWND child = GetWindow(main_, GW_CHILD); child;
             child = GetWindow(child, GW_HWNDNEXT)) {
            SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
        }
    }
    for (const Section& section : sections_)
        size_columns(section.list, true);
    if (model_) relayout(*model_);
    InvalidateRect(main_, nullptr, TRUE);
}

void MainDesktop::fill_info_tip(NMLVGETINFOTIPW& tip) {
    HWND list = tip.hdr.hwndFrom;
    if (tip.iItem < 0 || !tip.pszText || tip.cchTextMax <= 0) return;
    // The cell under the pointer; every cut cell of the row where the pointer names none.
    LVHITTESTINFO hit{};
    GetCursorPos(&hit.pt);
    ScreenToClient(list, &hit.pt);
    int column = -1;
    if (SendMessageW(list, LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit)) >= 0 &&
        hit.iItem == tip.iItem) {
        column = hit.iSubItem;
    }
    std::wstring text;
    for (int c = 0; c < static_cast<int>(LIST_COLUMNS.size()); ++c) {
        if (column >= 0 && c != column) continue;
        const std::wstring cell = cut_cell_text(list, tip.iItem, c, scale(12, dpi_));
        if (cell.empty()) continue;
        if (!text.empty()) text += L"\r\n";
        text += cell;
    }
    const size_t room = static_cast<size_t>(tip.cchTextMax) - 1;
    text.resize(std::min(text.size(), room));
    std::copy(text.begin(), text.end(), tip.pszText);
    tip.pszText[text.size()] = L'\0';
}

void MainDesktop::bind(MainWindow& model) {
    model_ = &model;
    SetWindowSubclass(main_, dispatcher, DISPATCHER_ID, reinterpret_cast<DWORD_PTR>(this));
    EnumChildWindows(
        main_,
        [](HWND child, LPARAM self) -> BOOL {
            SetWindowSubclass(child, dispatcher, DISPATCHER_ID, static_cast<DWORD_PTR>(self));
            return TRUE;
        },
        reinterpret_cast<LPARAM>(this));
    prepare_lists();
    SetTimer(main_, CHECK_TIMER_ID, CHECK_INTERVAL_MS, nullptr);
    dispatch(model, Event{.kind = Event::Kind::created});
}

void MainDesktop::unbind() {
    if (!model_ || !main_) return;
    EnumChildWindows(
        main_,
        [](HWND child, LPARAM) -> BOOL {
            RemoveWindowSubclass(child, dispatcher, DISPATCHER_ID);
            return TRUE;
        },
        0);
    RemoveWindowSubclass(main_, dispatcher, DISPATCHER_ID);
    model_ = nullptr;
}

HWND MainDesktop::control(ControlId id) const {
    return GetDlgItem(main_, id);
}

LRESULT CALLBACK MainDesktop::dispatcher(HWND window, UINT message, WPARAM w, LPARAM l, UINT_PTR,
                                         DWORD_PTR data) {
    return reinterpret_cast<MainDesktop*>(data)->handle(window, message, w, l);
}

LRESULT MainDesktop::handle(HWND window, UINT message, WPARAM w, LPARAM l) {
    MainWindow& model = *model_;
    if (message == WM_DROPFILES) {
        dropped(window, reinterpret_cast<HDROP>(w));
        return 0;
    }
    if (window != main_) return DefSubclassProc(window, message, w, l);

    switch (message) {
        case WM_COMMAND:
            // Enter and Esc arrive as IDOK and IDCANCEL and do nothing here.
            if (HIWORD(w) == BN_CLICKED) {
                if (const std::optional<Control> clicked = control_of(LOWORD(w))) {
                    dispatch(model, Event{.kind = Event::Kind::click, .control = *clicked});
                }
            }
            return 0;
        case WM_TIMER:
            if (w == CHECK_TIMER_ID) {
                dispatch(model, Event{.kind = Event::Kind::timer_tick});
                return 0;
            }
            break;
        case NOTICE_MESSAGE:
            if (w == refresh_notice_) {
                dispatch(model, Event{.kind = Event::Kind::refresh_notice});
            } else if (w == work_notice_) {
                dispatch(model, Event{.kind = Event::Kind::work_notice});
            }
            return 0;
        case WM_VSCROLL: {
            SCROLLINFO info{};
            info.cbSize = sizeof info;
            info.fMask = SIF_ALL;
            GetScrollInfo(main_, SB_VERT, &info);
            const int line = scale(20, dpi_);
            const int page = static_cast<int>(info.nPage);
            switch (LOWORD(w)) {
                case SB_LINEUP:
                    scroll_to(scroll_ - line);
                    break;
                case SB_LINEDOWN:
                    scroll_to(scroll_ + line);
                    break;
                case SB_PAGEUP:
                    scroll_to(scroll_ - page);
                    break;
                case SB_PAGEDOWN:
                    scroll_to(scroll_ + page);
                    break;
                case SB_THUMBTRACK:
                case SB_THUMBPOSITION:
                    scroll_to(info.nTrackPos);
                    break;
                case SB_TOP:
                    scroll_to(0);
                    break;
                case SB_BOTTOM:
                    scroll_to(scroll_range_);
                    break;
                default:
                    break;
            }
            return 0;
        }
        case WM_MOUSEWHEEL:
            if (scroll_range_ > 0) {
                scroll_to(scroll_ - GET_WHEEL_DELTA_WPARAM(w) * scale(40, dpi_) / WHEEL_DELTA);
                return 0;
            }
            break;
        case WM_DPICHANGED:
            dpi_changed(LOWORD(w), reinterpret_cast<const RECT*>(l));
            return 0;
        case WM_SETTINGCHANGE:
            if (w == SPI_SETWORKAREA) relayout(model);
            break;
        case WM_DISPLAYCHANGE:
            relayout(model);
            break;
        case WM_NOTIFY:
            if (reinterpret_cast<const NMHDR*>(l)->code == LVN_GETINFOTIPW) {
                fill_info_tip(*reinterpret_cast<NMLVGETINFOTIPW*>(l));
                return 0;
            }
            break;
        case WM_ACTIVATE:
            if (LOWORD(w) != WA_INACTIVE) {
                SendNotifyMessageW(main_, NOTICE_MESSAGE, refresh_notice_,
                                   reinterpret_cast<LPARAM>(main_));
            }
            break;
        case WM_CLOSE:
            // With a modal window open the loop running is that window's: the user closes it first.
            if (!is_main_window_enabled()) return 0;
            dispatch(model, Event{.kind = Event::Kind::close});
            if (model.quit) end_message_loop();
            return 0;
        default:
            break;
    }
    return DefSubclassProc(window, message, w, l);
}

void MainDesktop::dropped(HWND target, HDROP drop) {
    std::vector<std::filesystem::path> paths;
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        const UINT length = DragQueryFileW(drop, i, nullptr, 0);
        std::wstring path(length + 1, L'\0');
        const UINT copied = DragQueryFileW(drop, i, path.data(), length + 1);
        path.resize(copied);
        if (!path.empty()) paths.emplace_back(path);
    }
    DropTarget where = DropTarget::window;
    if (target == sections_[0].list) where = DropTarget::layers_list;
    if (target == sections_[1].list) where = DropTarget::tables_list;
    if (target == sections_[2].list) where = DropTarget::other_list;
    if (model_ && (target == main_ || where != DropTarget::window)) {
        dispatch(*model_, Event{.kind = Event::Kind::drop, .target = where, .paths = paths});
    }
    DragFinish(drop);
}

BoxAnswer MainDesktop::message_box(const std::string& title, const std::string& text,
                                   BoxStyle style) {
    UINT flags = MB_OK | MB_ICONINFORMATION;
    switch (style) {
        case BoxStyle::information:
            break;
        case BoxStyle::error:
            flags = MB_OK | MB_ICONERROR;
            break;
        case BoxStyle::question:
            flags = MB_YESNO | MB_ICONQUESTION;
            break;
        case BoxStyle::question_no_default:
            flags = MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2;
            break;
        case BoxStyle::warning_question:
            flags = MB_YESNO | MB_ICONWARNING;
            break;
        case BoxStyle::information_question:
            flags = MB_YESNO | MB_ICONINFORMATION;
            break;
    }
    switch (MessageBoxW(main_, wide(text).c_str(), wide(title).c_str(), flags)) {
        case IDOK:
            return BoxAnswer::ok;
        case IDYES:
            return BoxAnswer::yes;
        case IDNO:
            return BoxAnswer::no;
        default:
            return BoxAnswer::closed;
    }
}

Rect MainDesktop::main_window_placement() {
    return logical_placement(main_);
}

PickerAnswer MainDesktop::show_picker(const PickerWindow& picker) {
    return run_picker(main_, picker);
}

std::optional<size_t> MainDesktop::choose_folder_to_remove(const FolderRemoval& removal) {
    return run_folder_removal(main_, removal);
}

std::expected<std::optional<DeliveryDialogAnswer>, std::string> MainDesktop::show_delivery_dialog(
    const DeliveryDialog& dialog) {
    return run_delivery_dialog(main_, dialog);
}

std::optional<std::string> MainDesktop::show_token_prompt() {
    return run_token_prompt(main_);
}

ReviewAnswer MainDesktop::show_review(const std::string& text) {
    return run_review(main_, text);
}

bool MainDesktop::run_settings(SettingsWindow& window) {
    return run_settings_window(main_, window);
}

void MainDesktop::show_summary(const RenderedSummary& summary) {
    for (size_t i = 0; i < 3; ++i) {
        const Section& section = sections_[i];
        HWND list = section.list;
        SendMessageW(list, WM_SETREDRAW, FALSE, 0);
        SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
        int row_index = 0;
        for (const ListRow& row : summary.rows[i]) {
            for (size_t c = 0; c < row.size(); ++c) {
                std::wstring text = wide(row[c]);
                LVITEMW item{};
                item.mask = LVIF_TEXT;
                item.iItem = row_index;
                item.iSubItem = static_cast<int>(c);
                item.pszText = text.data();
                SendMessageW(list, c == 0 ? LVM_INSERTITEMW : LVM_SETITEMTEXTW,
                             static_cast<WPARAM>(row_index), reinterpret_cast<LPARAM>(&item));
            }
            ++row_index;
        }
        size_columns(list, false);
        SendMessageW(list, WM_SETREDRAW, TRUE, 0);
        InvalidateRect(list, nullptr, TRUE);
        set_window_text(section.label, summary.headlines[i]);
        set_window_text(section.source_button, summary.source_button_captions[i]);
    }
    show_status(summary.status_text);
    if (summary.send_enabled) EnableWindow(send_button_, *summary.send_enabled);
}

void MainDesktop::show_status(const std::string& status_text) {
    // The newest lines (the check, the send) come last: keep them in sight.
    show_text_to_end(status_box_, status_text);
}

void MainDesktop::apply_layout(const MainLayout& given) {
    // The layout as the model gave it, unless it does not fit the work area of the window's
    // monitor; then the same sections fitted into it. Where even the shortest lists do not fit,
    // the window scrolls.
    const Rect work = work_area(main_);
    const Rect frame = frame_extra(static_cast<DWORD>(GetWindowLongPtrW(main_, GWL_STYLE)),
                                   static_cast<DWORD>(GetWindowLongPtrW(main_, GWL_EXSTYLE)), dpi_);
    const int room_width = work.width - frame.width;
    const int room_height = work.height - frame.height;
    MainLayout layout = given;
    std::array<bool, 3> collapsed{};
    for (size_t i = 0; i < 3; ++i)
        collapsed[i] = given.sections[i].collapsed;
    if (given.client_width > room_width || given.client_height > room_height) {
        layout = main_layout(collapsed, dpi_, room_width, room_height);
    }
    const int scroll_bar = GetSystemMetricsForDpi(SM_CXVSCROLL, static_cast<UINT>(dpi_));
    const bool scrolls = layout.client_height > room_height;
    if (scrolls) layout = main_layout(collapsed, dpi_, room_width - scroll_bar, room_height);
    placed_ = layout;
    scroll_range_ = scrolls ? layout.client_height - room_height : 0;
    scroll_ = std::clamp(scroll_, 0, scroll_range_);
    place_controls();

    ShowScrollBar(main_, SB_VERT, scrolls);
    if (scrolls) {
        SCROLLINFO info{};
        info.cbSize = sizeof info;
        info.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
        info.nMax = layout.client_height - 1;
        info.nPage = static_cast<UINT>(room_height);
        info.nPos = scroll_;
        SetScrollInfo(main_, SB_VERT, &info, TRUE);
        set_client_size(main_, layout.client_width + scroll_bar, room_height);
    } else {
        set_client_size(main_, layout.client_width, layout.client_height);
    }

    RECT outer{};
    GetWindowRect(main_, &outer);
    const Rect now = {outer.left, outer.top, outer.right - outer.left, outer.bottom - outer.top};
    const Rect inside = kept_inside(now, work);
    if (inside.x != now.x || inside.y != now.y) {
        SetWindowPos(main_, nullptr, inside.x, inside.y, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void MainDesktop::place_controls() {
    const MainLayout& layout = placed_;
    const auto at = [this](Rect r) {
        r.y -= scroll_;
        return r;
    };
    Rect intro = scale(MAIN_INTRO.rect, dpi_);
    intro.width = layout.status_box.width;
    place(intro_, at(intro));
    for (size_t i = 0; i < 3; ++i) {
        const Section& section = sections_[i];
        const MainLayout::Section& where = layout.sections[i];
        place(section.label, at(where.label));
        place(section.toggle_button, at(where.toggle));
        place(section.source_button, at(where.source_button));
        set_window_text(section.toggle_button, where.toggle_text);
        if (where.collapsed) {
            ShowWindow(section.source_button, SW_HIDE);
            ShowWindow(section.list, SW_HIDE);
        } else {
            place(section.list, with_border(section.list, at(where.list)));
            ShowWindow(section.source_button, SW_SHOW);
            ShowWindow(section.list, SW_SHOW);
        }
    }
    place(status_box_, at(layout.status_box));
    place(settings_button_, at(layout.settings_button));
    place(bundle_button_, at(layout.bundle_button));
    place(send_button_, at(layout.send_button));
}

void MainDesktop::scroll_to(int position) {
    position = std::clamp(position, 0, scroll_range_);
    if (position == scroll_) return;
    scroll_ = position;
    SetScrollPos(main_, SB_VERT, scroll_, TRUE);
    place_controls();
    InvalidateRect(main_, nullptr, TRUE);
}

void MainDesktop::set_delivery_buttons_enabled(bool send, bool bundle) {
    EnableWindow(send_button_, send);
    EnableWindow(bundle_button_, bundle);
}

void MainDesktop::set_send_button_stops(bool stops) {
    set_window_text(send_button_, stops ? STOP_SENDING_CAPTION : MAIN_SEND_BUTTON.text);
}

bool MainDesktop::is_foreground() {
    return GetForegroundWindow() == main_;
}

bool MainDesktop::is_main_window_enabled() {
    return (GetWindowLongPtrW(main_, GWL_STYLE) & WS_DISABLED) == 0;
}

int MainDesktop::dpi() {
    return dpi_;
}

std::function<void()> MainDesktop::work_notice_poster() {
    // Owns only the handle and the id: a notice to a window that is gone is simply dropped.
    return [window = main_, id = work_notice_] {
        SendNotifyMessageW(window, NOTICE_MESSAGE, id, reinterpret_cast<LPARAM>(window));
    };
}

}  // namespace dalvento::win32
