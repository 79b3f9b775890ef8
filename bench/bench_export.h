// What the scan and zip benchmarks share: the realistic export they measure on and their
// command line ([FOLDER] [--layer-mb N] [--tables-mb N] [--other-files N]).
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

#include "core/platform/platform.h"
#include "core/tracking/state.h"
#include "export_generator.h"

namespace dalvento::bench {

struct BenchExport {
    std::filesystem::path folder;
    exportgen::ExportSpec shape;
};

// An OWNER set of about 300 MB, five tables of 100 MB together and 2,000 other files of 16 KiB,
// in a folder under the temporary folder unless the command line says otherwise.
inline BenchExport bench_export_from_args(int argc, char** argv, const std::string& folder_name) {
    BenchExport out{std::filesystem::temp_directory_path() / folder_name, {}};
    out.shape.layer_bytes = 300ull << 20;
    out.shape.table_bytes = 100ull << 20;
    out.shape.other_files = 2000;
    out.shape.other_file_bytes = 16 << 10;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--layer-mb" && i + 1 < argc)
            out.shape.layer_bytes = std::stoull(argv[++i]) << 20;
        else if (arg == "--tables-mb" && i + 1 < argc)
            out.shape.table_bytes = std::stoull(argv[++i]) << 20;
        else if (arg == "--other-files" && i + 1 < argc)
            out.shape.other_files = std::stoi(argv[++i]);
        else
            out.folder = platform::path_from_text(arg);
    }
    return out;
}

// The export in its folder, generated there on first use; false, having said why, when it cannot
// be made.
inline bool ensure_bench_export(const BenchExport& made) {
    if (std::filesystem::exists(made.folder / "arcgis" / "OWNER.shp")) return true;
    std::printf("generating the export in %s ...\n", platform::path_text(made.folder).c_str());
    auto generated = exportgen::generate_exports(made.folder, made.shape);
    if (!generated) {
        std::fprintf(stderr, "could not generate: %s\n", generated.error().c_str());
        return false;
    }
    return true;
}

// A State whose three source folders are the export's.
inline State bench_state(const std::filesystem::path& folder) {
    State state;
    state.layers_dirs = {platform::path_text(folder / "arcgis")};
    state.tables_dirs = {platform::path_text(folder / "parcels")};
    state.other_dirs = {platform::path_text(folder / "other")};
    return state;
}

}  // namespace dalvento::bench
