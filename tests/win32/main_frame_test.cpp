// The main window built for real under Wine: its controls where the layout puts them, the lists
// filled, and the dispatcher's roads from window messages to the model.
#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "core/platform/platform.h"
#include "core/tracking/state.h"
#include "export_generator.h"
#include "main/layout.h"
#include "main/win32/main_desktop.h"
#include "main/win32/win32_ui.h"
#include "main/window_design.h"
#include "main_frame.h"
#include "support/test_support.h"
#include "window_probe.h"

namespace dalvento::win32 {
namespace {

using probe::client_size;
using probe::rect_in_parent;

std::string list_cell(HWND list, int row, int column) {
    wchar_t buffer[512] = {};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = buffer;
    item.cchTextMax = 512;
    SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return utf8(buffer);
}

int row_count(HWND list) {
    return static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
}

// An HDROP as the shell hands one over: a DROPFILES header and a double-null-ended path list.
HDROP make_drop(const std::vector<std::filesystem::path>& paths) {
    std::wstring list;
    for (const auto& path : paths)
        list += path.native() + L'\0';
    list += L'\0';
    const size_t bytes = sizeof(DROPFILES) + list.size() * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
    auto* header = static_cast<DROPFILES*>(GlobalLock(memory));
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    std::memcpy(reinterpret_cast<char*>(header) + sizeof(DROPFILES), list.data(),
                list.size() * sizeof(wchar_t));
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

TEST(MainFrame, BuildsEveryControlWhereTheLayoutPutsItAndFillsTheLists) {
    Frame frame;
    const int dpi = screen_dpi();
    HWND main = frame.desktop.window();
    // The ctest entries win32_screen_* run this on screens of a given size and DPI.
    if (const std::optional<std::string> expected = platform::get_env("DALVENTO_EXPECT_DPI")) {
        ASSERT_EQ(dpi, std::stoi(*expected));
    }
    if (dpi == 144) {
        EXPECT_EQ(list_column_widths(dpi), (std::array<int, 6>{247, 172, 172, 97, 322, 315}));
    }

    EXPECT_EQ(probe::shown_text(main), MAIN_WINDOW_TITLE);
    const LONG_PTR style = GetWindowLongPtrW(main, GWL_STYLE);
    EXPECT_TRUE(style & WS_CAPTION);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    // The layout of old where it fits the work area, else the same fitted into it.
    const Rect work = work_area(main);
    const Rect frame_size = frame_extra(TOP_LEVEL_STYLE, WS_EX_CONTROLPARENT, dpi);
    const MainLayout layout = main_layout({false, false, false}, dpi, work.width - frame_size.width,
                                          work.height - frame_size.height);
    if (work.height >= scale(700, dpi) + frame_size.height) {
        EXPECT_EQ(client_size(main), (Rect{0, 0, scale(940, dpi), scale(700, dpi)}));
        EXPECT_EQ(layout.status_box.y, scale(544, dpi));
    }
    EXPECT_EQ(client_size(main), (Rect{0, 0, layout.client_width, layout.client_height}));
    for (size_t i = 0; i < 3; ++i) {
        const auto kind = static_cast<SourceKind>(i);
        HWND list = frame.desktop.list(kind);
        EXPECT_EQ(
            rect_in_parent(frame.desktop.control(static_cast<ControlId>(ID_SOURCE_LAYERS + i))),
            layout.sections[i].source_button);
        EXPECT_EQ(
            rect_in_parent(frame.desktop.control(static_cast<ControlId>(ID_TOGGLE_LAYERS + i))),
            layout.sections[i].toggle);
        // The list's client area is the layout's; its border adds to it (a scroll bar, shown when
        // the sized columns are wider than the list, takes from it).
        const Rect outer = rect_in_parent(list);
        RECT framed = {0, 0, layout.sections[i].list.width, layout.sections[i].list.height};
        AdjustWindowRectEx(&framed, static_cast<DWORD>(GetWindowLongPtrW(list, GWL_STYLE)), FALSE,
                           static_cast<DWORD>(GetWindowLongPtrW(list, GWL_EXSTYLE)));
        EXPECT_EQ(outer, (Rect{layout.sections[i].list.x, layout.sections[i].list.y,
                               framed.right - framed.left, framed.bottom - framed.top}));

        const LONG_PTR list_style = GetWindowLongPtrW(list, GWL_STYLE);
        EXPECT_EQ(list_style & LVS_TYPEMASK, LVS_REPORT);
        EXPECT_TRUE(list_style & LVS_SHOWSELALWAYS);
        EXPECT_FALSE(list_style & LVS_NOCOLUMNHEADER);
        EXPECT_EQ(SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) &
                      (LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT | LVS_EX_CHECKBOXES),
                  LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
        // Status and Location are sized to what the list holds; an empty list keeps them.
        const std::array<int, 6> widths = list_column_widths(dpi);
        const int fixed = row_count(list) > 0 ? 4 : 6;
        for (int c = 0; c < 6; ++c) {
            wchar_t header[64] = {};
            LVCOLUMNW column{};
            column.mask = LVCF_TEXT;
            column.pszText = header;
            column.cchTextMax = 64;
            ASSERT_TRUE(SendMessageW(list, LVM_GETCOLUMNW, c, reinterpret_cast<LPARAM>(&column)));
            EXPECT_EQ(utf8(header), c == 0 ? FIRST_COLUMN_HEADERS[i] : LIST_COLUMNS[c].header);
            if (c < fixed) {
                EXPECT_EQ(SendMessageW(list, LVM_GETCOLUMNWIDTH, c, 0), widths[c]);
            }
        }
    }
    EXPECT_EQ(rect_in_parent(frame.desktop.control(ID_STATUS_BOX)), layout.status_box);
    EXPECT_EQ(rect_in_parent(frame.desktop.control(ID_SETTINGS)), layout.settings_button);
    EXPECT_EQ(rect_in_parent(frame.desktop.control(ID_BUNDLE)), layout.bundle_button);
    EXPECT_EQ(rect_in_parent(frame.desktop.control(ID_SEND)), layout.send_button);
    const LONG_PTR status_style =
        GetWindowLongPtrW(frame.desktop.control(ID_STATUS_BOX), GWL_STYLE);
    EXPECT_TRUE(status_style & ES_MULTILINE);
    EXPECT_TRUE(status_style & ES_READONLY);
    EXPECT_TRUE(status_style & WS_VSCROLL);
    EXPECT_FALSE(status_style & ES_AUTOHSCROLL);  // long lines wrap

    // Every control carries the default font.
    ASSERT_NE(default_font(), nullptr);
    EXPECT_EQ(
        reinterpret_cast<HFONT>(SendMessageW(frame.desktop.control(ID_SEND), WM_GETFONT, 0, 0)),
        default_font());

    // The rows come from the summary: the OWNER layer, the five tables, no other data yet.
    HWND layers = frame.desktop.list(SourceKind::layers);
    HWND tables = frame.desktop.list(SourceKind::tables);
    ASSERT_EQ(row_count(layers), 1);
    EXPECT_EQ(row_count(tables), 5);
    EXPECT_EQ(row_count(frame.desktop.list(SourceKind::other)), 0);
    EXPECT_NE(list_cell(layers, 0, 0).find("OWNER"), std::string::npos);
    EXPECT_NE(list_cell(tables, 0, 0).find("tblRE"), std::string::npos);
    EXPECT_FALSE(list_cell(tables, 0, 4).empty());  // status
    EXPECT_EQ(list_cell(tables, 0, 5), testing::text(frame.exports.tables_folder));
}

TEST(MainFrame, TogglesCollapseTheSectionsAndResizeTheWindow) {
    Frame frame;
    const int dpi = screen_dpi();
    HWND main = frame.desktop.window();
    for (const ControlId toggle : {ID_TOGGLE_LAYERS, ID_TOGGLE_TABLES, ID_TOGGLE_OTHER}) {
        SendMessageW(frame.desktop.control(toggle), BM_CLICK, 0, 0);
    }
    EXPECT_EQ(client_size(main), (Rect{0, 0, scale(940, dpi), scale(314, dpi)}));
    EXPECT_EQ(rect_in_parent(frame.desktop.control(ID_STATUS_BOX)).y, scale(158, dpi));
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(probe::shown_text(frame.desktop.control(static_cast<ControlId>(ID_TOGGLE_LAYERS + i))),
                  "Show");
        EXPECT_FALSE(IsWindowVisible(frame.desktop.list(static_cast<SourceKind>(i))));
        EXPECT_FALSE(
            IsWindowVisible(frame.desktop.control(static_cast<ControlId>(ID_SOURCE_LAYERS + i))));
    }

    SendMessageW(frame.desktop.control(ID_TOGGLE_TABLES), BM_CLICK, 0, 0);
    EXPECT_EQ(client_size(main), (Rect{0, 0, scale(940, dpi), scale(314 + 120 + 2, dpi)}));
    EXPECT_TRUE(IsWindowVisible(frame.desktop.list(SourceKind::tables)));
    EXPECT_EQ(probe::shown_text(frame.desktop.control(ID_TOGGLE_TABLES)), "Hide");
}

// The widest text of a column, as the list view itself measures it.
int widest_cell(HWND list, int column, bool with_header) {
    int widest = 0;
    for (int row = 0; row < row_count(list); ++row) {
        const std::wstring text = wide(list_cell(list, row, column));
        widest = std::max(widest,
                          static_cast<int>(SendMessageW(list, LVM_GETSTRINGWIDTHW, 0,
                                                        reinterpret_cast<LPARAM>(text.c_str()))));
    }
    if (with_header) {
        const std::wstring header = wide(LIST_COLUMNS[static_cast<size_t>(column)].header);
        widest = std::max(widest,
                          static_cast<int>(SendMessageW(list, LVM_GETSTRINGWIDTHW, 0,
                                                        reinterpret_cast<LPARAM>(header.c_str()))));
    }
    return widest;
}

// What the window shows at its DPI: every button inside the work area, text of the DPI's size,
// Status and Location as wide as their texts.
void expect_fits_at(const Frame& frame, int dpi) {
    SCOPED_TRACE(::testing::Message() << "at " << dpi << " dpi");
    HWND main = frame.desktop.window();
    const Rect work = work_area(main);
    EXPECT_TRUE(probe::lies_inside(probe::screen_rect(main), work))
        << probe::screen_rect(main).y << "+" << probe::screen_rect(main).height << " in "
        << work.height;
    // Where the window scrolls, a button below its bottom comes into sight at the end.
    const bool scrolls = GetWindowLongPtrW(main, GWL_STYLE) & WS_VSCROLL;
    for (const int scroll : {SB_TOP, SB_BOTTOM}) {
        if (scrolls) SendMessageW(main, WM_VSCROLL, scroll, 0);
        for (int id = ID_SETTINGS; id <= ID_SEND; ++id) {
            HWND button = frame.desktop.control(static_cast<ControlId>(id));
            if (!IsWindowVisible(button)) continue;
            const Rect in_client = rect_in_parent(button);
            const bool in_sight = probe::lies_inside(in_client, client_size(main)) &&
                                  probe::lies_inside(probe::screen_rect(button), work);
            if (scroll == SB_BOTTOM && (id == ID_BUNDLE || id == ID_SEND || id == ID_SETTINGS)) {
                EXPECT_TRUE(in_sight) << probe::shown_text(button);
            }
            if (!scrolls) {
                EXPECT_TRUE(in_sight) << probe::shown_text(button);
            }
        }
    }
    if (scrolls) SendMessageW(main, WM_VSCROLL, SB_TOP, 0);
    // The system's message font at the window's DPI: one and a half times as tall at 144 DPI as
    // at 96.
    const auto font =
        reinterpret_cast<HFONT>(SendMessageW(frame.desktop.control(ID_BUNDLE), WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    LOGFONTW face{};
    GetObjectW(font, sizeof face, &face);
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ASSERT_TRUE(SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0,
                                           static_cast<UINT>(dpi)));
    EXPECT_EQ(face.lfHeight, metrics.lfMessageFont.lfHeight);
    const int at_96 = probe::text_height(default_font(96));
    EXPECT_NEAR(probe::text_height(font), at_96 * dpi / 96.0, at_96 * 0.15);
    for (const HWND child : {frame.desktop.intro(), frame.desktop.list(SourceKind::tables),
                             frame.desktop.control(ID_STATUS_BOX)}) {
        EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0)), font);
    }
    for (size_t i = 0; i < 3; ++i) {
        HWND list = frame.desktop.list(static_cast<SourceKind>(i));
        if (row_count(list) == 0) continue;
        EXPECT_GE(SendMessageW(list, LVM_GETCOLUMNWIDTH, 4, 0), widest_cell(list, 4, false)) << i;
        EXPECT_GE(SendMessageW(list, LVM_GETCOLUMNWIDTH, 5, 0), widest_cell(list, 5, true)) << i;
        EXPECT_EQ(SendMessageW(list, LVM_GETCOLUMNWIDTH, 0, 0), list_column_widths(dpi)[0]) << i;
    }
}

