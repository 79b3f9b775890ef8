// Writes export folders like the office's: the OWNER shapefile set with its metadata, the five
// parcel tables with their usual field counts, and optional other files, at any size.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "county/delivery_unit.h"

namespace dalvento::exportgen {

struct ExportSpec {
    uint64_t layer_bytes = 1 << 20;      // about this many bytes over the OWNER members
    uint64_t table_bytes = 1 << 18;      // about this many bytes over the five tables together
    int other_files = 0;                 // how many other files
    uint64_t other_file_bytes = 4096;    // size of each other file
    std::string crea_date = "20260305";  // the <CreaDate> of OWNER.shp.xml; empty leaves it out
    uint32_t seed = 1;                   // same seed, same bytes
    std::optional<Time> modified;        // last-write time of every file; absent keeps "now"
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

// Writes one `^`-delimited table of about the given size (creating its folder), with lines of
// `fields` fields and CRLF ends. Used for the tables of an export and on its own by tests.
std::expected<void, std::string> write_table(const std::filesystem::path& path, unsigned fields,
                                             uint64_t bytes, uint32_t seed);

}  // namespace dalvento::exportgen
