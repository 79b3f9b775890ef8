#include "main/sources.h"

#include <algorithm>
#include <array>
#include <optional>

#include "core/packing/delivery_plan.h"
#include "core/platform/platform.h"
#include "county/text.h"
#include "main/layout.h"
#include "main/summary.h"

namespace dalvento {

namespace {

// Unrecognised dropped paths listed in the "Skipped" box at most.
constexpr size_t MAX_SKIPPED_LISTED = 12;
constexpr int PICKER_ROW = 28;

constexpr std::array<std::string_view, 3> PICKER_TITLES = {"ArcGIS source", "Parcel source",
                                                           "Other source"};
constexpr std::string_view PICKER_HINT =
    "Select what should go in the delivery. Core files are selected already; anything else found "
    "in the folder starts unselected.";
constexpr std::string_view PICKER_HINT_EMPTY =
    "Nothing in this folder looks like it belongs here yet.";

constexpr std::string_view REMOVE_TITLE = "Remove a folder";
constexpr std::string_view REMOVE_TEXT =
    "Which folder should Dalvento stop looking in? The files in it are not touched, and what was "
    "delivered from it stays on record.";

constexpr std::string_view LOOKS_LIKE_LAYER = "a map layer (OWNER.shp and its sibling files)";
constexpr std::string_view LOOKS_LIKE_TABLE = "a parcel table (tblRE... .txt)";
constexpr std::string_view LOOKS_LIKE_EITHER =
    "a map layer (OWNER.shp and its siblings) or a parcel table (tblRE... .txt)";

std::vector<std::string>& folders_of(State& state, SourceKind kind) {
    switch (kind) {
        case SourceKind::layers:
            return state.layers_dirs;
        case SourceKind::tables:
            return state.tables_dirs;
        case SourceKind::other:
            break;
    }
    return state.other_dirs;
}

const std::vector<std::string>& folders_of(const State& state, SourceKind kind) {
    return folders_of(const_cast<State&>(state), kind);
}

UnitKind unit_kind_of(SourceKind kind) {
    switch (kind) {
        case SourceKind::layers:
            return UnitKind::layer;
        case SourceKind::tables:
            return UnitKind::table;
        case SourceKind::other:
            break;
    }
    return UnitKind::file;
}

FolderDialog dialog_of(SourceKind kind) {
    switch (kind) {
        case SourceKind::layers:
            return FolderDialog::layers;
        case SourceKind::tables:
            return FolderDialog::tables;
        case SourceKind::other:
            break;
    }
    return FolderDialog::other;
}

std::optional<std::filesystem::path> last_folder(const State& state, SourceKind kind) {
    const std::vector<std::string>& folders = folders_of(state, kind);
    if (folders.empty()) return std::nullopt;
    return platform::path_from_text(folders.back());
}

// Appends the guessed folders to their lists; true when the guess found any.
bool add_guessed(State& state, const FolderGuess& guess) {
    if (guess.layers_folder) {
        add_source_folder(state, SourceList::layers, platform::path_text(*guess.layers_folder));
    }
    if (guess.tables_folder) {
        add_source_folder(state, SourceList::tables, platform::path_text(*guess.tables_folder));
    }
    return guess.layers_folder || guess.tables_folder;
}

void save_and_render(MainWindow& window) {
    save_state_or_report(window);
    render_summary(window);
}

// After a change of folders or selections the last check's line may no longer hold.
void changed_sources(MainWindow& window) {
    window.status_line.clear();
    save_and_render(window);
}

bool same_folder(const DeliveryUnit& unit, const std::string& folder) {
    return unit.folder && equals_ignoring_ascii_case(platform::path_text(*unit.folder), folder);
}

}  // namespace

void source_flow(MainWindow& window, SourceKind kind) {
    const auto choose = [&] {
        return kind == SourceKind::other ? choose_other_folder(window)
                                         : choose_folder(window, kind);
    };
    if (folders_of(window.state, kind).empty() && !choose()) return;
    for (;;) {
        switch (run_picker(window, kind)) {
            case PickerResult::add_folder:
                choose();
                break;
            case PickerResult::remove_folder:
                // With its last folder gone the source is as if never added.
                if (remove_folder(window, kind) && folders_of(window.state, kind).empty()) return;
                break;
            case PickerResult::ok:
            case PickerResult::cancel:
                return;
        }
    }
}

FolderRemoval folder_removal(const State& state, SourceKind kind, const Rect& main_placement) {
    return FolderRemoval{.title = std::string(REMOVE_TITLE),
                         .text = std::string(REMOVE_TEXT),
                         .folders = folders_of(state, kind),
                         .window = centred_over(main_placement, 560, 260)};
}

bool remove_folder(MainWindow& window, SourceKind kind) {
    const FolderRemoval removal =
        folder_removal(window.state, kind, window.desktop.main_window_placement());
    const std::optional<size_t> chosen = window.desktop.choose_folder_to_remove(removal);
    std::vector<std::string>& folders = folders_of(window.state, kind);
    if (!chosen || *chosen >= folders.size()) return false;
    const std::string folder = folders[*chosen];
    folders.erase(folders.begin() + static_cast<std::ptrdiff_t>(*chosen));

    // The ticks of what was found only there go with it: a remembered unit that is no longer
    // found would stay listed as missing. The hash cache and the delivery record stay.
    for (const DeliveryUnit& unit : window.units) {
        if (!same_folder(unit, folder)) continue;
        const bool found_elsewhere =
            std::ranges::any_of(window.units, [&](const DeliveryUnit& other) {
                return other.key == unit.key && other.folder && !same_folder(other, folder);
            });
        if (found_elsewhere) continue;
        window.state.include.erase(unit.key);
        window.state.include_once.erase(unit.key);
    }
    changed_sources(window);
    return true;
}

bool choose_folder(MainWindow& window, SourceKind kind) {
    const std::optional<std::filesystem::path> folder =
        window.desktop.pick_folder(dialog_of(kind), last_folder(window.state, kind));
    if (!folder) return false;
    const GuessMode mode = kind == SourceKind::layers ? GuessMode::layers : GuessMode::tables;
    if (add_guessed(window.state, guess_source_folders({*folder}, mode))) {
        changed_sources(window);
        return true;
    }
    window.desktop.message_box(
        "Not there",
        "Nothing in\n" + platform::path_text(*folder) +
            "\n(or in the folders directly inside it) looks like " +
            std::string(kind == SourceKind::layers ? LOOKS_LIKE_LAYER : LOOKS_LIKE_TABLE) + ".",
        BoxStyle::information);
    return false;
}

bool choose_other_folder(MainWindow& window) {
    const std::optional<std::filesystem::path> folder = window.desktop.pick_folder(
        FolderDialog::other, last_folder(window.state, SourceKind::other));
    if (!folder) return false;
    add_source_folder(window.state, SourceList::other, platform::path_text(*folder));
    changed_sources(window);
    return true;
}

void add_dropped_paths(MainWindow& window, const std::vector<std::filesystem::path>& paths,
                       GuessMode mode) {
    const FolderGuess guess = guess_source_folders(paths, mode);
    const bool matched = add_guessed(window.state, guess);
    if (matched) {
        changed_sources(window);
    } else {
        save_and_render(window);
    }
    if (!matched) {
        const std::string_view what = mode == GuessMode::layers   ? LOOKS_LIKE_LAYER
                                      : mode == GuessMode::tables ? LOOKS_LIKE_TABLE
                                                                  : LOOKS_LIKE_EITHER;
        window.desktop.message_box("Nothing matched",
                                   "Nothing there looks like " + std::string(what) + ".",
                                   BoxStyle::information);
    } else if (!guess.not_used.empty()) {
        std::string text = "These weren't map layers or parcel tables and were skipped:\n\n";
        for (size_t i = 0; i < guess.not_used.size() && i < MAX_SKIPPED_LISTED; ++i) {
            text += "  " + guess.not_used[i] + "\n";
        }
        window.desktop.message_box("Skipped", text, BoxStyle::information);
    }
}

void add_dropped_other_path(MainWindow& window, const std::vector<std::filesystem::path>& paths) {
    std::optional<std::filesystem::path> folder;
    for (const std::filesystem::path& path : paths) {
        const auto info = platform::file_info(path);
        if (info && info->is_directory) {
            folder = path;
            break;
        }
    }
    if (!folder) {
        for (const std::filesystem::path& path : paths) {
            if (path.has_parent_path() && path.parent_path() != path) {
                folder = path.parent_path();
                break;
            }
        }
    }
    if (!folder) return;
    add_source_folder(window.state, SourceList::other, platform::path_text(*folder));
    changed_sources(window);
}

std::string folder_display_name(const std::string& folder) {
    std::filesystem::path path = platform::path_from_text(folder);
    // A trailing separator names the same folder.
    if (!path.has_filename() && path.has_relative_path()) path = path.parent_path();
    if (path.has_filename()) {
        if (const auto name = platform::path_text_strict(path.filename()); name && !name->empty()) {
            return *name;
        }
    }
    return folder;
}

PickerWindow picker_window(const std::vector<DeliveryUnit>& units, const State& state,
                           SourceKind kind, const Rect& main_placement) {
    PickerWindow picker;
    picker.title = PICKER_TITLES[static_cast<size_t>(kind)];

    for (const DeliveryUnit& unit : units) {
        if (unit.kind != unit_kind_of(kind) || !unit.total_bytes) continue;
        std::string label = unit_label(unit);
        if (unit.core) label += "   (core)";
        if (has_blocking_message(unit)) label += "   " + unit_status_word(unit);
        picker.items.push_back({unit.key, label, unit.selected});
    }

    const std::vector<std::string>& folders = folders_of(state, kind);
    std::vector<std::string> names;
    for (const std::string& folder : folders)
        names.push_back(folder_display_name(folder));
    picker.folder_line = std::string(folders.size() == 1 ? "Folder" : "Folders") + ": ";
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) picker.folder_line += ", ";
        picker.folder_line += names[i];
    }
    picker.hint = picker.items.empty() ? PICKER_HINT_EMPTY : PICKER_HINT;

    const int n = static_cast<int>(picker.items.size());
    const int h = std::max(n, 1) * PICKER_ROW;
    picker.window = centred_over(main_placement, 620, h + 196);
    picker.folder_label = {16, 14, 362, 24};
    picker.remove_folder_button = {384, 10, 114, 30};
    picker.add_folder_button = {504, 10, 100, 30};
    picker.hint_label = {16, 48, 588, 40};
    for (int i = 0; i < n; ++i)
        picker.item_boxes.push_back({16, 92 + PICKER_ROW * i, 588, 24});
    picker.remember_box = {16, h + 104, 588, 24};
    picker.ok_button = {434, h + 140, 90, 34};
    picker.cancel_button = {534, h + 140, 70, 34};
    return picker;
}

void apply_picker_answer(State& state, const PickerWindow& picker, const PickerAnswer& answer) {
    if (answer.result != PickerResult::ok) return;
    const size_t count = std::min(picker.items.size(), answer.ticked.size());
    for (size_t i = 0; i < count; ++i) {
        const std::string& key = picker.items[i].key;
        const bool selected = answer.ticked[i];
        if (answer.remember) {
            state.include[key] = selected;
            state.include_once.erase(key);
        } else {
            state.include_once[key] = selected;
        }
    }
}

PickerResult run_picker(MainWindow& window, SourceKind kind) {
    const PickerWindow picker =
        picker_window(window.units, window.state, kind, window.desktop.main_window_placement());
    const PickerAnswer answer = window.desktop.show_picker(picker);
    apply_picker_answer(window.state, picker, answer);
    if (answer.result == PickerResult::ok) {
        changed_sources(window);
    } else {
        save_and_render(window);
    }
    return answer.result;
}

}  // namespace dalvento