// The tooltip the list gives for a row, with the pointer over a column.
std::string info_tip(const Frame& frame, HWND list, int row, int column) {
    RECT cell{};
    cell.top = column;
    cell.left = LVIR_BOUNDS;
    SendMessageW(list, LVM_GETSUBITEMRECT, static_cast<WPARAM>(row),
                 reinterpret_cast<LPARAM>(&cell));
    RECT client{};
    GetClientRect(list, &client);
    POINT pointer = {(std::max(cell.left, client.left) + std::min(cell.right, client.right)) / 2,
                     (cell.top + cell.bottom) / 2};
    ClientToScreen(list, &pointer);
    SetCursorPos(pointer.x, pointer.y);
    wchar_t text[1024] = L"stale";
    NMLVGETINFOTIPW tip{};
    tip.hdr.hwndFrom = list;
    tip.hdr.idFrom = static_cast<UINT_PTR>(GetDlgCtrlID(list));
    tip.hdr.code = LVN_GETINFOTIPW;
    tip.pszText = text;
    tip.cchTextMax = 1024;
    tip.iItem = row;
    SendMessageW(frame.desktop.window(), WM_NOTIFY, tip.hdr.idFrom, reinterpret_cast<LPARAM>(&tip));
    return utf8(text);
}

TEST(MainFrame, FitsItsScreenAndFollowsTheDpiWithItsTextAndColumns) {
    // Long folder names: the Location column grows past the list's width.
    Frame frame(true, std::filesystem::path(std::string(60, 'd')) / std::string(60, 'e'));
    const int dpi = screen_dpi();
    expect_fits_at(frame, dpi);

    HWND tables = frame.desktop.list(SourceKind::tables);
    ASSERT_GT(row_count(tables), 0);
    EXPECT_TRUE(SendMessageW(tables, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & LVS_EX_INFOTIP);
    // The cut Location shows whole as the tip; a cell shown whole gives none.
    EXPECT_EQ(info_tip(frame, tables, 0, 5), testing::text(frame.exports.tables_folder));
    EXPECT_EQ(info_tip(frame, tables, 0, 3), "");

    if (const std::optional<std::string> folder = platform::get_env("DALVENTO_SCREENSHOTS")) {
        EXPECT_TRUE(probe::save_screenshot(std::filesystem::path(*folder) / "main_window.png"));
    }

    // Moved to a monitor of another scale: the window takes the suggested place, then everything
    // is laid out again at the new DPI. Wine has one DPI for all monitors, so the message is sent
    // here as Windows sends it.
    HWND main = frame.desktop.window();
    // At 192 DPI a 768-pixel screen is too short even for one row a list: the window scrolls.
    for (const int moved_to : {dpi == 96 ? 120 : 96, 192, dpi}) {
        const Rect before = probe::screen_rect(main);
        RECT suggested = {40, 30, 40 + MulDiv(before.width, moved_to, dpi),
                          30 + MulDiv(before.height, moved_to, dpi)};
        SendMessageW(main, WM_DPICHANGED, MAKEWPARAM(moved_to, moved_to),
                     reinterpret_cast<LPARAM>(&suggested));
        EXPECT_EQ(frame.desktop.dpi(), moved_to);
        // Moved left only as far as the wider window needs to stay on the screen.
        EXPECT_LE(probe::screen_rect(main).x, 40);
        const Rect work = work_area(main);
        const Rect frame_size = frame_extra(TOP_LEVEL_STYLE, WS_EX_CONTROLPARENT, moved_to);
        const MainLayout layout =
            main_layout({false, false, false}, moved_to, work.width - frame_size.width,
                        work.height - frame_size.height);
        if (layout.client_height <= work.height - frame_size.height) {
            EXPECT_EQ(client_size(main), (Rect{0, 0, layout.client_width, layout.client_height}));
            EXPECT_EQ(rect_in_parent(frame.desktop.control(ID_SEND)), layout.send_button);
            EXPECT_EQ(rect_in_parent(frame.desktop.control(ID_SOURCE_OTHER)),
                      layout.sections[2].source_button);
        } else {
            EXPECT_TRUE(GetWindowLongPtrW(main, GWL_STYLE) & WS_VSCROLL);
            EXPECT_EQ(client_size(main).height, work.height - frame_size.height);
        }
        expect_fits_at(frame, moved_to);
        if (const std::optional<std::string> folder = platform::get_env("DALVENTO_SCREENSHOTS")) {
            probe::save_screenshot(
                std::filesystem::path(*folder) /
                ("main_window_moved_to_" + std::to_string(moved_to) + "dpi.png"));
        }
    }
}

TEST(MainFrame, TheStatusBoxKeepsItsLastLineInSight) {
    Frame frame;
    RenderedSummary summary;
    for (int i = 1; i <= 9; ++i)
        summary.status_text += "line " + std::to_string(i) + "\r\n";
    summary.status_text += "Received by Dalvento at 2026-03-06 10:15.";
    frame.desktop.show_summary(summary);
    HWND status = frame.desktop.control(ID_STATUS_BOX);
    EXPECT_EQ(probe::shown_text(status), summary.status_text);
    const LRESULT lines = SendMessageW(status, EM_GETLINECOUNT, 0, 0);
    const LRESULT first = SendMessageW(status, EM_GETFIRSTVISIBLELINE, 0, 0);
    EXPECT_GT(first, 0);
    // The last line sits inside the box.
    const LRESULT last_char = SendMessageW(status, EM_LINEINDEX, lines - 1, 0);
    const LRESULT where = SendMessageW(status, EM_POSFROMCHAR, last_char, 0);
    RECT inside{};
    SendMessageW(status, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&inside));
    EXPECT_LT(static_cast<short>(HIWORD(where)), inside.bottom);
    EXPECT_GE(static_cast<short>(HIWORD(where)), inside.top);
}

