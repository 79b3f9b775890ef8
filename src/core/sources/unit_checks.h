// The checks every unit gets while the scan builds it: sibling files and locks for layers, the
// field count of tables, readability and emptiness for everything, and signs of a cut-off export.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/tracking/state.h"
#include "county/delivery_unit.h"

namespace dalvento {

// A member file as the scan found it: name on disk and full path.
struct MemberFile {
    std::string name;
    std::filesystem::path path;
};

// Reads one file's size and time, opens it once sharing it, and fingerprints it through the
// cache. Gives the file or the reading message.
std::expected<UnitFile, std::string> read_unit_file(const std::string& name,
                                                    const std::filesystem::path& path,
                                                    State& state);

// Builds and checks a layer unit from its member files. profile is null for an other layer.
DeliveryUnit check_layer_unit(const std::string& key, const ProfileUnit* profile,
                              const std::filesystem::path& folder, std::vector<MemberFile> members,
                              bool locked, State& state);

// Checks a table's first 500 lines for the usual number of `^`-separated fields: adds at most one
// blocking message, or names the field count in the description when none is expected. Gives the
// field count it settled on, none when the check failed.
std::optional<uint64_t> check_table_fields(DeliveryUnit& unit, const UnitFile& file,
                                           std::optional<unsigned> expected_fields);

// Reads and checks a table unit the scan has filled in (key, description, folder, selection).
void check_table_unit(DeliveryUnit& unit, const std::string& name,
                      const std::filesystem::path& path, std::optional<unsigned> expected_fields,
                      State& state);

// Reads an other file into its unit: a failure or an empty file is a thing to check.
void check_other_file_unit(DeliveryUnit& unit, const std::string& name,
                           const std::filesystem::path& path, State& state);

// Selection and last-sent time of a unit from the State (include_once, include, core flag).
void apply_selection_and_last_sent(DeliveryUnit& unit, const State& state);

}  // namespace dalvento
