#include "main/win32/main_desktop.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "main/access_keys.h"
#include "main/layout.h"
#include "main/win32/accessibility.h"
#include "main/win32/dialogs.h"
#include "main/win32/source_list.h"
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
// A tab stop, so that the keyboard can reach it and scroll it, and a screen reader read it.
constexpr DWORD STATUS_STYLE =
    WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL;

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

    // Made in reading order, which is the order of Tab and of a screen reader.
    intro_ = create_control(main_, WC_STATICW, MAIN_INTRO.text, LABEL_STYLE, 0, MAIN_INTRO.rect, 0);
    bool built = intro_ != nullptr;
    for (size_t i = 0; i < 3; ++i) {
        built = sections_[i].create(main_, static_cast<SourceKind>(i), TOGGLE_IDS[i],
                                    SOURCE_IDS[i], LIST_IDS[i]) &&
                built;
    }
    status_box_ = create_control(main_, WC_EDITW, MAIN_STATUS_BOX.text, STATUS_STYLE,
                                 WS_EX_CLIENTEDGE, MAIN_STATUS_BOX.rect, ID_STATUS_BOX);
    const auto button = [this](const ControlSpec& design, int id) {
        return create_control(main_, WC_BUTTONW, with_access_key(design.text, design.keys),
                              BUTTON_STYLE, 0, design.rect, id);
    };
    settings_button_ = button(MAIN_SETTINGS_BUTTON, ID_SETTINGS);
    refresh_notice_ = next_notice_id();
    work_notice_ = next_notice_id();
    bundle_button_ = button(MAIN_BUNDLE_BUTTON, ID_BUNDLE);
    send_button_ = button(MAIN_SEND_BUTTON, ID_SEND);
    if (status_box_) {
        pass_dialog_keys(status_box_);
        set_accessible_name(status_box_, MAIN_STATUS_BOX_NAME);
        mark_polite_live_region(status_box_);
    }
    show_focus_always(main_);
    return built && status_box_ && settings_button_ && bundle_button_ && send_button_;
}

void MainDesktop::prepare_lists() {
    for (SourceSection& section : sections_)
        section.prepare(geometry_dpi());
    DragAcceptFiles(main_, TRUE);
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
    for (SourceSection& section : sections_)
        section.resize_columns(geometry_dpi());
    if (model_) relayout(*model_);
    InvalidateRect(main_, nullptr, TRUE);
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
            const int line = scale(20, geometry_dpi());
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
                scroll_to(scroll_ - GET_WHEEL_DELTA_WPARAM(w) * scale(40, geometry_dpi()) /
                                        WHEEL_DELTA);
                return 0;
            }
            break;
        case WM_DPICHANGED:
            dpi_changed(LOWORD(w), reinterpret_cast<const RECT*>(l));
            return 0;
        case WM_SETTINGCHANGE:
            if (w == SPI_SETWORKAREA) relayout(model);
            if (w == SPI_SETNONCLIENTMETRICS) {
                // "Make text bigger": new fonts, and every control grows with them.
                dpi_changed(dpi_, nullptr);
            }
            break;
        case WM_DISPLAYCHANGE:
            relayout(model);
            break;
        case WM_NOTIFY:
            if (reinterpret_cast<const NMHDR*>(l)->code == LVN_GETINFOTIPW) {
                fill_info_tip(*reinterpret_cast<NMLVGETINFOTIPW*>(l), geometry_dpi());
                return 0;
            }
            break;
        case WM_ACTIVATE:
            if (LOWORD(w) != WA_INACTIVE) {
                SendNotifyMessageW(main_, NOTICE_MESSAGE, refresh_notice_,
                                   reinterpret_cast<LPARAM>(main_));
            }
            // The window itself takes no keys: the focus goes back to the control that had it.
            keep_dialog_focus(main_, message, w, l, focus_);
            return 0;
        case WM_SETFOCUS:
        case WM_NEXTDLGCTL:
            keep_dialog_focus(main_, message, w, l, focus_);
            return 0;
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
    if (target == sections_[0].list()) where = DropTarget::layers_list;
    if (target == sections_[1].list()) where = DropTarget::tables_list;
    if (target == sections_[2].list()) where = DropTarget::other_list;
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
        sections_[i].show(summary.headlines[i], summary.source_button_captions[i], summary.rows[i],
                          geometry_dpi());
    }
    show_status(summary.status_text);
    if (summary.send_enabled) EnableWindow(send_button_, *summary.send_enabled);
    if (!focus_) {
        // The first time: on the most likely next action.
        focus_ = summary.delivery_ready ? send_button_ : sections_[0].source_button();
        if (GetActiveWindow() == main_) SetFocus(focus_);
    }
}

void MainDesktop::show_status(const std::string& status_text) {
    // The newest lines (the check, the send) come last: keep them in sight.
    show_text_to_end(status_box_, status_text);
}

void MainDesktop::announce_status(const std::string& line) {
    announce(status_box_, line);
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
        layout = main_layout(collapsed, geometry_dpi(), room_width, room_height);
    }
    const int scroll_bar = GetSystemMetricsForDpi(SM_CXVSCROLL, static_cast<UINT>(dpi_));
    const bool scrolls = layout.client_height > room_height;
    if (scrolls) {
        layout = main_layout(collapsed, geometry_dpi(), room_width - scroll_bar, room_height);
    }
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
    Rect intro = scale(MAIN_INTRO.rect, geometry_dpi());
    intro.width = layout.status_box.width;
    place_control(intro_, at(intro));
    for (size_t i = 0; i < 3; ++i)
        sections_[i].place(layout.sections[i], scroll_);
    place_control(status_box_, at(layout.status_box));
    place_control(settings_button_, at(layout.settings_button));
    place_control(bundle_button_, at(layout.bundle_button));
    place_control(send_button_, at(layout.send_button));
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
    set_window_text(send_button_, with_access_key(stops ? STOP_SENDING_CAPTION : MAIN_SEND_BUTTON.text,
                                                  MAIN_SEND_BUTTON.keys));
}

bool MainDesktop::is_foreground() {
    return GetForegroundWindow() == main_;
}

bool MainDesktop::is_main_window_enabled() {
    return (GetWindowLongPtrW(main_, GWL_STYLE) & WS_DISABLED) == 0;
}

int MainDesktop::dpi() {
    return geometry_dpi();
}

int MainDesktop::geometry_dpi() const {
    return layout_dpi(dpi_);
}

std::function<void()> MainDesktop::work_notice_poster() {
    // Owns only the handle and the id: a notice to a window that is gone is simply dropped.
    return [window = main_, id = work_notice_] {
        SendNotifyMessageW(window, NOTICE_MESSAGE, id, reinterpret_cast<LPARAM>(window));
    };
}

}  // namespace dalvento::win32
