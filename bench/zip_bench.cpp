// Zip benchmark: build_zip on a generated export against Info-ZIP `zip -6 -q` packing the same
// files in the same run, best of two each, and where build_zip's time goes: reading, SHA-256,
// deflate at level 6 (zlib, in memory), and the final read of the zip for its fingerprint.
//
//   zip_bench [FOLDER] [--layer-mb N] [--tables-mb N] [--other-files N]
//
// FOLDER (default: a new folder under the temporary folder) receives a generated export unless
// it already holds one; it is kept, so later runs skip the generation.
#include <zlib.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_export.h"
#include "core/hash_cache.h"
#include "core/platform/platform.h"
#include "core/scan.h"
#include "core/sha256.h"
#include "core/zip_builder.h"
#include "export_generator.h"

namespace {

using namespace dalvento;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Processor time used so far by this process, or by its finished children; on a busy machine it
// compares the two packers more steadily than the clock does.
double cpu_seconds(bool children) {
#ifndef _WIN32
    rusage usage{};
    getrusage(children ? RUSAGE_CHILDREN : RUSAGE_SELF, &usage);
    auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return s(usage.ru_utime) + s(usage.ru_stime);
#else
    (void)children;
    return 0;
#endif
}

double mib(uint64_t bytes) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

// Reads every member file in 1 MiB pieces, handing each piece to `use`.
template <typename Use>
double each_piece(const std::vector<UnitFile*>& files, Use use) {
    std::vector<char> piece(1 << 20);
    const auto start = Clock::now();
    for (const UnitFile* f : files) {
        auto in = platform::InputFile::open(f->path);
        if (!in) continue;
        for (;;) {
            const auto got = in->read(piece.data(), piece.size());
            if (!got || *got == 0) break;
            use(piece.data(), *got);
        }
    }
    return seconds_since(start);
}

}  // namespace

int main(int argc, char** argv) {
    auto [folder, shape] = bench::bench_export_from_args(argc, argv, "dalvento-zip-bench");
    if (!std::filesystem::exists(folder / "arcgis" / "OWNER.shp")) {
        std::printf("generating the export in %s ...\n", platform::path_text(folder).c_str());
        auto generated = exportgen::generate_exports(folder, shape);
        if (!generated) {
            std::fprintf(stderr, "could not generate: %s\n", generated.error().c_str());
            return 1;
        }
    }

    State state;
    state.layers_dirs = {platform::path_text(folder / "arcgis")};
    state.tables_dirs = {platform::path_text(folder / "parcels")};
    state.other_dirs = {platform::path_text(folder / "other")};
    auto units = scan_sources(state);
    std::vector<UnitFile*> files;
    uint64_t bytes = 0;
    for (DeliveryUnit& unit : units) {
        unit.selected = true;
        unit.unchanged = false;
        unit.messages.clear();  // pack everything found, whatever the checks said
        if (!unit.total_bytes) continue;
        for (UnitFile& f : unit.files) {
            files.push_back(&f);
            bytes += f.bytes;
        }
    }
    std::printf("%zu files, %.0f MiB\n", files.size(), mib(bytes));

    const std::filesystem::path out = folder.parent_path() / "dalvento-zip-bench-out";
    std::filesystem::remove_all(out);
    std::filesystem::create_directories(out);
    const std::string list = platform::path_text(out / "files.txt");
    {
        std::ofstream names(list);
        for (const UnitFile* f : files)
            names << platform::path_text(f->path) << "\n";
    }
    const std::string info_zip = platform::path_text(out / "info-zip.zip");

    each_piece(files, [](const char*, size_t) {});  // into the page cache
    double ours_best = 1e9, info_best = 1e9, ours_cpu_best = 1e9, info_cpu_best = 1e9;
    uint64_t ours_bytes = 0;
    for (int round = 0; round < 2; ++round) {
        std::filesystem::remove(info_zip);
        double cpu = cpu_seconds(true);
        auto start = Clock::now();
        const int rc = std::system(("zip -6 -q -j '" + info_zip + "' -@ < '" + list + "'").c_str());
        const double info = seconds_since(start);
        if (rc != 0) {
            std::fprintf(stderr, "zip failed with %d\n", rc);
            return 1;
        }
        info_best = std::min(info_best, info);
        const double info_cpu = cpu_seconds(true) - cpu;
        info_cpu_best = std::min(info_cpu_best, info_cpu);

        const auto zip_path = out / ("ours-" + std::to_string(round) + ".zip");
        cpu = cpu_seconds(false);
        start = Clock::now();
        const auto built = build_zip(units, false, "note", zip_path);
        const double ours = seconds_since(start);
        const double ours_cpu = cpu_seconds(false) - cpu;
        ours_cpu_best = std::min(ours_cpu_best, ours_cpu);
        if (!built) {
            std::fprintf(stderr, "build_zip failed: %s\n", built.error().c_str());
            return 1;
        }
        ours_best = std::min(ours_best, ours);
        ours_bytes = built->bytes;
        std::printf(
            "round %d: build_zip %.2f s (%.2f s processor), zip -6 %.2f s (%.2f s "
            "processor)\n",
            round + 1, ours, ours_cpu, info, info_cpu);
    }
    const uint64_t info_bytes = std::filesystem::file_size(info_zip);
    std::printf("build_zip: %.0f MiB/s (zip %.1f MiB)\n", mib(bytes) / ours_best, mib(ours_bytes));
    std::printf("zip -6 -q: %.0f MiB/s (zip %.1f MiB)\n", mib(bytes) / info_best, mib(info_bytes));
    std::printf(
        "ratio (build_zip throughput / zip -6 throughput): %.2f by the clock, %.2f by "
        "processor time\n",
        info_best / ours_best, info_cpu_best / ours_cpu_best);

    // Where build_zip's time goes, each step alone over the same files from the page cache.
    const double read_s = each_piece(files, [](const char*, size_t) {});
    Sha256 hash;
    const double sha_s = each_piece(files, [&](const char* p, size_t n) { hash.update(p, n); });
    std::vector<unsigned char> sink(1 << 20);
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    const double deflate_s = each_piece(files, [&](const char* p, size_t n) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(p));
        z.avail_in = static_cast<uInt>(n);
        while (z.avail_in > 0) {
            z.next_out = sink.data();
            z.avail_out = static_cast<uInt>(sink.size());
            deflate(&z, Z_NO_FLUSH);
        }
    });
    deflateEnd(&z);
    auto start = Clock::now();
    const auto final_hash = hash_file(out / "ours-1.zip");
    const double final_s = seconds_since(start);
    std::printf(
        "alone: read %.2f s, SHA-256 (with read) %.2f s, deflate -6 (with read) %.2f s, "
        "fingerprint of the zip %.2f s\n",
        read_s, sha_s, deflate_s, final_hash ? final_s : 0.0);
    std::filesystem::remove_all(out);
    return 0;
}
