// Scan benchmark: a cold scan (every file hashed), a warm scan (every fingerprint from the cache)
// and hash_file throughput against `openssl dgst -sha256` and `sha256sum` on the same file.
//
//   scan_bench [FOLDER] [--layer-mb N] [--tables-mb N] [--other-files N]
//
// FOLDER (default: a new folder under the temporary folder) receives a generated export unless it
// already holds one; it is kept, so later runs skip the generation.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_export.h"
#include "core/platform/platform.h"
#include "core/sources/scan.h"
#include "core/tracking/hash_cache.h"
#include "export_generator.h"

namespace {

using namespace dalvento;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double run_command_seconds(const std::string& command) {
    const auto start = Clock::now();
    const int rc = std::system((command + " >/dev/null").c_str());
    const double s = seconds_since(start);
    if (rc != 0) {
        std::printf("  (%s failed with %d)\n", command.c_str(), rc);
        return 0;
    }
    return s;
}

double mib(uint64_t bytes) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    auto [folder, shape] = bench::bench_export_from_args(argc, argv, "dalvento-scan-bench");

    exportgen::GeneratedExport made{folder / "arcgis", folder / "parcels", folder / "other", 0};
    if (!std::filesystem::exists(folder / "arcgis" / "OWNER.shp")) {
        std::printf("generating the export in %s ...\n", platform::path_text(folder).c_str());
        const auto start = Clock::now();
        auto generated = exportgen::generate_exports(folder, shape);
        if (!generated) {
            std::fprintf(stderr, "could not generate: %s\n", generated.error().c_str());
            return 1;
        }
        made = *generated;
        std::printf("  %.0f MiB in %.1f s\n", mib(made.total_bytes), seconds_since(start));
    }

    State state;
    state.layers_dirs = {platform::path_text(made.layers_folder)};
    state.tables_dirs = {platform::path_text(made.tables_folder)};
    state.other_dirs = {platform::path_text(made.other_folder)};

    uint64_t read_before = platform::bytes_read_total();
    auto start = Clock::now();
    const auto cold = scan_sources(state);
    const double cold_s = seconds_since(start);
    const uint64_t cold_bytes = platform::bytes_read_total() - read_before;
    uint64_t found_bytes = 0;
    for (const auto& unit : cold)
        found_bytes += unit.total_bytes.value_or(0);
    std::printf("cold scan: %zu units, %.0f MiB in the units, %.0f MiB read, %.2f s (%.0f MiB/s)\n",
                cold.size(), mib(found_bytes), mib(cold_bytes), cold_s, mib(cold_bytes) / cold_s);

    read_before = platform::bytes_read_total();
    start = Clock::now();
    const auto warm = scan_sources(state);
    const double warm_s = seconds_since(start);
    const uint64_t warm_bytes = platform::bytes_read_total() - read_before;
    std::printf(
        "warm scan: %zu units, %llu bytes read (table heads and ends, layer headers), %.3f s\n",
        warm.size(), static_cast<unsigned long long>(warm_bytes), warm_s);
    uint64_t table_bytes = 0;
    uint64_t layer_bytes = 0;
    for (const auto& unit : warm) {
        if (unit.kind == UnitKind::table) table_bytes += unit.total_bytes.value_or(0);
        if (unit.kind == UnitKind::layer) layer_bytes += unit.total_bytes.value_or(0);
    }
    std::printf(
        "  the five tables and the layer hold %llu bytes; the warm scan read %.4f%% of them and "
        "nothing else\n",
        static_cast<unsigned long long>(table_bytes + layer_bytes),
        100.0 * static_cast<double>(warm_bytes) / static_cast<double>(table_bytes + layer_bytes));
    for (const auto& unit : warm) {
        for (const auto& message : unit.messages)
            std::printf("  %s: %s\n", unit.key.c_str(), message.text.c_str());
    }

    // Hash throughput on the largest member, all three readers from a warm page cache.
    const auto file = made.layers_folder / "OWNER.shp";
    const std::string quoted = "'" + platform::path_text(file) + "'";
    run_command_seconds("cat " + quoted);
    start = Clock::now();
    const auto hashed = hash_file(file);
    const double ours = seconds_since(start);
    if (!hashed) {
        std::fprintf(stderr, "hash_file failed: %s\n", hashed.error().c_str());
        return 1;
    }
    const double openssl = run_command_seconds("openssl dgst -sha256 " + quoted);
    const double coreutils = run_command_seconds("sha256sum " + quoted);
    const double size = mib(hashed->bytes);
    std::printf(
        "hash_file on %.0f MiB: %.0f MiB/s; openssl dgst -sha256 %.0f MiB/s; sha256sum "
        "%.0f MiB/s\n",
        size, size / ours, openssl > 0 ? size / openssl : 0.0,
        coreutils > 0 ? size / coreutils : 0.0);
    if (openssl > 0 && coreutils > 0) {
        std::printf("  ratio hash_file / openssl = %.2f, hash_file / sha256sum = %.2f\n",
                    openssl / ours, coreutils / ours);
    }
    return 0;
}
