// Loading and saving a state file whose hash cache has grown, at doubling sizes, so that the
// growth of the time with the number of entries shows. The file is written under the temporary
// folder (APPDATA points there for the run).
//
//   state_bench [ENTRIES ...]      default: 25000 50000 100000 200000
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "core/platform/platform.h"
#include "core/tracking/state_file.h"

using namespace dalvento;

namespace {

// Wall-clock seconds, and the processor time the process spent (which a busy machine does not
// stretch).
struct Stopwatch {
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    std::clock_t cpu = std::clock();

    std::pair<double, double> seconds() const {
        return {std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count(),
                double(std::clock() - cpu) / CLOCKS_PER_SEC};
    }
};

// A cache as an office's grows: full Windows paths of exports over many cycles.
State state_with_entries(size_t entries) {
    State state;
    state.layers_dirs = {"C:\\GIS\\Exports\\Parcels"};
    state.tables_dirs = {"C:\\Assessment\\Exports"};
    state.other_dirs = {"C:\\Assessment\\Extras"};
    state.sender = "Office staff";
    char hex[65] = {};
    for (size_t i = 0; i < entries; ++i) {
        std::snprintf(hex, sizeof hex, "%016zx%016zx%016zx%016zx", i * 2654435761u, i, ~i,
                      i * 40503u);
        const std::string path = "C:\\Assessment\\Extras\\cycle-" + std::to_string(i / 2000) +
                                 "\\scanned parcel card " + std::to_string(i) + ".pdf";
        state.hash_cache[path] = CachedHash{16384 + i, 1700000000000 + int64_t(i) * 1000, hex};
    }
    return state;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<size_t> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::stoull(argv[i]));
    if (sizes.empty()) sizes = {25000, 50000, 100000, 200000};

    const auto folder = std::filesystem::temp_directory_path() / "dalvento-state-bench";
    std::filesystem::create_directories(folder);
    platform::set_env("APPDATA", platform::path_text(folder));

    std::printf("%9s %10s  %-13s %-13s %-13s\n", "entries", "bytes", "load s", "save s",
                "unchanged s");
    std::printf("%9s %10s  %-13s %-13s %-13s\n", "", "", "wall   cpu", "wall   cpu", "wall   cpu");
    for (const size_t entries : sizes) {
        State state = state_with_entries(entries);
        StateFile file;
        if (auto saved = file.save(state); !saved) {
            std::fprintf(stderr, "save failed: %s\n", saved.error().c_str());
            return 1;
        }
        const auto bytes = std::filesystem::file_size(file.path());

        Stopwatch watch;
        const auto loaded = file.load();
        const auto load_s = watch.seconds();
        if (!loaded) {
            std::fprintf(stderr, "%s\n", loaded.error().c_str());
            return 1;
        }
        if (loaded->hash_cache.size() != entries) {
            std::fprintf(stderr, "loaded %zu entries, not %zu\n", loaded->hash_cache.size(),
                         entries);
            return 1;
        }

        // A save after a change writes the whole file again; one without a change need not.
        state.sender = "Someone else";
        watch = Stopwatch();
        if (!file.save(state)) return 1;
        const auto save_s = watch.seconds();
        watch = Stopwatch();
        if (!file.save(state)) return 1;
        const auto unchanged_s = watch.seconds();

        std::printf("%9zu %10llu  %6.3f %6.3f %6.3f %6.3f %6.3f %6.3f\n", entries,
                    static_cast<unsigned long long>(bytes), load_s.first, load_s.second,
                    save_s.first, save_s.second, unchanged_s.first, unchanged_s.second);
        std::fflush(stdout);
    }
    std::filesystem::remove_all(folder);
    return 0;
}
