// The Windows program: start-up, the message loop, and the orderly stop.
#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>
#include <objbase.h>

#include "core/tracking/state.h"
#include "main/main_window.h"
#include "main/win32/main_desktop.h"
#include "main/win32/single_instance.h"
#include "main/win32/win32_ui.h"
#include "main/window_design.h"

namespace {

// The program has no console: a fatal start-up failure is said in a box, then the process ends.
int stop_with(std::string_view message) {
    MessageBoxW(nullptr, dalvento::win32::wide(message).c_str(),
                dalvento::win32::wide(dalvento::MAIN_WINDOW_TITLE).c_str(),
                MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
    return 1;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    using namespace dalvento;

    // A second start for the same user and state file shows the running copy and saves nothing.
    const std::wstring instance = win32::instance_name(state_file_path());
    const win32::InstanceClaim claim(instance);
    if (!claim.first()) {
        win32::bring_instance_to_front(instance, 10000);
        return 0;
    }

    // Common Controls 6 comes with the embedded manifest.
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_LISTVIEW_CLASSES;
    if (!InitCommonControlsEx(&controls) || !win32::register_window_classes() ||
        FAILED(CoInitialize(nullptr))) {
        return stop_with(UI_START_FAILED);
    }
    win32::make_default_font();

    int status = 0;
    {
        win32::MainDesktop desktop;
        if (!desktop.build()) {
            status = stop_with(WINDOW_BUILD_FAILED);
        } else {
            MainWindow window(desktop);
            win32::mark_instance_window(desktop.window(), instance);
            desktop.bind(window);
            if (window.quit) {
                status = 1;  // the state file could not be read, and the user has been told
            } else {
                win32::run_message_loop();
            }
            desktop.unbind();
            win32::unmark_instance_window(desktop.window(), instance);
        }
    }
    CoUninitialize();
    return status;
}
