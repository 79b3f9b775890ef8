// What the tests of the unit checks share: the layer members they write, and the shapefile sets
// in the source tree's test data.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "core/platform/platform.h"
#include "core/sources/unit_checks.h"
#include "county/profile.h"
#include "support/test_support.h"

namespace dalvento {

using Messages = std::vector<UnitMessage>;

inline const std::string NO_CPG =
    "no .cpg file; the text encoding of the attributes isn't recorded";

// Writes the named files (name, content) into the folder and lists them as members.
inline std::vector<MemberFile> layer_files(const std::filesystem::path& folder,
                                           std::vector<std::pair<std::string, std::string>> files) {
    std::vector<MemberFile> members;
    for (const auto& [name, content] : files) {
        const auto path = folder / platform::path_from_text(name);
        testing::write_file(path, content);
        members.push_back({name, path});
    }
    return members;
}

inline const ProfileUnit* owner() {
    return find_profile_unit("OWNER");
}

// The shapefile sets in the source tree's test data, written by GIS software we did not write.
inline std::filesystem::path real_sets() {
    std::string folder = DALVENTO_TEST_DATA "/shapefiles";
#ifdef _WIN32
    // Under Wine the Linux root is drive Z:.
    if (folder.starts_with('/')) folder = "Z:" + folder;
#endif
    return platform::path_from_text(folder);
}

inline std::vector<MemberFile> set_members(const std::filesystem::path& folder,
                                           const std::string& stem,
                                           std::vector<std::string> extensions) {
    std::vector<MemberFile> members;
    for (const std::string& extension : extensions)
        members.push_back({stem + extension, folder / platform::path_from_text(stem + extension)});
    return members;
}

}  // namespace dalvento
