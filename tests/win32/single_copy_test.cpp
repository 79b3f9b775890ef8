// The program itself started: twice on one state file, where the second start shows the first
// copy's window and ends, saving nothing; and on a state file another program holds.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/platform/platform.h"
#include "core/tracking/state.h"
#include "core/tracking/state_file.h"
#include "main/win32/main_desktop.h"
#include "main/win32/single_instance.h"
#include "main/win32/win32_ui.h"
#include "support/test_support.h"

namespace dalvento::win32 {
namespace {

// The program's path as Wine's Z: drive names the Linux one.
std::wstring program_path() {
    std::wstring path = wide(DALVENTO_PROGRAM);
    if (!path.empty() && path[0] == L'/') {
        for (wchar_t& c : path) {
            if (c == L'/') c = L'\\';
        }
        path = L"Z:" + path;
    }
    return path;
}

struct Started {
    PROCESS_INFORMATION process{};
    ~Started() {
        if (process.hProcess) {
            if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process.hProcess, 9);
            }
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
    }
};

bool start(Started& started) {
    std::wstring command_line = L"\"" + program_path() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    return CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &started.process);
}

// A top-level main window of the process, if it has one.
HWND main_window_of(DWORD process_id) {
    struct Search {
        DWORD process_id;
        HWND found = nullptr;
    } search{process_id};
    EnumWindows(
        [](HWND window, LPARAM l) -> BOOL {
            auto* s = reinterpret_cast<Search*>(l);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            wchar_t window_class[64] = {};
            GetClassNameW(window, window_class, 64);
            if (owner != s->process_id || lstrcmpW(window_class, MAIN_WINDOW_CLASS) != 0) {
                return TRUE;
            }
            s->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool wait_for(const std::function<bool()>& done, DWORD milliseconds) {
    const ULONGLONG end = GetTickCount64() + milliseconds;
    while (!done()) {
        if (GetTickCount64() > end) return false;
        Sleep(50);
    }
    return true;
}

// The program's exit code once it has ended; STILL_ACTIVE when it goes on for a minute.
DWORD exit_code(const Started& started) {
    DWORD status = STILL_ACTIVE;
    if (WaitForSingleObject(started.process.hProcess, 60000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(started.process.hProcess, &status);
    }
    return status;
}

FILETIME written(const std::filesystem::path& file) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

TEST(SingleCopy, ASecondStartShowsTheFirstAndSavesNothing) {
    testing::IsolatedEnvironment env;  // inherited by both copies
    State state;
    state.sender = "First Copy";
    state.sent_hash["OWNER"] = std::string(64, 'a');
    state.last_sent_at = "2026-03-01 10:00";
    ASSERT_TRUE(StateFile().save(state));
    const std::wstring name = instance_name(state_file_path());

    Started first;
    ASSERT_TRUE(start(first));
    HWND main = nullptr;
    ASSERT_TRUE(wait_for([&] { return (main = find_instance_window(name)) != nullptr; }, 120000));
    EXPECT_EQ(main, main_window_of(first.process.dwProcessId));
    // A modal window open in the first copy keeps its refreshes (and their saves) quiet, so that
    // any write to the state file while the second runs is the second's.
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(ID_SETTINGS, BN_CLICKED), 0);
    ASSERT_TRUE(wait_for([&] { return !IsWindowEnabled(main); }, 30000));
    HWND settings = GetLastActivePopup(main);
    ASSERT_NE(settings, main);
    Sleep(500);
    const std::string saved_text = testing::read_file(state_file_path());
    const FILETIME saved_at = written(state_file_path());

    Started second;
    ASSERT_TRUE(start(second));
    bool second_window = false;
    const ULONGLONG give_up = GetTickCount64() + 120000;
    while (WaitForSingleObject(second.process.hProcess, 50) == WAIT_TIMEOUT) {
        second_window = second_window || main_window_of(second.process.dwProcessId);
        ASSERT_LT(GetTickCount64(), give_up) << "the second copy did not end";
    }
    DWORD status = 1;
    GetExitCodeProcess(second.process.hProcess, &status);
    EXPECT_EQ(status, 0u);
    EXPECT_FALSE(second_window);
    EXPECT_EQ(testing::read_file(state_file_path()), saved_text);
    const FILETIME now_at = written(state_file_path());
    EXPECT_EQ(CompareFileTime(&saved_at, &now_at), 0);
    // The dialog open over the first copy's window is what came to the front.
    EXPECT_EQ(GetForegroundWindow(), settings);

    // The first copy goes on as it was, and its state is what it leaves.
    PostMessageW(settings, WM_CLOSE, 0, 0);
    ASSERT_TRUE(wait_for([&] { return IsWindowEnabled(main) != FALSE; }, 30000));
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(exit_code(first), 0u);
    const State left = testing::saved_state();
    EXPECT_EQ(left.sender, "First Copy");
    EXPECT_EQ(left.sent_hash, state.sent_hash);
    EXPECT_EQ(left.last_sent_at, state.last_sent_at);
}

TEST(ProgramStart, AStateFileHeldByAnotherProgramIsWaitedForAndNeverSavedOver) {
    testing::IsolatedEnvironment env;  // inherited by the program
    State state;
    state.sender = "Office Clerk";
    state.layers_dirs = {"C:\\exports\\map"};
    state.sent_hash["OWNER"] = std::string(64, 'a');
    ASSERT_TRUE(StateFile().save(state));
    const std::filesystem::path path = state_file_path();
    const std::string saved_text = testing::read_file(path);
    // This process holds the file open without sharing, as a backup or a virus scan would.
    const auto hold = [&] {
        return CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    };

    // Held for longer than the program waits: it says so, and ends without writing.
    HANDLE held = hold();
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    Started stopped;
    ASSERT_TRUE(start(stopped));
    HWND box = nullptr;
    ASSERT_TRUE(wait_for([&] { return (box = FindWindowW(L"#32770", L"Couldn't read settings")); },
                         120000));
    const std::string said = window_text(GetDlgItem(box, 0xFFFF));
    EXPECT_TRUE(
        said.starts_with("Dalvento couldn't read its settings file " + testing::text(path) + ": "))
        << said;
    EXPECT_TRUE(said.ends_with(
        " (os error 32).\n\nClose any program that may be holding it (a backup or antivirus "
        "scan) and start Dalvento again. Nothing was changed."))
        << said;
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(exit_code(stopped), 1u);
    CloseHandle(held);
    EXPECT_EQ(testing::read_file(path), saved_text);
    EXPECT_FALSE(std::filesystem::exists(path.parent_path() / "state.json.unreadable"));
    EXPECT_FALSE(std::filesystem::exists(path.parent_path() / "state.json.tmp"));

    // Let go while the program is still trying: it starts on the office's settings.
    held = hold();
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    Started waited;
    ASSERT_TRUE(start(waited));
    HWND main = nullptr;
    ASSERT_TRUE(
        wait_for([&] { return (main = main_window_of(waited.process.dwProcessId)); }, 120000));
    Sleep(800);
    CloseHandle(held);
    ASSERT_TRUE(wait_for([&] { return IsWindowEnabled(main) && IsWindowVisible(main); }, 30000));
    EXPECT_EQ(FindWindowW(L"#32770", L"Couldn't read settings"), nullptr);
    PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(exit_code(waited), 0u);
    const State left = testing::saved_state();
    EXPECT_EQ(left.sender, "Office Clerk");
    EXPECT_EQ(left.layers_dirs, state.layers_dirs);
    EXPECT_EQ(left.sent_hash, state.sent_hash);
}

TEST(SingleCopy, TheNameFollowsTheStateFile) {
    EXPECT_EQ(instance_name(L"C:\\Users\\pat\\AppData\\Roaming\\dalvento\\state.json"),
              instance_name(L"c:\\users\\PAT\\appdata\\roaming\\Dalvento\\STATE.json"));
    EXPECT_NE(instance_name(L"C:\\Users\\pat\\AppData\\Roaming\\dalvento\\state.json"),
              instance_name(L"D:\\portable\\dalvento\\state.json"));
    EXPECT_EQ(instance_name(L"C:\\x").rfind(L"Local\\Dalvento-", 0), 0u);
}

}  // namespace
}  // namespace dalvento::win32
