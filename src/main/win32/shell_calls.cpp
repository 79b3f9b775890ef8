// The main window's calls to the shell: the folder picker, explorer showing a zip, the clipboard
// and the taskbar flash.
#include <windows.h>
// After windows.h, which they need.
#include <shobjidl.h>

#include "main/win32/main_desktop.h"
#include "main/win32/win32_ui.h"

namespace dalvento::win32 {

namespace {

// One argument as a Windows command line quotes it (the rules CommandLineToArgvW reads back).
std::wstring quoted_argument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

template <typename T>
void release(T*& object) {
    if (object) object->Release();
    object = nullptr;
}

}  // namespace

std::optional<std::filesystem::path> MainDesktop::pick_folder(
    FolderDialog which, const std::optional<std::filesystem::path>& start) {
    IFileOpenDialog* dialog = nullptr;
    if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                IID_PPV_ARGS(&dialog)))) {
        return std::nullopt;
    }
    FILEOPENDIALOGOPTIONS options = 0;
    dialog->GetOptions(&options);
    // The current folder stays where it is: left on a USB stick it would keep the stick busy.
    dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST |
                       FOS_NOCHANGEDIR);
    dialog->SetTitle(folder_dialog_titles_[static_cast<size_t>(which)].c_str());
    if (start) {
        IShellItem* folder = nullptr;
        if (SUCCEEDED(
                SHCreateItemFromParsingName(start->c_str(), nullptr, IID_PPV_ARGS(&folder)))) {
            dialog->SetFolder(folder);
        }
        release(folder);
    }
    std::optional<std::filesystem::path> chosen;
    IShellItem* result = nullptr;
    if (SUCCEEDED(dialog->Show(main_)) && SUCCEEDED(dialog->GetResult(&result))) {
        PWSTR path = nullptr;
        if (SUCCEEDED(result->GetDisplayName(SIGDN_FILESYSPATH, &path)) && path) {
            chosen = picked_folder(path);
            CoTaskMemFree(path);
        }
    }
    release(result);
    release(dialog);
    return chosen;
}

std::expected<void, std::string> MainDesktop::set_clipboard(const std::string& text) {
    return put_on_clipboard(main_, text);
}

void MainDesktop::flash_taskbar() {
    FLASHWINFO flash{};
    flash.cbSize = sizeof flash;
    flash.hwnd = main_;
    flash.dwFlags = FLASHW_TRAY | FLASHW_TIMERNOFG;
    flash.uCount = 0;
    flash.dwTimeout = 0;
    FlashWindowEx(&flash);
}

std::wstring explorer_program() {
    std::wstring folder(MAX_PATH, L'\0');
    UINT length = GetWindowsDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
    if (length >= folder.size()) {
        folder.resize(length);
        length = GetWindowsDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
    }
    if (length == 0 || length >= folder.size()) return {};
    folder.resize(length);
    if (folder.back() != L'\\') folder += L'\\';
    return folder + L"explorer.exe";
}

std::wstring explorer_command_line(const std::wstring& program, const std::string& argument) {
    return quoted_argument(program) + L" " + quoted_argument(wide(argument));
}

void MainDesktop::start_explorer(const std::string& argument) {
    // By its full path: a bare name is looked for in the current folder first, and the folder
    // dialogs may have left that on a USB stick.
    const std::wstring program = explorer_program();
    if (program.empty()) return;
    std::wstring command_line = explorer_command_line(program, argument);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       nullptr, &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

}  // namespace dalvento::win32
