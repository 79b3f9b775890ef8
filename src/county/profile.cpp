#include "county/profile.h"

#include "county/text.h"

namespace dalvento {

namespace {

constexpr ProfileUnit QUARNELL_UNITS[] = {
    {"OWNER", "parcel map", UnitKind::layer, std::nullopt},
    {"tblREProperty.txt", "parcels, owners, zoning", UnitKind::table, 56},
    {"tblREAssessment.txt", "current values", UnitKind::table, 10},
    {"tblREAssessmentHistory.txt", "prior values", UnitKind::table, 10},
    {"tblREImprovements.txt", "buildings", UnitKind::table, 79},
    {"tblRESales.txt", "sales", UnitKind::table, 11},
};

constexpr CountyProfile QUARNELL = {"QUARNELL", "Quarnell County Valdex", QUARNELL_UNITS};

}  // namespace

const CountyProfile& county_profile() {
    return QUARNELL;
}

std::string_view unit_kind_word(UnitKind kind) {
    switch (kind) {
        case UnitKind::layer:
            return "layer";
        case UnitKind::table:
            return "table";
        case UnitKind::file:
            break;
    }
    return "file";
}

std::optional<LayerFileName> split_layer_file_name(std::string_view file_name) {
    const std::string lower = ascii_lower(file_name);
    const auto try_extension = [&](std::string_view ext) -> std::optional<LayerFileName> {
        const size_t ending = ext.size() + 1;
        if (lower.size() <= ending) return std::nullopt;
        const std::string_view tail = std::string_view(lower).substr(lower.size() - ending);
        if (tail[0] != '.' || tail.substr(1) != ext) return std::nullopt;
        const std::string_view stem = file_name.substr(0, file_name.size() - ending);
        if (stem.find('.') != std::string_view::npos) return std::nullopt;
        return LayerFileName{std::string(stem), ext};
    };
    for (std::string_view ext : CORE_LAYER_EXTENSIONS) {
        if (auto split = try_extension(ext)) return split;
    }
    for (std::string_view ext : OPTIONAL_LAYER_EXTENSIONS) {
        if (auto split = try_extension(ext)) return split;
    }
    return std::nullopt;
}

const ProfileUnit* find_profile_unit(std::string_view name) {
    for (const ProfileUnit& unit : county_profile().units) {
        if (equals_ignoring_ascii_case(unit.name, name)) return &unit;
    }
    return nullptr;
}

bool is_table_file_name(std::string_view file_name) {
    return ascii_lower(file_name).ends_with(".txt");
}

}  // namespace dalvento
