// Telling the program where the exports are and what goes: the three source flows, the folder
// dialogs, folders dropped on the window or a list, and the source picker. Every change lands in
// the State, which is saved at once, and the summary is rendered again.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "core/sources/scan.h"
#include "core/tracking/state.h"
#include "county/delivery_unit.h"
#include "main/desktop.h"
#include "main/main_window.h"

namespace dalvento {

// The source button's flow for a kind: a folder first when none is configured, then the picker,
// again after each "Add folder..." and "Remove folder..." (unless the last folder went).
void source_flow(MainWindow& window, SourceKind kind);

// The folder dialog of a layers or tables source, checked with the folder guess. True when a
// folder was added; "Not there" when the chosen folder holds nothing of the kind.
bool choose_folder(MainWindow& window, SourceKind kind);

// The other-data folder dialog; the folder is added unchecked. True when one was added.
bool choose_other_folder(MainWindow& window);

// The chooser offering the configured folders of a kind, placed over the main window.
FolderRemoval folder_removal(const State& state, SourceKind kind, const Rect& main_placement);

// "Remove folder...": the chosen folder leaves its list, with the selections of what was found
// only there; the hash cache and the delivery record stay. True when one was removed.
bool remove_folder(MainWindow& window, SourceKind kind);

// Folders dropped on the window (either) or on the layers or tables list.
void add_dropped_paths(MainWindow& window, const std::vector<std::filesystem::path>& paths,
                       GuessMode mode);

// Paths dropped on the other list: the first folder among them, else the folder of the first
// path that has one.
void add_dropped_other_path(MainWindow& window, const std::vector<std::filesystem::path>& paths);

// A configured folder as the picker names it: its own name, or the whole path when it has none
// (a drive root).
std::string folder_display_name(const std::string& folder);

// The picker for a kind: items from the found units, labels, folder line, hint and geometry,
// placed over the main window.
PickerWindow picker_window(const std::vector<DeliveryUnit>& units, const State& state,
                           SourceKind kind, const Rect& main_placement);

// Stores the picker's ticks on OK: in include when remembered, else in include_once.
void apply_picker_answer(State& state, const PickerWindow& picker, const PickerAnswer& answer);

// Shows the picker for a kind and handles its answer; the State is saved and the summary
// rendered whatever the result.
PickerResult run_picker(MainWindow& window, SourceKind kind);

}  // namespace dalvento
