// The main window's calls to the shell, made for real under Wine: the folder picker, explorer,
// message boxes and the clipboard.
#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "main/layout.h"
#include "main/win32/main_desktop.h"
#include "main/win32/win32_ui.h"
#include "main/window_design.h"
#include "main_frame.h"
#include "window_probe.h"

namespace dalvento::win32 {
namespace {

TEST(MainFrame, PickedFoldersAreTidied) {
    EXPECT_EQ(picked_folder(L"Z:\\tmp\\out\\.").native(), L"Z:\\tmp\\out");
    EXPECT_EQ(picked_folder(L"Z:\\tmp\\out\\").native(), L"Z:\\tmp\\out");
    EXPECT_EQ(picked_folder(L"E:\\").native(), L"E:\\");
    EXPECT_EQ(picked_folder(L"\\\\server\\share\\deliveries").native(),
              L"\\\\server\\share\\deliveries");
}

// The shell's folder dialog, answered by typing a folder's path and pressing OK: it gives that
// folder and leaves the current folder where it was (left on a USB stick it keeps the stick busy).
// (Wine's dialog leaves the current folder alone here even without being told to.)
TEST(MainFrame, TheFolderDialogGivesTheTypedFolderAndLeavesTheCurrentFolder) {
    Frame frame;
    const std::filesystem::path before = std::filesystem::current_path();
    static std::wstring typed;
    static int ticks = 0;
    typed = frame.exports.other_folder.native();
    ticks = 0;
    SetTimer(frame.desktop.window(), 13, 100, [](HWND window, UINT, UINT_PTR id, DWORD) {
        HWND dialog = FindWindowW(nullptr, wide(folder_dialog_title(FolderDialog::other)).c_str());
        if (!dialog || !IsWindowVisible(dialog)) {
            if (++ticks > 300) KillTimer(window, id);
            return;
        }
        if (++ticks > 60) {  // never answered: give up rather than hang
            KillTimer(window, id);
            PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
            return;
        }
        std::vector<HWND> edits;
        EnumChildWindows(
            dialog,
            [](HWND child, LPARAM l) -> BOOL {
                wchar_t name[16] = {};
                GetClassNameW(child, name, 16);
                if (lstrcmpiW(name, L"Edit") == 0 && IsWindowVisible(child)) {
                    reinterpret_cast<std::vector<HWND>*>(l)->push_back(child);
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&edits));
        if (edits.empty()) return;
        SetWindowTextW(edits[0], typed.c_str());
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    });
    const std::optional<std::filesystem::path> picked =
        frame.desktop.pick_folder(FolderDialog::other, frame.exports.tables_folder);
    KillTimer(frame.desktop.window(), 13);
    ASSERT_TRUE(picked);
    EXPECT_TRUE(std::filesystem::equivalent(*picked, frame.exports.other_folder));
    EXPECT_EQ(std::filesystem::current_path(), before);
}

TEST(MainFrame, ExplorerComesFromTheWindowsFolder) {
    wchar_t folder[MAX_PATH] = {};
    ASSERT_GT(GetWindowsDirectoryW(folder, MAX_PATH), 0u);
    const std::wstring program = explorer_program();
    EXPECT_EQ(program, std::wstring(folder) + L"\\explorer.exe");
    EXPECT_TRUE(std::filesystem::exists(program));
    EXPECT_EQ(explorer_command_line(program, "/select,Z:\\USB stick\\q.zip"),
              program + L" \"/select,Z:\\USB stick\\q.zip\"");
}

TEST(MainFrame, MessageBoxesAreOwnedAndModalAndTheClipboardHoldsUnicode) {
    Frame frame;
    static MainDesktop* desktop = nullptr;
    static bool disabled_while_open = false;
    desktop = &frame.desktop;
    SetTimer(frame.desktop.window(), 11, 50, [](HWND window, UINT, UINT_PTR id, DWORD) {
        HWND box = FindWindowW(L"#32770", L"Zip ready");
        if (!box) return;
        KillTimer(window, id);
        disabled_while_open = !desktop->is_main_window_enabled();
        EXPECT_EQ(GetWindow(box, GW_OWNER), window);
        PostMessageW(box, WM_COMMAND, IDYES, 0);
    });
    EXPECT_EQ(frame.desktop.message_box("Zip ready", "Show it in its folder?",
                                        BoxStyle::information_question),
              BoxAnswer::yes);
    EXPECT_TRUE(disabled_while_open);
    EXPECT_TRUE(frame.desktop.is_main_window_enabled());

    const std::string fingerprint = "0123abcd \xC3\xBC \xC2\xB7 done";
    EXPECT_TRUE(frame.desktop.set_clipboard(fingerprint));
    const std::string read_back = probe::clipboard_text();
    EXPECT_EQ(read_back, fingerprint);

    // Held open by another program: the reason comes back, and nothing is claimed.
    std::atomic<int> step{0};
    std::thread holder([&] {
        HWND other = CreateWindowExW(0, L"STATIC", L"holder", 0, 0, 0, 1, 1, HWND_MESSAGE, nullptr,
                                     nullptr, nullptr);
        if (OpenClipboard(other)) {
            step = 1;
            while (step != 2)
                Sleep(10);
            CloseClipboard();
        } else {
            step = 3;
        }
        DestroyWindow(other);
    });
    while (step == 0)
        Sleep(10);
    if (step == 1) {
        const auto refused = frame.desktop.set_clipboard("not this");
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error(), "another program is using the clipboard");
        step = 2;
    }
    holder.join();
    EXPECT_EQ(probe::clipboard_text(), fingerprint);
}

}  // namespace
}  // namespace dalvento::win32
