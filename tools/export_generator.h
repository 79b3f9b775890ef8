// Writes export folders like the office's: the OWNER shapefile set with its metadata, the five
// parcel tables with their usual field counts, and optional other files, at any size.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "county/delivery_unit.h"

namespace dalvento::exportgen {

// The ways an export comes out broken: cut off part-way, or with a header that disagrees.
enum class BrokenForm : uint8_t {
    none,
    shp_cut,               // OWNER.shp stops part-way through its last shape
    shx_cut,               // OWNER.shx stops part-way through its last index entry
    dbf_cut,               // OWNER.dbf stops part-way through its last record
    dbf_records_dropped,   // OWNER.dbf lacks its last records, its header counting the rest
    shp_bad_length,        // OWNER.shp's header gives a length shorter than the file
    shx_bad_file_code,     // OWNER.shx doesn't start with the shapefile file code
    shx_other_shape_type,  // OWNER.shx names points where OWNER.shp holds polygons
    table_last_line_cut,   // tblREProperty.txt stops in the middle of its last line
    table_trailer_line,    // tblREProperty.txt ends with a one-field trailer line
};

inline constexpr BrokenForm BROKEN_FORMS[] = {BrokenForm::shp_cut,
                                              BrokenForm::shx_cut,
                                              BrokenForm::dbf_cut,
                                              BrokenForm::dbf_records_dropped,
                                              BrokenForm::shp_bad_length,
                                              BrokenForm::shx_bad_file_code,
                                              BrokenForm::shx_other_shape_type,
                                              BrokenForm::table_last_line_cut,
                                              BrokenForm::table_trailer_line};

// The form's name on the command line, such as "shp-cut".
std::string_view broken_form_name(BrokenForm form);

// The form of a command-line name; none for an unknown name.
std::optional<BrokenForm> broken_form_from_name(std::string_view name);

struct ExportSpec {
    uint64_t layer_bytes = 1 << 20;      // about this many bytes over the OWNER members
    uint64_t table_bytes = 1 << 18;      // about this many bytes over the five tables together
    int other_files = 0;                 // how many other files
    uint64_t other_file_bytes = 4096;    // size of each other file
    std::string crea_date = "20260305";  // the <CreaDate> of OWNER.shp.xml; empty leaves it out
    uint32_t seed = 1;                   // same seed, same bytes
    std::optional<Time> modified;        // last-write time of every file; absent keeps "now"
    BrokenForm broken = BrokenForm::none;  // how the written export is then broken
};

struct GeneratedExport {
    std::filesystem::path
        layers_folder;  // root/arcgis: OWNER.shp, .shx, .dbf, .prj, .cpg, .shp.xml
    std::filesystem::path tables_folder;  // root/parcels: the five tblRE*.txt tables
    std::filesystem::path other_folder;   // root/other: other files (created even when empty)
    uint64_t total_bytes = 0;             // everything written
};

// Writes a complete export under root (created if missing); the error is the OS text.
std::expected<GeneratedExport, std::string> generate_exports(const std::filesystem::path& root,
                                                             const ExportSpec& shape);

// Breaks the shapefile set folder/stem.shp, .shx, .dbf in one of the layer forms, or the table at
// table_path in one of the table forms, in place. Works on any sound set, not only generated ones.
std::expected<void, std::string> break_layer(const std::filesystem::path& folder,
                                             std::string_view stem, BrokenForm form);
std::expected<void, std::string> break_table(const std::filesystem::path& table_path,
                                             BrokenForm form);

// Writes one `^`-delimited table of about the given size (creating its folder), with lines of
// `fields` fields and CRLF ends. Used for the tables of an export and on its own by tests.
std::expected<void, std::string> write_table(const std::filesystem::path& path, unsigned fields,
                                             uint64_t bytes, uint32_t seed);

}  // namespace dalvento::exportgen