TEST(MainFrame, DropsOnTheListsAddFoldersOfThatKind) {
    Frame frame(false);
    ASSERT_TRUE(frame.model.state.layers_dirs.empty());

    SendMessageW(frame.desktop.list(SourceKind::layers), WM_DROPFILES,
                 reinterpret_cast<WPARAM>(make_drop({frame.exports.layers_folder})), 0);
    EXPECT_EQ(frame.model.state.layers_dirs,
              std::vector<std::string>{testing::text(frame.exports.layers_folder)});
    EXPECT_EQ(row_count(frame.desktop.list(SourceKind::layers)), 1);

    // Plain files on the other list add the folder that holds the first one.
    const std::filesystem::path first_file =
        std::filesystem::directory_iterator(frame.exports.other_folder)->path();
    SendMessageW(frame.desktop.list(SourceKind::other), WM_DROPFILES,
                 reinterpret_cast<WPARAM>(make_drop({first_file})), 0);
    EXPECT_EQ(frame.model.state.other_dirs,
              std::vector<std::string>{testing::text(frame.exports.other_folder)});
    EXPECT_EQ(row_count(frame.desktop.list(SourceKind::other)), 2);
    EXPECT_TRUE(frame.model.state.tables_dirs.empty());
}

TEST(MainFrame, NoticesReachTheModelOnTheInterfaceThread) {
    Frame frame;
    HWND main = frame.desktop.window();
    HWND tables = frame.desktop.list(SourceKind::tables);
    ASSERT_EQ(row_count(tables), 5);

    // The refresh notice renders only while the window is enabled. Without their folder the
    // tables are still listed, as missing.
    const std::string found_status = list_cell(tables, 0, 4);
    frame.model.state.tables_dirs.clear();
    EnableWindow(main, FALSE);
    std::thread([&] {
        SendNotifyMessageW(main, NOTICE_MESSAGE, frame.desktop.refresh_notice_id(),
                           reinterpret_cast<LPARAM>(main));
    }).join();
    pump_until([] { return false; }, 200);
    EXPECT_EQ(list_cell(tables, 0, 4), found_status);
    EnableWindow(main, TRUE);

    // Activation fires it at once, before the activation message returns.
    SendMessageW(main, WM_ACTIVATE, WA_ACTIVE, 0);
    EXPECT_NE(list_cell(tables, 0, 4), found_status);
    EXPECT_EQ(list_cell(tables, 0, 5), "");

    // The check timer's tick runs the periodic check.
    EXPECT_TRUE(frame.model.status_line.empty());
    SendMessageW(main, WM_TIMER, CHECK_TIMER_ID, 0);
    EXPECT_EQ(frame.model.status_line.rfind("Checked at ", 0), 0u) << frame.model.status_line;

    // The work notice, posted by the send from its own thread, shows the progress.
    RunningSend running;
    running.progress = std::make_shared<SendProgress>(nullptr);
    running.progress->report(SendStatus{SendStage::upload, 50, 200});
    frame.model.send_job = std::move(running);
    std::thread(frame.desktop.work_notice_poster()).join();
    HWND status = frame.desktop.control(ID_STATUS_BOX);
    EXPECT_TRUE(pump_until([&] {
        return probe::shown_text(status).find("Sending to Dalvento\xE2\x80\xA6 25%") != std::string::npos;
    })) << probe::shown_text(status);

    // While a send runs the send button stops it.
    HWND send = frame.desktop.control(ID_SEND);
    frame.desktop.set_send_button_stops(true);
    EXPECT_EQ(probe::shown_text(send), "Stop sending");
    frame.desktop.set_send_button_stops(false);
    EXPECT_EQ(probe::shown_text(send), "Send to Dalvento...");
}

