// dalvento-check's entry on Windows: arguments arrive as UTF-16; a console is written in UTF-16
// so that names in any script show as they are, while a pipe or file gets UTF-8.
#include <windows.h>

#include <string>
#include <vector>

#include "check/command.h"
#include "core/platform/wide_text.h"

namespace {

void write_to(DWORD which, std::string_view text) {
    const HANDLE h = GetStdHandle(which);
    if (h == INVALID_HANDLE_VALUE || h == nullptr) return;
    DWORD mode = 0;
    if (GetConsoleMode(h, &mode)) {
        const std::wstring wide = dalvento::platform::widen(text);
        DWORD wrote = 0;
        WriteConsoleW(h, wide.data(), static_cast<DWORD>(wide.size()), &wrote, nullptr);
        return;
    }
    while (!text.empty()) {
        DWORD wrote = 0;
        if (!WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr) ||
            wrote == 0) {
            return;
        }
        text.remove_prefix(wrote);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(dalvento::platform::narrow(argv[i]));
    return dalvento::run_check_command(
        args, [](std::string_view text) { write_to(STD_OUTPUT_HANDLE, text); },
        [](std::string_view text) { write_to(STD_ERROR_HANDLE, text); });
}
