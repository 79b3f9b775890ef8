#include <gtest/gtest.h>

#include <filesystem>

#include "core/platform/platform.h"
#include "core/tracking/hash_cache.h"
#include "core/tracking/state.h"
#include "main/sources.h"
#include "main/summary.h"
#include "workbench.h"

namespace dalvento::testing {
namespace {

namespace fs = std::filesystem;

void drop(Workbench& bench, DropTarget target, std::vector<fs::path> paths) {
    dispatch(bench.window,
             Event{.kind = Event::Kind::drop, .target = target, .paths = std::move(paths)});
}

PickerAnswer picked(PickerResult result, std::vector<bool> ticked = {}, bool remember = true) {
    return PickerAnswer{.result = result, .ticked = std::move(ticked), .remember = remember};
}

// Exports generated, but no folder configured yet.
struct SourceBench : Workbench {
    SourceBench() {
        generate({}, true);
        window.state = State{};
        start();
    }
    fs::path root() const { return exports.layers_folder.parent_path(); }
};

TEST(SourceFlow, FirstFolderWithTheGuessThenThePicker) {
    SourceBench bench;
    // The chosen folder is the exports' parent: the guess finds the layer folder inside it.
    bench.desktop.folder_answers.push_back(bench.root());
    bench.desktop.picker_answers.push_back(picked(PickerResult::cancel));
    bench.click(Control::source_layers);

    ASSERT_EQ(bench.desktop.folder_requests.size(), 1u);
    EXPECT_EQ(bench.desktop.folder_requests[0].which, FolderDialog::layers);
    EXPECT_FALSE(bench.desktop.folder_requests[0].start);
    EXPECT_EQ(bench.window.state.layers_dirs,
              std::vector<std::string>{text(bench.exports.layers_folder)});
    EXPECT_EQ(saved_state().layers_dirs, bench.window.state.layers_dirs);
    EXPECT_EQ(bench.desktop.log, (std::vector<std::string>{"folder", "picker"}));
    ASSERT_EQ(bench.desktop.pickers.size(), 1u);
    EXPECT_EQ(bench.desktop.pickers[0].title, "ArcGIS source");
    EXPECT_EQ(bench.desktop.pickers[0].folder_line, "Folder: arcgis");
    ASSERT_EQ(bench.desktop.pickers[0].items.size(), 1u);
    EXPECT_EQ(bench.desktop.pickers[0].items[0].label, "OWNER (layer, 6 files)   (core)");

    // With a folder configured the button goes straight to the picker; "Add folder..." opens the
    // dialog in the last folder, and the picker comes back.
    bench.desktop.log.clear();
    bench.desktop.picker_answers.push_back(picked(PickerResult::add_folder));
    bench.desktop.folder_answers.push_back(bench.exports.layers_folder);  // the same one again
    bench.desktop.picker_answers.push_back(picked(PickerResult::cancel));
    bench.click(Control::source_layers);
    EXPECT_EQ(bench.desktop.log, (std::vector<std::string>{"picker", "folder", "picker"}));
    EXPECT_EQ(bench.desktop.folder_requests[1].start, bench.exports.layers_folder);
    EXPECT_EQ(bench.window.state.layers_dirs.size(), 1u);  // the same folder is kept once
}

TEST(SourceFlow, NotThereAndOtherFolders) {
    SourceBench bench;
    const fs::path empty = bench.env.dir() / "empty";
    fs::create_directories(empty);
    bench.desktop.folder_answers.push_back(empty);
    bench.click(Control::source_tables);
    ASSERT_EQ(bench.desktop.boxes.size(), 1u);
    EXPECT_EQ(bench.desktop.boxes[0].title, "Not there");
    EXPECT_EQ(bench.desktop.boxes[0].style, BoxStyle::information);
    EXPECT_EQ(bench.desktop.boxes[0].text,
              "Nothing in\n" + text(empty) +
                  "\n(or in the folders directly inside it) looks like a parcel table "
                  "(tblRE... .txt).");
    EXPECT_TRUE(bench.desktop.pickers.empty());  // nothing added: the flow stops
    EXPECT_TRUE(bench.window.state.tables_dirs.empty());

    bench.desktop.folder_answers.push_back(empty);
    EXPECT_FALSE(choose_folder(bench.window, SourceKind::layers));
    EXPECT_EQ(bench.desktop.boxes.back().text,
              "Nothing in\n" + text(empty) +
                  "\n(or in the folders directly inside it) looks like a map layer (OWNER.shp and "
                  "its sibling files).");

    // Other folders are taken as they are, and the picker lists what is in them.
    bench.desktop.folder_answers.push_back(bench.exports.other_folder);
    bench.desktop.picker_answers.push_back(picked(PickerResult::cancel));
    bench.click(Control::source_other);
    EXPECT_EQ(bench.desktop.folder_requests.back().which, FolderDialog::other);
    EXPECT_EQ(bench.window.state.other_dirs,
              std::vector<std::string>{text(bench.exports.other_folder)});
    EXPECT_EQ(bench.desktop.pickers.back().title, "Other source");
    EXPECT_EQ(bench.desktop.pickers.back().items.size(), 2u);
    EXPECT_EQ(bench.desktop.last_summary().source_button_captions[2], "Other Source... (2 files)");

    // A cancelled dialog adds nothing and shows no picker.
    bench.window.state.other_dirs.clear();
    bench.desktop.folder_answers.push_back(std::nullopt);
    const size_t pickers = bench.desktop.pickers.size();
    bench.click(Control::source_other);
    EXPECT_EQ(bench.desktop.pickers.size(), pickers);
}

TEST(SourceFlow, DropsOnTheWindowAndTheLists) {
    SourceBench bench;
    std::vector<fs::path> junk;
    for (int i = 1; i <= 13; ++i) {
        junk.push_back(bench.env.dir() / ("junk" + std::to_string(100 + i) + ".bin"));
        write_file(junk.back(), "x");
    }

    // Matching nothing: "Nothing matched" only, with the words for each target.
    drop(bench, DropTarget::window, junk);
    EXPECT_EQ(bench.desktop.box_titles(), std::vector<std::string>{"Nothing matched"});
    EXPECT_EQ(bench.desktop.boxes[0].text,
              "Nothing there looks like a map layer (OWNER.shp and its siblings) or a parcel "
              "table (tblRE... .txt).");
    drop(bench, DropTarget::layers_list, {junk[0]});
    EXPECT_EQ(bench.desktop.boxes[1].text,
              "Nothing there looks like a map layer (OWNER.shp and its sibling files).");
    drop(bench, DropTarget::tables_list, {junk[0]});
    EXPECT_EQ(bench.desktop.boxes[2].text,
              "Nothing there looks like a parcel table (tblRE... .txt).");
    EXPECT_EQ(bench.desktop.boxes.size(), 3u);

    // One recognised folder among thirteen others: added, and twelve listed as skipped.
    bench.desktop.boxes.clear();
    const size_t rendered = bench.desktop.summaries.size();
    std::vector<fs::path> paths = {bench.exports.tables_folder};
    paths.insert(paths.end(), junk.begin(), junk.end());
    drop(bench, DropTarget::window, paths);
    EXPECT_EQ(bench.window.state.tables_dirs,
              std::vector<std::string>{text(bench.exports.tables_folder)});
    EXPECT_EQ(bench.desktop.summaries.size(), rendered + 1);
    ASSERT_EQ(bench.desktop.box_titles(), std::vector<std::string>{"Skipped"});
    std::string expected = "These weren't map layers or parcel tables and were skipped:\n\n";
    for (int i = 0; i < 12; ++i)
        expected += "  " + text(junk[i]) + "\n";
    EXPECT_EQ(bench.desktop.boxes[0].text, expected);

    // The whole export dropped on the window: both folders found, nothing skipped.
    bench.desktop.boxes.clear();
    bench.window.state.tables_dirs.clear();
    drop(bench, DropTarget::window, {bench.root()});
    EXPECT_EQ(bench.window.state.layers_dirs,
              std::vector<std::string>{text(bench.exports.layers_folder)});
    EXPECT_EQ(bench.window.state.tables_dirs,
              std::vector<std::string>{text(bench.exports.tables_folder)});
    EXPECT_TRUE(bench.desktop.boxes.empty());
    EXPECT_EQ(saved_state().tables_dirs, bench.window.state.tables_dirs);
}

TEST(SourceFlow, DropsOnTheOtherList) {
    SourceBench bench;
    const fs::path loose = bench.env.dir() / "loose";
    write_file(loose / "a.pdf", "a");
    write_file(loose / "b.pdf", "b");

    // Plain files: the folder holding the first one.
    drop(bench, DropTarget::other_list, {loose / "a.pdf", bench.exports.other_folder / "x"});
    EXPECT_EQ(bench.window.state.other_dirs, std::vector<std::string>{text(loose)});
    // A folder among files wins over the files' folder.
    drop(bench, DropTarget::other_list, {loose / "b.pdf", bench.exports.other_folder});
    EXPECT_EQ(bench.window.state.other_dirs,
              (std::vector<std::string>{text(loose), text(bench.exports.other_folder)}));
    // Again: kept once. No message either way.
    drop(bench, DropTarget::other_list, {bench.exports.other_folder});
    EXPECT_EQ(bench.window.state.other_dirs.size(), 2u);
    EXPECT_EQ(saved_state().other_dirs, bench.window.state.other_dirs);
    EXPECT_TRUE(bench.desktop.boxes.empty());
}

TEST(SourceFlow, RemoveFolderForgetsOnlyTheFolderAndWhatWasTickedThere) {
    Workbench bench;
    bench.generate({}, true);
    const std::string spare = text(bench.env.dir() / "spare");
    fs::create_directories(bench.env.dir() / "spare");
    bench.window.state.other_dirs.push_back(spare);
    bench.window.token = "dlvt_kept";
    bench.window.state.token_protected = "sealed";
    bench.start();
    bench.window.token = "dlvt_kept";
    // A delivery on record, and one other file ticked for good.
    record_delivery(bench.window.state, bench.window.units, false);
    const std::string other_file = bench.window.units.back().key;
    bench.window.state.include[other_file] = true;
    render_summary(bench.window);
    const State before = bench.window.state;
    ASSERT_FALSE(before.hash_cache.empty());
    dispatch(bench.window, Event{.kind = Event::Kind::timer_tick});
    ASSERT_FALSE(bench.window.status_line.empty());

    // Cancelled: nothing changes, the picker comes back.
    bench.desktop.picker_answers.push_back(picked(PickerResult::remove_folder));
    bench.desktop.removal_answers.push_back(std::nullopt);
    bench.desktop.picker_answers.push_back(picked(PickerResult::remove_folder));
    bench.desktop.removal_answers.push_back(0);  // the exports' other folder
    bench.desktop.picker_answers.push_back(picked(PickerResult::cancel));
    bench.click(Control::source_other);
    EXPECT_EQ(bench.desktop.log,
              (std::vector<std::string>{"picker", "remove", "picker", "remove", "picker"}));
    ASSERT_EQ(bench.desktop.removals.size(), 2u);
    const FolderRemoval& removal = bench.desktop.removals[0];
    EXPECT_EQ(removal.title, "Remove a folder");
    EXPECT_EQ(removal.text,
              "Which folder should Dalvento stop looking in? The files in it are not touched, and "
              "what was delivered from it stays on record.");
    EXPECT_EQ(removal.folders, before.other_dirs);
    EXPECT_EQ(removal.window, (Rect{390, 340, 560, 260}));

    // Saved at once: the folder and its file's tick gone; the record, cache and token kept; the
    // check's line, about what was there, gone too.
    const State saved = saved_state();
    EXPECT_EQ(saved.other_dirs, std::vector<std::string>{spare});
    EXPECT_FALSE(saved.include.contains(other_file));
    EXPECT_EQ(saved.sent_hash, before.sent_hash);
    EXPECT_EQ(saved.token_protected, "sealed");
    EXPECT_EQ(bench.window.token, "dlvt_kept");
    for (const auto& [key, entry] : before.hash_cache)
        EXPECT_TRUE(saved.hash_cache.contains(key));
    EXPECT_EQ(bench.window.status_line, "");
    EXPECT_EQ(bench.desktop.pickers.back().folder_line, "Folder: spare");
    for (const DeliveryUnit& unit : bench.window.units)
        EXPECT_NE(unit.key, other_file);

    // The last folder of a kind removed: the flow ends, the source is as if never added.
    bench.desktop.log.clear();
    bench.desktop.picker_answers.push_back(picked(PickerResult::remove_folder));
    bench.desktop.removal_answers.push_back(0);
    bench.click(Control::source_other);
    EXPECT_EQ(bench.desktop.log, (std::vector<std::string>{"picker", "remove"}));
    EXPECT_TRUE(saved_state().other_dirs.empty());
    EXPECT_EQ(bench.desktop.last_summary().source_button_captions[2], "Add Other Source...");
}

TEST(SourceFlow, ChangesOfFoldersOrSelectionsClearTheCheckLine) {
    Workbench bench;
    bench.generate({}, true);
    bench.window.state.other_dirs.clear();
    bench.start();
    const auto tick = [&] {
        dispatch(bench.window, Event{.kind = Event::Kind::timer_tick});
        ASSERT_FALSE(bench.window.status_line.empty());
    };
    tick();
    bench.desktop.picker_answers.push_back(picked(PickerResult::cancel));
    bench.click(Control::source_layers);
    EXPECT_FALSE(bench.window.status_line.empty());  // nothing changed
    bench.desktop.picker_answers.push_back(picked(PickerResult::ok, {true}));
    bench.click(Control::source_layers);
    EXPECT_EQ(bench.window.status_line, "");
    tick();
    drop(bench, DropTarget::other_list, {bench.exports.other_folder});
    EXPECT_EQ(bench.window.status_line, "");
    EXPECT_EQ(bench.desktop.last_summary().status_text.find("Checked at"), std::string::npos);
}

TEST(Picker, ItemsLabelsFolderLineHintAndGeometry) {
    IsolatedEnvironment env;
    State state;
    const Rect main{200, 120, 940, 700};

    // No unit of the kind: the empty hint, no boxes, buttons as for one item.
    PickerWindow empty = picker_window({}, state, SourceKind::tables, main);
    EXPECT_EQ(empty.title, "Parcel source");
    EXPECT_EQ(empty.folder_line, "Folders: ");
    EXPECT_EQ(empty.hint, "Nothing in this folder looks like it belongs here yet.");
    EXPECT_TRUE(empty.items.empty());
    EXPECT_TRUE(empty.item_boxes.empty());
    EXPECT_EQ(empty.window, (Rect{360, 358, 620, 224}));
    EXPECT_EQ(empty.remember_box, (Rect{16, 132, 588, 24}));
    EXPECT_EQ(empty.ok_button, (Rect{434, 168, 90, 34}));
    EXPECT_EQ(empty.cancel_button, (Rect{534, 168, 70, 34}));
    EXPECT_EQ(empty.folder_label, (Rect{16, 14, 362, 24}));
    EXPECT_EQ(empty.remove_folder_button, (Rect{384, 10, 114, 30}));
    EXPECT_EQ(empty.add_folder_button, (Rect{504, 10, 100, 30}));
    EXPECT_EQ(empty.hint_label, (Rect{16, 48, 588, 40}));

    DeliveryUnit layer;
    layer.key = "OWNER";
    layer.kind = UnitKind::layer;
    layer.core = true;
    layer.selected = true;
    layer.total_bytes = 10;
    layer.files.resize(5);
    layer.messages = {{"OWNER.prj is missing", true}, {"odd", false}};
    DeliveryUnit extra = layer;
    extra.key = "ROADS";
    extra.core = false;
    extra.selected = false;
    extra.files.resize(4);
    extra.messages.clear();
    DeliveryUnit missing = layer;
    missing.key = "GONE";
    missing.total_bytes.reset();
    DeliveryUnit table = layer;
    table.key = "tblREProperty.txt";
    table.kind = UnitKind::table;

    state.layers_dirs = {platform::path_text(env.dir() / "arcgis"), "/"};
#ifdef _WIN32
    state.layers_dirs[1] = "C:\\";
#endif
    const PickerWindow picker =
        picker_window({layer, table, missing, extra}, state, SourceKind::layers, main);
    EXPECT_EQ(picker.title, "ArcGIS source");
    EXPECT_EQ(picker.folder_line, "Folders: arcgis, " + state.layers_dirs[1]);
    EXPECT_EQ(picker.hint,
              "Select what should go in the delivery. Core files are selected already; anything "
              "else found in the folder starts unselected.");
    ASSERT_EQ(picker.items.size(), 2u);
    EXPECT_EQ(picker.items[0].key, "OWNER");
    EXPECT_EQ(picker.items[0].label,
              "OWNER (layer, 5 files)   (core)   Problem: OWNER.prj is missing");
    EXPECT_TRUE(picker.items[0].ticked);
    EXPECT_EQ(picker.items[1].label, "ROADS (layer, 4 files)");
    EXPECT_FALSE(picker.items[1].ticked);
    EXPECT_EQ(picker.item_boxes, (std::vector<Rect>{{16, 92, 588, 24}, {16, 120, 588, 24}}));
    EXPECT_EQ(picker.window, (Rect{360, 344, 620, 252}));
    EXPECT_EQ(picker.remember_box.y, 160);
    EXPECT_EQ(picker.ok_button.y, 196);

    state.layers_dirs = {platform::path_text(env.dir() / "arcgis" / "")};
    EXPECT_EQ(picker_window({}, state, SourceKind::layers, main).folder_line, "Folder: arcgis");
}

TEST(Picker, OkRememberedOrOnceAndCancel) {
    Workbench bench;
    bench.generate({}, true);
    bench.start();
    const std::string other = bench.window.units.back().key;

    // Cancel after ticking: no selection changes, but the State is saved and the summary shown.
    const size_t rendered = bench.desktop.summaries.size();
    fs::remove(state_file_path());
    bench.desktop.picker_answers.push_back(picked(PickerResult::cancel, {true, true}));
    bench.click(Control::source_other);
    EXPECT_TRUE(bench.window.state.include.empty());
    EXPECT_TRUE(bench.window.state.include_once.empty());
    EXPECT_TRUE(fs::exists(state_file_path()));
    EXPECT_EQ(bench.desktop.summaries.size(), rendered + 1);

    // OK without remembering: for the next delivery only, shown at once; include untouched.
    bench.desktop.picker_answers.push_back(picked(PickerResult::ok, {false, true}, false));
    bench.click(Control::source_other);
    EXPECT_TRUE(bench.window.state.include.empty());
    EXPECT_EQ(bench.window.state.include_once.at(other), true);
    EXPECT_EQ(bench.window.state.include_once.size(), 2u);
    EXPECT_NE(bench.desktop.last_summary().headlines[2].find("1 selected"), std::string::npos);
    EXPECT_TRUE(saved_state().include_once.empty());  // never written

    // OK remembering: include set, the one-time choices for these keys dropped.
    bench.desktop.picker_answers.push_back(picked(PickerResult::ok, {true, false}, true));
    bench.click(Control::source_other);
    EXPECT_TRUE(bench.window.state.include_once.empty());
    EXPECT_EQ(saved_state().include.at(other), false);

    // Unticking a core unit remembered: it stays unselected in later runs.
    bench.desktop.picker_answers.push_back(picked(PickerResult::ok, {false}, true));
    bench.click(Control::source_layers);
    EXPECT_EQ(saved_state().include.at("OWNER"), false);
    const State remembered = saved_state();
    Workbench later;  // a later run, on the same folders
    later.window.state = remembered;
    later.start();
    EXPECT_EQ(later.desktop.last_summary().headlines[0],
              "Map layers \xE2\x80\x94 1 layer, 0 selected");
    EXPECT_EQ(later.desktop.last_summary().rows[0][0][4], "Not selected");
}

}  // namespace
}  // namespace dalvento::testing