TEST(MainFrame, TheEmbeddedManifestAsksForCommonControls6PerMonitorDpiAndTheInvokersRights) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(found, nullptr);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(nullptr, found)));
    const std::string manifest(bytes, SizeofResource(nullptr, found));
    for (const char* needed :
         {"name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
          "<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">"
          "PerMonitorV2",
          ">true/pm</dpiAware>", "level=\"asInvoker\""}) {
        EXPECT_NE(manifest.find(needed), std::string::npos) << needed;
    }

    // The manifest took effect: only the version 6 edit control keeps a cue.
    ASSERT_TRUE(register_window_classes());
    HWND owner = CreateWindowExW(0, MAIN_WINDOW_CLASS, L"cue", TOP_LEVEL_STYLE, 0, 0, 100, 100,
                                 nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    HWND edit = create_control(owner, WC_EDITW, "", WS_VISIBLE, 0, {0, 0, 80, 20}, 100);
    set_cue(edit, "dlvt_\xE2\x80\xA6");
    wchar_t cue[32] = {};
    EXPECT_TRUE(SendMessageW(edit, EM_GETCUEBANNER, reinterpret_cast<WPARAM>(cue), 32));
    EXPECT_EQ(utf8(cue), "dlvt_\xE2\x80\xA6");
    DestroyWindow(owner);
}

