#include "core/sources/scan.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include "core/platform/platform.h"
#include "core/sources/unit_checks.h"
#include "county/text.h"

namespace dalvento {

namespace {

namespace fs = std::filesystem;

constexpr const char* NOT_ADDED_YET = "not added yet";
constexpr const char* NOT_IN_LAYERS_FOLDER = "not in the layers folder";
constexpr const char* NOT_IN_PARCEL_FOLDER = "not in the parcel folder";
constexpr const char* NOT_FOUND_AGAIN =
    "not found where it was last time; point at the folder again or clear its checkbox";

// The folder's last path component as text; empty when it has none usable as text.
std::string folder_name(const fs::path& folder) {
    fs::path p = folder;
    if (!p.has_filename() && p.has_relative_path()) p = p.parent_path();  // "C:\exports\"
    return platform::path_text_strict(p.filename()).value_or("");
}

struct FolderFile {
    std::string name;
    fs::path path;
};

// The files directly in a folder whose names are valid text, in the order the system lists them.
// A folder that cannot be listed gives nothing.
std::vector<FolderFile> files_in(const fs::path& folder) {
    std::vector<FolderFile> files;
    auto entries = platform::list_directory(folder);
    if (!entries) return files;
    for (auto& entry : *entries) {
        if (!entry.name) continue;
        const auto info = platform::file_info(entry.path);
        if (!info || !info->is_file) continue;
        files.push_back({std::move(*entry.name), std::move(entry.path)});
    }
    return files;
}

std::vector<fs::path> subfolders_sorted(const fs::path& folder) {
    std::vector<fs::path> folders;
    auto entries = platform::list_directory(folder);
    if (!entries) return folders;
    for (auto& entry : *entries) {
        const auto info = platform::file_info(entry.path);
        if (info && info->is_directory) folders.push_back(std::move(entry.path));
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

DeliveryUnit placeholder(const std::string& key, UnitKind kind, const State& state) {
    DeliveryUnit unit;
    unit.kind = kind;
    if (const ProfileUnit* profile = find_profile_unit(key)) {
        unit.key = std::string(profile->name);
        unit.description = std::string(profile->description);
        unit.core = true;
    } else {
        unit.key = key;
        unit.description = std::string(unit_kind_word(kind));
    }
    apply_selection_and_last_sent(unit, state);
    return unit;
}

DeliveryUnit placeholder_with(const std::string& key, UnitKind kind, const State& state,
                              const char* message, bool blocking,
                              const std::vector<std::string>& folders = {}) {
    DeliveryUnit unit = placeholder(key, kind, state);
    unit.messages.push_back({message, blocking});
    if (!folders.empty()) unit.folder = platform::path_from_text(folders.front());
    return unit;
}

// Layer groups are keyed by folder name, lower-cased stem and the folder's full path, so that two
// layers folders with the same last component keep their file sets apart.
using GroupKey = std::tuple<std::string, std::string, std::string>;

struct LayerGroup {
    std::string stem;  // as written in the first file met
    fs::path folder;
    std::vector<MemberFile> members;
};

void scan_layers(State& state, std::vector<DeliveryUnit>& units) {
    std::vector<const ProfileUnit*> core_layers;
    for (const ProfileUnit& p : county_profile().units) {
        if (p.kind == UnitKind::layer) core_layers.push_back(&p);
    }
    if (state.layers_dirs.empty()) {
        for (const ProfileUnit* p : core_layers) {
            units.push_back(placeholder_with(std::string(p->name), UnitKind::layer, state,
                                             NOT_ADDED_YET, true));
        }
        return;
    }

    std::map<GroupKey, LayerGroup> groups;
    std::set<GroupKey> locks;
    for (const std::string& folder_text : state.layers_dirs) {
        const fs::path folder = platform::path_from_text(folder_text);
        const std::string name = folder_name(folder);
        const std::string folder_key = platform::path_text(folder);
        for (FolderFile& file : files_in(folder)) {
            const std::string lower = ascii_lower(file.name);
            if (lower.ends_with(".lock")) {
                locks.insert({name, lower.substr(0, lower.find('.')), folder_key});
                continue;
            }
            const auto split = split_layer_file_name(file.name);
            if (!split) continue;
            LayerGroup& group = groups[{name, ascii_lower(split->stem), folder_key}];
            if (group.members.empty()) group.stem = split->stem, group.folder = folder;
            group.members.push_back({std::move(file.name), std::move(file.path)});
        }
    }

    std::set<GroupKey> claimed;
    for (const ProfileUnit* core : core_layers) {
        const std::string lower_core = ascii_lower(core->name);
        auto found = std::find_if(groups.begin(), groups.end(), [&](const auto& g) {
            return std::get<1>(g.first) == lower_core && !claimed.contains(g.first);
        });
        if (found == groups.end()) {
            units.push_back(placeholder_with(std::string(core->name), UnitKind::layer, state,
                                             NOT_IN_LAYERS_FOLDER, true, state.layers_dirs));
            continue;
        }
        claimed.insert(found->first);
        units.push_back(check_layer_unit(std::string(core->name), core, found->second.folder,
                                         found->second.members, locks.contains(found->first),
                                         state));
    }

    std::set<std::string> collected;
    for (const DeliveryUnit& unit : units)
        collected.insert(ascii_lower(unit.key));
    for (auto& [key, group] : groups) {
        if (claimed.contains(key)) continue;
        if (!collected.insert(std::get<1>(key)).second) continue;  // that stem is taken already
        units.push_back(check_layer_unit(group.stem, nullptr, group.folder,
                                         std::move(group.members), locks.contains(key), state));
    }
}

void scan_tables(State& state, std::vector<DeliveryUnit>& units) {
    if (state.tables_dirs.empty()) {
        for (const ProfileUnit& p : county_profile().units) {
            if (p.kind != UnitKind::table) continue;
            units.push_back(
                placeholder_with(std::string(p.name), UnitKind::table, state, NOT_ADDED_YET, true));
        }
        return;
    }

    // The first file met under each lower-cased name wins: folders in list order.
    std::map<std::string, FolderFile> index;
    for (const std::string& folder_text : state.tables_dirs) {
        for (FolderFile& file : files_in(platform::path_from_text(folder_text))) {
            if (!is_table_file_name(file.name)) continue;
            index.try_emplace(ascii_lower(file.name), std::move(file));
        }
    }

    for (const ProfileUnit& p : county_profile().units) {
        if (p.kind != UnitKind::table) continue;
        const auto found = index.find(ascii_lower(p.name));
        if (found == index.end()) {
            units.push_back(placeholder_with(std::string(p.name), UnitKind::table, state,
                                             NOT_IN_PARCEL_FOLDER, true, state.tables_dirs));
            continue;
        }
        const FolderFile file = std::move(found->second);
        index.erase(found);
        DeliveryUnit unit;
        unit.key = std::string(p.name);
        unit.description = std::string(p.description);
        unit.folder = file.path.parent_path();
        unit.core = true;
        unit.kind = UnitKind::table;
        apply_selection_and_last_sent(unit, state);
        check_table_unit(unit, file.name, file.path, p.expected_fields, state);
        units.push_back(std::move(unit));
    }
}

std::string other_file_description(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 == name.size()) return "file";
    return ascii_upper(name.substr(dot + 1)) + " file";
}

void scan_other_files(State& state, std::vector<DeliveryUnit>& units) {
    for (const std::string& folder_text : state.other_dirs) {
        const fs::path folder = platform::path_from_text(folder_text);
        const std::string name = folder_name(folder);
        std::vector<FolderFile> files = files_in(folder);
        std::sort(files.begin(), files.end(), [](const FolderFile& a, const FolderFile& b) {
            return std::tie(a.name, a.path) < std::tie(b.name, b.path);
        });
        for (const FolderFile& file : files) {
            std::string key = name.empty() ? file.name : name + "/" + file.name;
            if (const auto f = state.forgotten.find(key); f != state.forgotten.end() && f->second) {
                continue;
            }
            DeliveryUnit unit;
            unit.key = std::move(key);
            unit.description = other_file_description(file.name);
            unit.folder = folder;
            unit.kind = UnitKind::file;
            apply_selection_and_last_sent(unit, state);
            check_other_file_unit(unit, file.name, file.path, state);
            units.push_back(std::move(unit));
        }
    }
}

void add_remembered_but_gone(const State& state, std::vector<DeliveryUnit>& units) {
    std::set<std::string> collected;
    for (const DeliveryUnit& unit : units)
        collected.insert(ascii_lower(unit.key));
    for (const auto& [key, included] : state.include) {
        if (!included || key.find('/') != std::string::npos) continue;
        if (collected.contains(ascii_lower(key))) continue;
        const UnitKind kind = is_table_file_name(key) ? UnitKind::table : UnitKind::layer;
        units.push_back(placeholder_with(key, kind, state, NOT_FOUND_AGAIN, false));
    }
}

int layer_score(const std::vector<FolderFile>& files) {
    int best = 0;
    for (const FolderFile& file : files) {
        const auto split = split_layer_file_name(file.name);
        if (!split || split->extension != "shp") continue;
        best = std::max(best, equals_ignoring_ascii_case(split->stem, "OWNER") ? 2 : 1);
    }
    return best;
}

int table_score(const std::vector<FolderFile>& files) {
    int best = 0;
    for (const FolderFile& file : files) {
        const ProfileUnit* p = find_profile_unit(file.name);
        if (p && p->kind == UnitKind::table) {
            best = 2;
        } else if (is_table_file_name(file.name)) {
            best = std::max(best, 1);
        }
    }
    return best;
}

// The first candidate with the highest score above 0.
std::optional<fs::path> best_candidate(const std::vector<fs::path>& candidates,
                                       const std::vector<std::vector<FolderFile>>& contents,
                                       int (*score)(const std::vector<FolderFile>&)) {
    std::optional<fs::path> winner;
    int best = 0;
    for (size_t i = 0; i < candidates.size(); ++i) {
        const int s = score(contents[i]);
        if (s > best) best = s, winner = candidates[i];
    }
    return winner;
}

}  // namespace

std::vector<DeliveryUnit> scan_sources(State& state) {
    std::vector<DeliveryUnit> units;
    scan_layers(state, units);
    scan_tables(state, units);
    scan_other_files(state, units);
    add_remembered_but_gone(state, units);
    return units;
}

FolderGuess guess_source_folders(const std::vector<fs::path>& paths, GuessMode mode) {
    FolderGuess guess;
    const bool want_layers = mode != GuessMode::tables;
    const bool want_tables = mode != GuessMode::layers;
    for (const fs::path& path : paths) {
        const auto info = platform::file_info(path);
        if (!info || !info->is_directory) {
            const std::string name = platform::path_text_strict(path.filename()).value_or("");
            const fs::path parent = path.parent_path();
            if (!parent.empty() && split_layer_file_name(name) && mode != GuessMode::tables) {
                guess.layers_folder = parent;
            } else if (!parent.empty() && is_table_file_name(name) && want_tables) {
                guess.tables_folder = parent;
            } else {
                guess.not_used.push_back(platform::path_text(path));
            }
            continue;
        }

        std::vector<fs::path> candidates = {path};
        for (fs::path& sub : subfolders_sorted(path))
            candidates.push_back(std::move(sub));
        std::vector<std::vector<FolderFile>> contents;
        for (const fs::path& candidate : candidates)
            contents.push_back(files_in(candidate));

        bool found = false;
        if (want_layers) {
            if (auto winner = best_candidate(candidates, contents, layer_score)) {
                guess.layers_folder = std::move(winner);
                found = true;
            }
        }
        if (want_tables) {
            if (auto winner = best_candidate(candidates, contents, table_score)) {
                guess.tables_folder = std::move(winner);
                found = true;
            }
        }
        if (!found) {
            guess.not_used.push_back(platform::path_text(path) +
                                     " (no map layers or parcel tables inside)");
        }
    }
    return guess;
}

}  // namespace dalvento
