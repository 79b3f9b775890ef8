#include <gtest/gtest.h>

#include <filesystem>

#include "core/packing/zip_builder.h"
#include "core/platform/platform.h"
#include "core/tracking/state.h"
#include "main/summary.h"
#include "workbench.h"

namespace dalvento::testing {
namespace {

const std::string DASH = "\xE2\x80\x94";

DeliveryUnit found_unit(std::string key, UnitKind kind, bool core, bool selected) {
    DeliveryUnit unit;
    unit.key = std::move(key);
    unit.kind = kind;
    unit.core = core;
    unit.selected = selected;
    unit.total_bytes = 1024;
    unit.folder = std::filesystem::path("exports");
    unit.sha256 = std::string(64, 'c');
    return unit;
}

DeliveryUnit placeholder(std::string key, UnitKind kind) {
    DeliveryUnit unit;
    unit.key = std::move(key);
    unit.kind = kind;
    unit.core = true;
    unit.selected = true;
    return unit;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (true) {
        const size_t end = text.find("\r\n", start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 2;
    }
    return lines;
}

TEST(Summary, NothingConfiguredListsThePlaceholders) {
    Workbench bench;
    bench.start();
    const RenderedSummary& summary = bench.desktop.last_summary();
    EXPECT_EQ(summary.source_button_captions,
              (std::array<std::string, 3>{"Add ArcGIS Source...", "Add Parcel Source...",
                                          "Add Other Source..."}));
    EXPECT_EQ(summary.headlines,
              (std::array<std::string, 3>{"Map layers " + DASH + " not added yet",
                                          "Parcel data " + DASH + " 0 of 5 tables ready",
                                          "Other data " + DASH + " none added"}));
    EXPECT_EQ(lines_of(summary.status_text)[0], "0 of 6 core units ready.");
    EXPECT_EQ(summary.rows[0].size(), 1u);
    EXPECT_EQ(summary.rows[1].size(), 5u);
    EXPECT_TRUE(summary.rows[2].empty());
    EXPECT_EQ(summary.rows[1][0], (ListRow{"tblREProperty.txt", "", "", "", "Needed", ""}));
    // Nothing found: nothing new does not hold, so the button is on (the checks stop a send).
    EXPECT_EQ(summary.send_enabled, std::optional<bool>(true));
    // The render saved the State and kept the units.
    EXPECT_TRUE(std::filesystem::exists(state_file_path()));
    EXPECT_EQ(bench.window.units.size(), 6u);
}

TEST(Summary, GeneratedExportsShowRowsCaptionsHeadlinesAndLines) {
    Workbench bench;
    bench.generate({}, true);
    bench.window.state.last_sent_at = "2026-02-01 10:00";
    bench.window.status_line = "Checked at 14:07: something.";
    bench.window.progress_line = "Sending to Dalvento\xE2\x80\xA6 25%";
    bench.start();
    const RenderedSummary& summary = bench.desktop.last_summary();

    EXPECT_EQ(summary.source_button_captions,
              (std::array<std::string, 3>{"ArcGIS Source...", "Parcel Source...",
                                          "Other Source... (2 files)"}));
    EXPECT_EQ(summary.headlines,
              (std::array<std::string, 3>{"Map layers " + DASH + " 1 layer, 1 selected",
                                          "Parcel data " + DASH + " 5 of 5 tables ready",
                                          "Other data " + DASH + " 2 files, 0 selected"}));
    ASSERT_EQ(summary.rows[0].size(), 1u);
    const ListRow& layer = summary.rows[0][0];
    EXPECT_EQ(layer[0], "OWNER (layer, 6 files)");
    EXPECT_EQ(layer[1], "2026-03-05 09:30");
    EXPECT_EQ(layer[2], "");
    EXPECT_EQ(layer[4], "Ready");
    EXPECT_EQ(layer[5], text(bench.exports.layers_folder));
    EXPECT_EQ(summary.rows[2].size(), 2u);
    EXPECT_EQ(summary.rows[2][0][4], "Not selected");

    const std::vector<std::string> lines = lines_of(summary.status_text);
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[0], "6 of 6 core units ready.");
    EXPECT_EQ(lines[1].substr(0, 23), "Also in these folders: ");
    EXPECT_EQ(lines[1].find("(selected)"), std::string::npos);
    const std::string date_line =
        "Export date: March 5, 2026 (from map metadata). The zip will be named "
        "QUARNELL-2026-03-05-";
    EXPECT_EQ(lines[2].substr(0, date_line.size()), date_line);
    EXPECT_EQ(lines[2].size(), date_line.size() + 13u);  // 8 digits, ".zip", "."
    EXPECT_EQ(lines[3], "Last delivery packed: 2026-02-01 10:00.");
    EXPECT_EQ(lines[lines.size() - 2], "Checked at 14:07: something.");
    EXPECT_EQ(lines.back(), "Sending to Dalvento\xE2\x80\xA6 25%");
    EXPECT_EQ(summary.send_enabled, std::optional<bool>(true));

    // One of the other files selected: the source caption, headline and also-line follow.
    bench.window.state.include[bench.window.units.back().key] = true;
    render_summary(bench.window);
    const RenderedSummary& after = bench.desktop.last_summary();
    EXPECT_EQ(after.headlines[2], "Other data " + DASH + " 2 files, 1 selected");
    EXPECT_NE(after.status_text.find(bench.window.units.back().key + " (selected)."),
              std::string::npos)
        << after.status_text;
}

TEST(Summary, StatusLinesFromUnits) {
    IsolatedEnvironment env;
    State state;
    state.layers_dirs = {"layers"};
    state.tables_dirs = {"tables"};

    DeliveryUnit layer = found_unit("OWNER", UnitKind::layer, true, true);
    layer.messages = {{"OWNER.prj is missing", true}, {"an odd field count", false}};
    DeliveryUnit extra_layer = found_unit("ROADS", UnitKind::layer, false, false);
    DeliveryUnit table = found_unit("tblREProperty.txt", UnitKind::table, true, false);
    DeliveryUnit same = found_unit("tblRESales.txt", UnitKind::table, true, true);
    same.unchanged = true;
    same.last_sent = local_time(2026, 2, 1, 8, 5);
    same.newest_modified = local_time(2026, 1, 30, 23, 59);
    same.total_bytes = 1023;
    DeliveryUnit lost = placeholder("tblRELand.txt", UnitKind::table);
    lost.folder = std::filesystem::path("old");
    lost.messages = {{"not found where it was last time", true}};
    DeliveryUnit never = placeholder("tblREValue.txt", UnitKind::table);
    never.messages = {{"never listed", true}};  // neither found nor with a folder: not listed
    const std::vector<DeliveryUnit> units = {layer, extra_layer, table, same, lost, never};

    const std::string date_line =
        "Export date: January 30, 2026 (from newest table export). The "
        "zip will be named " +
        zip_file_name(std::chrono::year(2026) / 1 / 30, units) + ".";
    const RenderedSummary summary = summarise(units, state, "", false);
    EXPECT_EQ(summary.status_text,
              "1 of 5 core units ready.\r\n"
              "Also in these folders: ROADS (layer).\r\n" +
                  date_line +
                  "\r\n"
                  "1 of 2 changed since the last delivery; only those go in the zip.\r\n"
                  "Problem, OWNER: OWNER.prj is missing\r\n"
                  "Check, OWNER: an odd field count\r\n"
                  "Problem, tblRELand.txt: not found where it was last time");
    // The unselected but ready core table counts in the headline, not in the first line.
    EXPECT_EQ(summary.headlines[1], "Parcel data " + DASH + " 2 of 5 tables ready");
    EXPECT_EQ(summary.headlines[0], "Map layers " + DASH + " 2 layers, 1 selected");
    EXPECT_EQ(summary.source_button_captions[0], "ArcGIS Source... (1 more here)");
    EXPECT_EQ(summary.source_button_captions[1], "Parcel Source... (1 more here)");
    EXPECT_EQ(summary.rows[1][1],
              (ListRow{"tblRESales.txt", "2026-01-30 23:59", "2026-02-01 08:05", "1023 B",
                       "Same as last delivery; not re-sent", "exports"}));
    EXPECT_EQ(summary.rows[1][0][3], "1 KB");
    EXPECT_EQ(summary.rows[1][2][5], "old");
    EXPECT_EQ(summary.send_enabled, std::optional<bool>(true));

    // Every found, selected unit unchanged: zero changed; Send stays usable and asks first.
    DeliveryUnit all_same = same;
    all_same.key = "tblRESales.txt";
    const RenderedSummary quiet = summarise({all_same}, state, "", false);
    EXPECT_EQ(quiet.status_text,
              "1 of 1 core units ready.\r\nExport date: January 30, 2026 (from newest table "
              "export). The zip will be named " +
                  zip_file_name(std::chrono::year(2026) / 1 / 30, {all_same}) + "." +
                  "\r\n"
                  "0 of 1 changed since the last delivery; only those go in the zip.");
    EXPECT_EQ(quiet.send_enabled, std::optional<bool>(true));

    // None unchanged: no changed-count line. During a send the button is left alone.
    DeliveryUnit fresh = found_unit("tblRESales.txt", UnitKind::table, true, true);
    const RenderedSummary sending = summarise({fresh}, state, "", true);
    EXPECT_EQ(with_progress_line(sending.status_text, "sending"),
              "1 of 1 core units ready.\r\nsending");
    EXPECT_EQ(sending.send_enabled, std::nullopt);
}

}  // namespace
}  // namespace dalvento::testing
