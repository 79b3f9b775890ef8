// One main window over a scripted desktop in a pinned environment, with generated exports when a
// test asks for them, and the delivery service stand-in for the send roads.
#pragma once

#include <filesystem>
#include <vector>

#include "export_generator.h"
#include "main/main_window.h"
#include "scripted_desktop.h"
#include "support/standin/standin_access.h"
#include "support/test_support.h"
#include "upload/test_clock.h"

namespace dalvento::testing {

// The day the generated exports carry, in both their metadata and their file times.
Time export_day();

struct Workbench {
    Workbench();

    IsolatedEnvironment env;
    ScriptedDesktop desktop;
    MainWindow window{desktop};
    delivery::TestClock send_clock;  // a send's waits between attempts pass at once
    exportgen::GeneratedExport exports;

    // Writes exports under the temporary folder and configures their folders in the state file.
    void generate(exportgen::ExportSpec shape = {}, bool with_other = false);
    // The window-created event: loads the state file, renders, lays out.
    void start();
    // A click, and the packing it starts followed to its end.
    void click(Control control);
    // The outbox's zips.
    std::vector<std::filesystem::path> outbox_zips() const;
};

}  // namespace dalvento::testing
