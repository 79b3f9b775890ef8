#include "workbench.h"

#include <gtest/gtest.h>

#include "core/packing/zip_builder.h"
#include "core/tracking/state.h"

namespace dalvento::testing {

Time export_day() {
    return local_time(2026, 3, 5, 9, 30);
}

Workbench::Workbench() {
    // No real service is ever reached from a test: sends go to the stand-in when a test sets
    // State.host, and the default address is a reserved name.
    window.now = [] { return local_time(2026, 3, 6, 14, 7); };
    window.send_clock = &send_clock;
}

void Workbench::generate(exportgen::ExportSpec shape, bool with_other) {
    if (!shape.modified) shape.modified = export_day();
    if (with_other && shape.other_files == 0) shape.other_files = 2;
    auto made = exportgen::generate_exports(env.dir() / "exports", shape);
    ASSERT_TRUE(made) << made.error();
    exports = *made;
    window.state.layers_dirs = {text(exports.layers_folder)};
    window.state.tables_dirs = {text(exports.tables_folder)};
    if (with_other) window.state.other_dirs = {text(exports.other_folder)};
}

void Workbench::start() {
    ASSERT_TRUE(StateFile().save(window.state));
    dispatch(window, Event{.kind = Event::Kind::created});
}

void Workbench::click(Control control) {
    dispatch(window, Event{.kind = Event::Kind::click, .control = control});
    ASSERT_TRUE(pump_packing(window, desktop)) << "the packing went quiet";
}

std::vector<std::filesystem::path> Workbench::outbox_zips() const {
    std::vector<std::filesystem::path> zips;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(outbox_folder(), error)) {
        zips.push_back(entry.path());
    }
    return zips;
}

}  // namespace dalvento::testing
