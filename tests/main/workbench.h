// One main window over a scripted desktop in a pinned environment, with generated exports when a
// test asks for them, and the delivery service stand-in for the send roads.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "export_generator.h"
#include "main/main_window.h"
#include "scripted_desktop.h"
#include "support/test_support.h"

namespace dalvento::testing {

// The day the generated exports carry, in both their metadata and their file times.
Time export_day();

struct Workbench {
    Workbench();

    IsolatedEnvironment env;
    ScriptedDesktop desktop;
    MainWindow window{desktop};
    exportgen::GeneratedExport exports;

    // Writes exports under the temporary folder and configures their folders in the state file.
    void generate(exportgen::ExportSpec shape = {}, bool with_other = false);
    // The window-created event: loads the state file, renders, lays out.
    void start();
    void click(Control control);
    // The outbox's zips.
    std::vector<std::filesystem::path> outbox_zips() const;
};

struct StandinAddress {
    std::string url;      // http://127.0.0.1:{port}; empty when none could be had
    std::string token;    // the office token it accepts
    std::string problem;  // why there is none
};

// Started in this process on Linux; under Wine started beside the program by
// tests/run_with_standin.py, which passes its address in the environment.
const StandinAddress& standin();

// Calls the stand-in's control interface; the reply as JSON, or null when it failed.
nlohmann::json standin_call(std::string_view method, std::string_view path,
                            const nlohmann::json& body = nlohmann::json::object());

}  // namespace dalvento::testing