TEST(MainFrame, ModalLoopsEndInnermostFirst) {
    ASSERT_TRUE(register_window_classes());
    static std::vector<std::string> steps;
    steps.clear();
    HWND owner = CreateWindowExW(0, MAIN_WINDOW_CLASS, L"loops", TOP_LEVEL_STYLE, 0, 0, 100, 100,
                                 nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(owner, nullptr);
    SetTimer(owner, 7, 10, [](HWND window, UINT, UINT_PTR id, DWORD) {
        KillTimer(window, id);
        steps.push_back("inner loop");
        SetTimer(window, 8, 10, [](HWND w, UINT, UINT_PTR i, DWORD) {
            KillTimer(w, i);
            end_message_loop();
        });
        run_message_loop();
        steps.push_back("inner ended");
        SetTimer(window, 9, 30, [](HWND w, UINT, UINT_PTR i, DWORD) {
            KillTimer(w, i);
            steps.push_back("outer still running");
            end_message_loop();
        });
    });
    run_message_loop();
    DestroyWindow(owner);
    EXPECT_EQ(steps,
              (std::vector<std::string>{"inner loop", "inner ended", "outer still running"}));
}

TEST(MainFrame, CloseSavesTheStateAndEndsTheLoop) {
    Frame frame;
    // Not while a modal window is open over it: its quit would end the modal window's loop.
    EnableWindow(frame.desktop.window(), FALSE);
    SendMessageW(frame.desktop.window(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(frame.model.quit);
    EnableWindow(frame.desktop.window(), TRUE);

    frame.model.state.sender = "Closing Clerk";
    PostMessageW(frame.desktop.window(), WM_CLOSE, 0, 0);
    run_message_loop();
    EXPECT_TRUE(frame.model.quit);
    EXPECT_TRUE(IsWindow(frame.desktop.window()));  // the program destroys it after the loop
    EXPECT_EQ(testing::saved_state().sender, "Closing Clerk");
}

TEST(MainFrame, CloseDuringASendAsksStillSendingAndNoKeepsTheWindow) {
    Frame frame;
    RunningSend running;
    running.progress = std::make_shared<SendProgress>(nullptr);
    frame.model.send_job = std::move(running);
    static HWND main = nullptr;
    static UINT answer = IDNO;
    static std::string text;
    main = frame.desktop.window();
    for (const UINT given : {IDNO, IDYES}) {
        answer = given;
        text.clear();
        SetTimer(main, 12, 50, [](HWND window, UINT, UINT_PTR id, DWORD) {
            HWND box = FindWindowW(L"#32770", L"Still sending");
            if (!box) return;
            KillTimer(window, id);
            EXPECT_EQ(GetWindow(box, GW_OWNER), main);
            text = probe::shown_text(GetDlgItem(box, 0xFFFF));
            std::erase(text, '\r');  // however the box breaks its lines
            PostMessageW(box, WM_COMMAND, answer, 0);
        });
        PostMessageW(main, WM_CLOSE, 0, 0);
        if (given == IDNO) {
            EXPECT_TRUE(pump_until([] { return !text.empty(); }, 10000));
            pump_until([] { return false; }, 200);
            EXPECT_FALSE(frame.model.quit);
            EXPECT_TRUE(IsWindowVisible(main));
        } else {
            run_message_loop();  // the close ends it
            EXPECT_TRUE(frame.model.quit);
        }
        EXPECT_EQ(text,
                  "A delivery is being sent to Dalvento. If you close now the upload stops; the "
                  "zip stays in the outbox and the next Send starts it again.\n\nClose "
                  "anyway?");
    }
}

}  // namespace
}  // namespace dalvento::win32
