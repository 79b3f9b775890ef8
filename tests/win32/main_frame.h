// What the tests of the main window share: the window built for real over generated exports, as
// the program starts it, and a message pump that waits for what a test expects.
#pragma once

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "core/tracking/state_file.h"
#include "export_generator.h"
#include "main/main_window.h"
#include "main/win32/main_desktop.h"
#include "main/win32/win32_ui.h"
#include "support/test_support.h"

namespace dalvento::win32 {

// Handles the thread's messages until `done` holds or the time is up.
inline bool pump_until(const std::function<bool()>& done, int milliseconds = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!done() && std::chrono::steady_clock::now() < end) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (!done()) MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return done();
}

// The main window over generated exports, as the program starts it.
struct Frame {
    explicit Frame(bool with_folders = true, const std::filesystem::path& under = "exports") {
        EXPECT_TRUE(register_window_classes());
        make_default_font();
        exportgen::ExportSpec shape;
        shape.other_files = 2;
        auto made = exportgen::generate_exports(env.dir().path() / under, shape);
        EXPECT_TRUE(made) << made.error();
        exports = *made;
        if (with_folders) {
            State state;
            state.layers_dirs = {testing::text(exports.layers_folder)};
            state.tables_dirs = {testing::text(exports.tables_folder)};
            EXPECT_TRUE(StateFile().save(state));
        }
        EXPECT_TRUE(desktop.build());
        desktop.bind(model);
    }

    testing::IsolatedEnvironment env;
    exportgen::GeneratedExport exports;
    MainDesktop desktop;
    MainWindow model{desktop};
};

}  // namespace dalvento::win32
