// Zip benchmark: build_zip on a generated export against, in the same run and on the same files,
// Info-ZIP `zip -6`, 7-Zip's zip writer on every thread (`7zz a -tzip -mx=5 -mmt=on`) and the
// parallel-deflate yardstick `tar | pigz -6 -p {cores}`; best of two each. Then where
// build_zip's time goes: reading, SHA-256, deflate at level 6 on one thread and on the block
// pool, and the final read of the zip for its fingerprint.
//
//   zip_bench [FOLDER] [--layer-mb N] [--tables-mb N] [--other-files N] [--threads N]
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
#include "core/packing/block_deflate.h"
#include "core/packing/zip_builder.h"
#include "core/platform/platform.h"
#include "core/platform/sha256.h"
#include "core/sources/scan.h"
#include "core/tracking/hash_cache.h"
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
    const bench::BenchExport made = bench::bench_export_from_args(argc, argv, "dalvento-zip-bench");
    if (!bench::ensure_bench_export(made)) return 1;
    const std::filesystem::path& folder = made.folder;

    State state = bench::bench_state(folder);
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
    const std::string seven_zip = platform::path_text(out / "7zip.zip");
    const std::string pigz_tgz = platform::path_text(out / "pigz.tar.gz");
    unsigned threads = default_deflate_threads();
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--threads")
            threads = static_cast<unsigned>(std::stoul(argv[i + 1]));
    }
    const std::string cores = std::to_string(default_deflate_threads());
    std::printf("build_zip deflate threads: %u; pigz -p %s; machine load: ", threads,
                cores.c_str());
    std::fflush(stdout);
    (void)std::system("uptime");

    struct Packer {
        std::string name;
        std::string command;  // empty: build_zip
        std::string output;
        double best = 1e9, best_cpu = 1e9;
        uint64_t bytes = 0;
    };
    std::vector<Packer> packers = {
        {"build_zip", "", platform::path_text(out / "ours.zip")},
        {"zip -6", "zip -6 -q -j '" + info_zip + "' -@ < '" + list + "'", info_zip},
        {"7zz -mx=5 -mmt=on",
         "7zz a -bd -bso0 -tzip -mx=5 -mmt=on '" + seven_zip + "' '@" + list + "'", seven_zip},
        {"tar | pigz -6 -p " + cores,
         "tar -cPf - -T '" + list + "' | pigz -6 -p " + cores + " > '" + pigz_tgz + "'", pigz_tgz},
    };

    each_piece(files, [](const char*, size_t) {});  // into the page cache
    for (int round = 0; round < 2; ++round) {
        std::printf("round %d:", round + 1);
        for (Packer& packer : packers) {
            std::filesystem::remove(platform::path_from_text(packer.output));
            const bool ours = packer.command.empty();
            double cpu = cpu_seconds(!ours);
            const auto start = Clock::now();
            if (ours) {
                PackOptions options;
                options.threads = threads;
                const auto built = build_zip(units, false, "note",
                                             platform::path_from_text(packer.output), options);
                if (!built) {
                    std::fprintf(stderr, "build_zip failed: %s\n", built.error().c_str());
                    return 1;
                }
            } else if (const int rc = std::system(packer.command.c_str()); rc != 0) {
                std::fprintf(stderr, "%s failed with %d\n", packer.name.c_str(), rc);
                return 1;
            }
            const double took = seconds_since(start);
            cpu = cpu_seconds(!ours) - cpu;
            packer.best = std::min(packer.best, took);
            packer.best_cpu = std::min(packer.best_cpu, cpu);
            packer.bytes = std::filesystem::file_size(platform::path_from_text(packer.output));
            std::printf(" %s %.2f s (%.2f s processor);", packer.name.c_str(), took, cpu);
            std::fflush(stdout);
        }
        std::printf("\n");
    }
    const Packer& ours = packers[0];
    for (const Packer& packer : packers) {
        std::printf(
            "%-22s %6.1f MiB/s, %6.2f s, %6.2f s processor, %8.1f MiB (%.2f %% of the input)",
            packer.name.c_str(), mib(bytes) / packer.best, packer.best, packer.best_cpu,
            mib(packer.bytes),
            100.0 * static_cast<double>(packer.bytes) / static_cast<double>(bytes));
        if (&packer != &ours) {
            std::printf(
                "; build_zip is %.2fx its speed, its size %+.2f %%", packer.best / ours.best,
                100.0 * (static_cast<double>(ours.bytes) / static_cast<double>(packer.bytes) - 1));
        }
        std::printf("\n");
    }

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
    // The block pool alone, a few blocks in flight per thread, as build_zip keeps them.
    double pool_s = 0;
    {
        DeflatePool pool(threads);
        std::vector<DeflateBlock> blocks(2 * pool.threads() + 2);
        size_t next = 0, in_flight = 0;
        std::vector<unsigned char> carry;
        pool_s = each_piece(files, [&](const char* p, size_t n) {
            DeflateBlock& block = blocks[next];
            if (in_flight == blocks.size()) pool.wait(block);
            block.input.assign(p, p + n);
            block.last = n < DEFLATE_BLOCK_BYTES;
            pool.deflate(block);
            in_flight = std::min(in_flight + 1, blocks.size());
            next = (next + 1) % blocks.size();
        });
        const auto start = Clock::now();
        for (DeflateBlock& block : blocks) {
            if (!block.input.empty()) pool.wait(block);
        }
        pool_s += seconds_since(start);
    }
    auto start = Clock::now();
    const auto final_hash = hash_file(platform::path_from_text(ours.output));
    const double final_s = seconds_since(start);
    std::printf(
        "alone: read %.2f s, SHA-256 (with read) %.2f s, deflate -6 on one thread (with read) "
        "%.2f s, on the block pool of %u (with read) %.2f s, fingerprint of the zip %.2f s\n",
        read_s, sha_s, deflate_s, threads, pool_s, final_hash ? final_s : 0.0);
    std::filesystem::remove_all(out);
    return 0;
}
