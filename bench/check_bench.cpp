// Checker benchmark: dalvento-check's checks on the zip of a generated export, called here and as
// the program, against, in the same run and on the same zip, what a receiver does without it:
// `unzip -t`, then unpacking with `unzip` and `sha256sum -c` over the unpacked members. Best of two
// each, with the machine's load.
//
//   check_bench [FOLDER] [--layer-mb N] [--tables-mb N] [--other-files N]
//
// FOLDER (default: a new folder under the temporary folder) receives a generated export unless
// it already holds one; it is kept, so later runs skip the generation.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_export.h"
#include "check/delivery_check.h"
#include "core/packing/note.h"
#include "core/packing/zip_builder.h"
#include "core/platform/platform.h"
#include "core/sources/export_date.h"
#include "core/sources/scan.h"
#include "export_generator.h"

namespace {

using namespace dalvento;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double mib(uint64_t bytes) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    const bench::BenchExport made = bench::bench_export_from_args(argc, argv, "dalvento-check-bench");
    if (!bench::ensure_bench_export(made)) return 1;
    const std::filesystem::path& folder = made.folder;
    State state = bench::bench_state(folder);
    auto units = scan_sources(state);
    uint64_t bytes = 0;
    for (DeliveryUnit& unit : units) {
        unit.selected = true;
        if (unit.total_bytes) bytes += *unit.total_bytes;
    }
    const auto date = settle_export_date(units);
    if (!date) {
        std::fprintf(stderr, "the export has no date\n");
        return 1;
    }
    const std::filesystem::path out = folder.parent_path() / "dalvento-check-bench-out";
    std::filesystem::remove_all(out);
    std::filesystem::create_directories(out);
    const std::string note = note_text(
        units, false, NoteInput{"bench", "", "", *date, std::chrono::system_clock::now()});
    const auto built = build_zip(units, false, note, choose_zip_path(out, date->date, units));
    if (!built) {
        std::fprintf(stderr, "build_zip failed: %s\n", built.error().c_str());
        return 1;
    }
    const std::string zip = platform::path_text(built->path);
    const std::string unpacked = platform::path_text(out / "unpacked");
    std::printf("%zu members, %.0f MiB of members, zip %.0f MiB; machine load: ",
                built->file_count + 2, mib(bytes), mib(built->bytes));
    std::fflush(stdout);
    (void)std::system("uptime");

    struct Step {
        std::string name;
        std::string command;  // empty: dalvento-check's checks
        double best = 1e9;
    };
    std::vector<Step> steps = {
        {"dalvento-check", ""},
        {"the program", "'" DALVENTO_CHECK_PROGRAM "' '" + zip + "' > /dev/null"},
        {"unzip -t", "unzip -tq '" + zip + "' > /dev/null"},
        {"unzip (unpack)",
         "rm -rf '" + unpacked + "' && unzip -qo '" + zip + "' -d '" + unpacked + "'"},
        {"sha256sum -c", "cd '" + unpacked + "' && sha256sum -c --quiet SHA256SUMS"},
    };
    (void)std::system(("cat '" + zip + "' > /dev/null").c_str());  // into the page cache
    for (int round = 0; round < 2; ++round) {
        std::printf("round %d:", round + 1);
        for (Step& step : steps) {
            const auto start = Clock::now();
            if (step.command.empty()) {
                const CheckReport report = check_delivery(built->path);
                if (exit_status(report) != 0) {
                    std::fprintf(stderr, "the check found problems:\n%s",
                                 report_text(report).c_str());
                    return 1;
                }
            } else if (const int rc = std::system(step.command.c_str()); rc != 0) {
                std::fprintf(stderr, "%s failed with %d\n", step.name.c_str(), rc);
                return 1;
            }
            const double took = seconds_since(start);
            step.best = std::min(step.best, took);
            std::printf(" %s %.2f s;", step.name.c_str(), took);
            std::fflush(stdout);
        }
        std::printf("\n");
    }
    const double ours = std::max(steps[0].best, steps[1].best);
    const double test_and_sums = steps[2].best + steps[4].best;
    const double with_unpack = test_and_sums + steps[3].best;
    for (const Step& step : steps)
        std::printf("%-16s %6.2f s, %7.1f MiB/s of members\n", step.name.c_str(), step.best,
                    mib(bytes) / step.best);
    std::printf(
        "unzip -t + sha256sum -c: %.2f s (dalvento-check, the slower of its two, is %.2fx its "
        "speed); with the unpacking sha256sum needs: %.2f s (%.2fx)\n",
        test_and_sums, test_and_sums / ours, with_unpack, with_unpack / ours);
    std::filesystem::remove_all(out);
    return 0;
}
