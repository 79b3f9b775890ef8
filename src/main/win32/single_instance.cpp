#include "main/win32/single_instance.h"

#include <lmcons.h>

#include "core/platform/platform.h"
#include "core/platform/sha256.h"
#include "county/text.h"
#include "main/win32/win32_ui.h"

namespace dalvento::win32 {

namespace {

// The property that marks the first copy's window: the name without its namespace.
std::wstring mark_of(const std::wstring& name) {
    const size_t slash = name.rfind(L'\\');
    return slash == std::wstring::npos ? name : name.substr(slash + 1);
}

std::string account_name() {
    wchar_t buffer[UNLEN + 1] = {};
    DWORD length = UNLEN + 1;
    if (!GetUserNameW(buffer, &length) || length == 0) return {};
    return utf8(std::wstring_view(buffer, length - 1));
}

}  // namespace

std::wstring instance_name(const std::filesystem::path& state_file) {
    // Windows paths and account names ignore case; the hash keeps the name short and free of
    // backslashes, which kernel object names cannot hold.
    const std::string key =
        ascii_lower(account_name()) + "\n" + ascii_lower(platform::path_text(state_file));
    return L"Local\\Dalvento-" + wide(sha256_hex(key).substr(0, 32));
}

InstanceClaim::InstanceClaim(const std::wstring& name) {
    mutex_ = CreateMutexW(nullptr, FALSE, name.c_str());
    first_ = !mutex_ || GetLastError() != ERROR_ALREADY_EXISTS;
}

InstanceClaim::~InstanceClaim() {
    if (mutex_) CloseHandle(mutex_);
}

void mark_instance_window(HWND main, const std::wstring& name) {
    SetPropW(main, mark_of(name).c_str(), reinterpret_cast<HANDLE>(1));
}

void unmark_instance_window(HWND main, const std::wstring& name) {
    RemovePropW(main, mark_of(name).c_str());
}

HWND find_instance_window(const std::wstring& name) {
    struct Search {
        std::wstring mark;
        HWND found = nullptr;
    } search{mark_of(name)};
    EnumWindows(
        [](HWND window, LPARAM l) -> BOOL {
            auto* s = reinterpret_cast<Search*>(l);
            wchar_t window_class[64] = {};
            if (!GetClassNameW(window, window_class, 64) ||
                lstrcmpW(window_class, MAIN_WINDOW_CLASS) != 0 ||
                !GetPropW(window, s->mark.c_str())) {
                return TRUE;
            }
            s->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool bring_instance_to_front(const std::wstring& name, DWORD wait_ms) {
    const ULONGLONG end = GetTickCount64() + wait_ms;
    HWND main = find_instance_window(name);
    while (!main && GetTickCount64() < end) {
        Sleep(50);
        main = find_instance_window(name);
    }
    if (!main) return false;
    if (IsIconic(main)) ShowWindow(main, SW_RESTORE);
    // A settings window or message box open over it is what the user needs to see.
    HWND front = GetLastActivePopup(main);
    SetForegroundWindow(front ? front : main);
    return true;
}

}  // namespace dalvento::win32
