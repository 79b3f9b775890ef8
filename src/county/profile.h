// The built-in county profile: the one map layer and five parcel tables the office delivers,
// and the file-name rules that tie files on disk to those units.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace dalvento {

// What a delivery unit is: a map layer (a shapefile set), a parcel table, or any other file.
enum class UnitKind : uint8_t { layer = 0, table = 1, file = 2 };

// One core unit of the profile.
struct ProfileUnit {
    std::string_view name;  // layer: the shapefile stem; table: the full file name
    std::string_view description;
    UnitKind kind;
    std::optional<unsigned> expected_fields;  // usual `^`-separated fields per line; tables only
};

struct CountyProfile {
    std::string_view key;
    std::string_view display_name;
    std::span<const ProfileUnit> units;  // core layers and core tables are listed in this order
};

// The compiled-in profile of the county this build serves.
const CountyProfile& county_profile();

// The word for a kind: "layer", "table" or "file".
std::string_view unit_kind_word(UnitKind kind);

// Sibling extensions that must all be present for a layer, in the order they are reported.
inline constexpr std::array<std::string_view, 4> CORE_LAYER_EXTENSIONS = {"shp", "shx", "dbf",
                                                                          "prj"};
// Siblings that belong to a layer when present.
inline constexpr std::array<std::string_view, 5> OPTIONAL_LAYER_EXTENSIONS = {"cpg", "sbn", "sbx",
                                                                              "shp.xml", "qix"};

struct LayerFileName {
    std::string stem;            // as written in the name, case kept
    std::string_view extension;  // as written in the extension lists
};

// Splits a layer member's file name into stem and extension; none when it is no layer member.
std::optional<LayerFileName> split_layer_file_name(std::string_view file_name);

// The profile unit whose name equals the given one ignoring ASCII case.
const ProfileUnit* find_profile_unit(std::string_view name);

// True for names ending in ".txt", ignoring ASCII case.
bool is_table_file_name(std::string_view file_name);

}  // namespace dalvento
