#include "core/tracking/state_migration.h"

#include <algorithm>

namespace dalvento {

namespace {

constexpr const char* LAYER_FILE = "OWNER.shp";
constexpr const char* PROPERTY_TABLE_FILE = "tblREProperty.txt";
constexpr const char* SALES_TABLE_FILE = "tblRESales.txt";

// The folder holding a stored path, split on text so that a Windows path stored in the file gives
// the same answer on every system. None when the path names no folder.
std::optional<std::string> parent_folder_text(std::string_view path) {
    const auto is_separator = [](char c) { return c == '\\' || c == '/'; };
    while (!path.empty() && is_separator(path.back()))
        path.remove_suffix(1);
    const size_t last = path.find_last_of("\\/");
    if (path.empty() || last == std::string_view::npos) return std::nullopt;
    std::string_view parent = path.substr(0, last);
    while (!parent.empty() && is_separator(parent.back()))
        parent.remove_suffix(1);
    // Keep the separator of a root: "\OWNER.shp" -> "\", "C:\OWNER.shp" -> "C:\".
    if (parent.empty() || (parent.size() == 2 && parent[1] == ':')) {
        return std::string(path.substr(0, parent.size() + 1));
    }
    return std::string(parent);
}

std::optional<std::string> parent_of_entry(const std::map<std::string, std::string>& paths,
                                           const char* name) {
    const auto found = paths.find(name);
    if (found == paths.end()) return std::nullopt;
    return parent_folder_text(found->second);
}

void fold_single_folder(std::optional<std::string>& single, std::vector<std::string>& list) {
    if (!single) return;
    if (std::find(list.begin(), list.end(), *single) == list.end()) list.push_back(*single);
    single.reset();
}

}  // namespace

void migrate_older_layout(State& state) {
    if (!state.paths.empty()) {
        if (!state.layers_dir && state.layers_dirs.empty()) {
            state.layers_dir = parent_of_entry(state.paths, LAYER_FILE);
        }
        if (!state.tables_dir && state.tables_dirs.empty()) {
            state.tables_dir = parent_of_entry(state.paths, PROPERTY_TABLE_FILE);
            if (!state.tables_dir)
                state.tables_dir = parent_of_entry(state.paths, SALES_TABLE_FILE);
        }
        state.paths.clear();
    }
    fold_single_folder(state.layers_dir, state.layers_dirs);
    fold_single_folder(state.tables_dir, state.tables_dirs);
    fold_single_folder(state.other_dir, state.other_dirs);
}

}  // namespace dalvento
