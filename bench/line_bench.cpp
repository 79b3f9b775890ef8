// Sending over a slow, flaky line: a generated zip to the service stand-in limited to a line speed
// (10 MiB/s by default), in the same run as `curl -T` of the same file through the same limit.
//
//   line_bench [--mib N] [--part-mib N] [--rate-mib N] [--dir FOLDER] [--windows PROGRAM.exe]
//
// Rounds: a clean send against curl -T; the same with the connection cut at three random points of
// three random parts; and a stop pressed in the middle of a part and during the wait after a cut,
// timed from the press to the send's end. With --windows, the Windows build (this program under
// Wine) takes the sending role in the same rounds:
//
//   line_bench.exe --role clean|stop-part|stop-wait --url STANDIN_URL --zip FILE
//
// sends FILE once to a running stand-in, set up by the caller, and prints one line of figures.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_standin.h"
#include "upload/delivery.h"

namespace {

using namespace dalvento;
using namespace dalvento::bench;

// What one send in a role gives.
struct RoleRun {
    bool stopped = false, received = false;
    std::string outcome;
    double total = 0, upload = 0;  // seconds; the upload stage from its first report to complete
    double waits = 0;              // seconds spent waiting to try again
    double stop_ms = -1;           // from the press to the send's end
};

// One send of `zip` to `url`. mode: "clean" sends it through; "stop-part" presses stop once half
// the zip has gone, in the middle of a part; "stop-wait" presses it half a second into the first
// wait before another attempt.
RoleRun run_role(const std::string& mode, const std::string& url, const fs::path& zip) {
    std::error_code error;
    const uint64_t size = fs::file_size(zip, error);
    const SendJob job{.base_url = url,
                      .token = TOKEN,
                      .zip_path = zip,
                      .announce_body = announce_body(zip, size, file_sha256(zip))};
    std::atomic<bool> stop = false, ended = false;
    std::atomic<uint64_t> done = 0;
    std::atomic<int64_t> first_wait_ns = 0;
    Clock::time_point upload_start{}, complete_start{}, wait_start{};
    RoleRun run;
    const auto report = [&](const SendStatus& status) {
        const auto now = Clock::now();
        if (status.stage == SendStage::upload) {
            if (upload_start == Clock::time_point{}) upload_start = now;
            done = status.done;
        }
        if (status.stage == SendStage::complete && complete_start == Clock::time_point{})
            complete_start = now;
        if (status.waiting && wait_start == Clock::time_point{}) {
            wait_start = now;
            if (first_wait_ns == 0) first_wait_ns = now.time_since_epoch().count();
        }
        if (!status.waiting && wait_start != Clock::time_point{}) {
            run.waits += seconds_between(wait_start, now);
            wait_start = {};
        }
    };
    Clock::time_point pressed{};
    std::thread watcher([&] {
        if (mode == "clean") return;
        while (!ended) {
            const bool due =
                mode == "stop-part"
                    ? done >= size / 2
                    : first_wait_ns != 0 &&
                          Clock::now().time_since_epoch().count() - first_wait_ns >= 500'000'000;
            if (due) {
                pressed = Clock::now();
                stop = true;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    const auto start = Clock::now();
    const SendOutcome outcome = send_delivery(job, {.report = report, .stop = &stop});
    const auto end = Clock::now();
    ended = true;
    watcher.join();
    run.total = seconds_between(start, end);
    if (upload_start != Clock::time_point{} && complete_start != Clock::time_point{})
        run.upload = seconds_between(upload_start, complete_start);
    run.received = outcome.has_value() && !outcome->already_received;
    run.stopped = !outcome && outcome.error().kind == SendErrorKind::stopped;
    run.outcome = outcome ? "received" : send_error_message(outcome.error());
    if (pressed != Clock::time_point{}) run.stop_ms = seconds_between(pressed, end) * 1000;
    return run;
}

void print_role(const RoleRun& run) {
    std::printf("role: %s total %.3f s upload %.3f s waits %.3f s stop %.1f ms | %s\n",
                run.received  ? "received"
                : run.stopped ? "stopped"
                              : "failed",
                run.total, run.upload, run.waits, run.stop_ms, run.outcome.c_str());
    std::fflush(stdout);
}

#ifndef _WIN32
// The same role in the Windows build under Wine, read back from its line.
std::optional<RoleRun> windows_role(const fs::path& program, const std::string& mode,
                                    const std::string& url, const fs::path& zip) {
    const std::string command = "WINEDEBUG=-all wine '" + program.native() + "' --role " + mode +
                                " --url '" + url + "' --zip 'Z:" + zip.native() + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    char line[1024];
    while (pipe && std::fgets(line, sizeof line, pipe))
        output += line;
    if (pipe) ::pclose(pipe);
    const auto at = output.find("role: ");
    RoleRun run;
    char kind[16] = {};
    if (at == std::string::npos ||
        std::sscanf(output.c_str() + at, "role: %15s total %lf s upload %lf s waits %lf s stop %lf",
                    kind, &run.total, &run.upload, &run.waits, &run.stop_ms) != 5) {
        std::printf("the Windows build said: %s\n", output.c_str());
        return std::nullopt;
    }
    run.received = std::string(kind) == "received";
    run.stopped = std::string(kind) == "stopped";
    return run;
}

int orchestrate(uint64_t size, uint64_t part_size, uint64_t rate, const fs::path& base,
                const fs::path& windows) {
    const fs::path program = fs::read_symlink("/proc/self/exe").parent_path().parent_path() /
                             "tools" / "dalvento-standin";
    const fs::path folder = base / ("dalvento-line-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const fs::path zip = folder / "QUARNELL-2026-03-05-line.zip";
    std::printf("generating %.0f MiB ...\n", mib(size));
    if (!generate(zip, size)) return 1;
    Standin standin;
    if (!standin.start(program, folder / "standin", part_size, rate)) {
        std::printf("could not start %s\n", program.c_str());
        return 1;
    }
    const uint64_t parts = (size + part_size - 1) / part_size;
    std::printf("stand-in at %s limited to %.1f MiB/s, %llu parts of %.0f MiB\n",
                standin.url().c_str(), mib(rate), static_cast<unsigned long long>(parts),
                mib(part_size));
    const auto fresh = [&](bool single_url, const Json& faults) {
        standin.call("/_standin/reset", Json::object());
        standin.call("/_standin/settings", {{"single_url", single_url}});
        standin.call("/_standin/faults", {{"faults", faults}});
        fs::remove_all(folder / "standin");
        fs::create_directories(folder / "standin");
    };
    // The parts the stand-in was sent since the last reset, cut ones included.
    const auto part_requests = [&] {
        size_t count = 0;
        const Json received = standin.received();
        if (!received.is_object()) std::printf("the stand-in did not say what it received\n");
        for (const Json& r : received.value("requests", Json::array()))
            count += r["step"] == "upload";
        return count;
    };
    // Each role on Linux, then on the Windows build when given.
    struct Run {
        std::string who;
        RoleRun run;
        size_t parts_sent = 0;
    };
    const auto both = [&](const std::string& mode, const Json& faults) {
        std::vector<Run> runs;
        fresh(false, faults);
        runs.push_back({"Linux", run_role(mode, standin.url(), zip)});
        runs.back().parts_sent = part_requests();
        if (!windows.empty()) {
            fresh(false, faults);
            if (auto run = windows_role(windows, mode, standin.url(), zip)) {
                runs.push_back({"Windows build under Wine", *run});
                runs.back().parts_sent = part_requests();
            }
        }
        return runs;
    };

    // Line speed: the clean send against curl -T through the same limit.
    const auto clean = both("clean", Json::array());
    fresh(true, Json::array());
    static const auto http = make_http_seam();
    const auto announced = http->post_json(standin.url() + "/v1/deliveries", TOKEN,
                                           announce_body(zip, size, file_sha256(zip)), {});
    const Json plan = announced ? Json::parse(announced->body, nullptr, false) : Json();
    if (!announced || !plan.contains("upload")) return 1;
    const std::string curl =
        "curl -sS -f -o /dev/null -H 'Expect:' -H "
        "'Content-Type: application/zip' -T '" +
        zip.native() + "' '" + plan["upload"].value("url", "") + "'";
    const auto curl_start = Clock::now();
    const int curl_rc = std::system(curl.c_str());
    const double curl_seconds = seconds_between(curl_start, Clock::now());
    std::printf("\nline speed: curl -T %.2f s (%.2f MiB/s)%s\n", curl_seconds,
                mib(size) / curl_seconds, curl_rc == 0 ? "" : " FAILED");
    for (const Run& r : clean) {
        std::printf("  %s: upload stage %.2f s (%.2f MiB/s), %.3fx curl -T; %s\n", r.who.c_str(),
                    r.run.upload, mib(size) / r.run.upload, curl_seconds / r.run.upload,
                    r.run.received ? "received" : r.run.outcome.c_str());
    }

    // Bad line: three random parts each cut once at a random point.
    std::mt19937_64 random{std::random_device{}()};
    std::vector<uint64_t> numbers(parts);
    for (uint64_t i = 0; i < parts; ++i)
        numbers[i] = i + 1;
    std::shuffle(numbers.begin(), numbers.end(), random);
    Json cuts = Json::array();
    std::string where;
    for (size_t i = 0; i < std::min<size_t>(3, numbers.size()); ++i) {
        const uint64_t part = numbers[i];
        const uint64_t bytes = std::min(part_size, size - (part - 1) * part_size);
        const uint64_t at = std::uniform_int_distribution<uint64_t>(1, bytes - 1)(random);
        cuts.push_back({{"step", "upload"},
                        {"part", part},
                        {"attempt", 1},
                        {"drop", true},
                        {"drop_after", at}});
        where += " part " + std::to_string(part) + " at " + std::to_string(at);
    }
    const double part_seconds = static_cast<double>(part_size) / static_cast<double>(rate);
    std::printf("\nbad line, cut at%s:\n", where.c_str());
    const auto bad = both("clean", cuts);
    for (size_t i = 0; i < bad.size() && i < clean.size(); ++i) {
        const RoleRun& run = bad[i].run;
        const double bound = clean[i].run.upload + run.waits + 3 * part_seconds;
        std::printf(
            "  %s: %s; %zu parts sent for %llu in the zip; upload stage %.2f s, of which "
            "waiting %.2f s; at most the clean send's %.2f s + the waits + 3 parts' %.2f s = "
            "%.2f s: %s\n",
            bad[i].who.c_str(), run.received ? "received" : run.outcome.c_str(), bad[i].parts_sent,
            static_cast<unsigned long long>(parts), run.upload, run.waits, clean[i].run.upload,
            3 * part_seconds, bound, run.upload <= bound ? "yes" : "NO");
    }

    // Stop: in the middle of a part, and during the wait after a cut.
    std::printf("\nstop:\n");
    for (const auto& [mode, faults] :
         {std::pair<std::string, Json>{"stop-part", Json::array()},
          std::pair<std::string, Json>{"stop-wait",
                                       Json::array({{{"step", "upload"},
                                                     {"part", 2},
                                                     {"attempt", 1},
                                                     {"drop", true},
                                                     {"drop_after", part_size / 2}}})}}) {
        for (const Run& r : both(mode, faults)) {
            std::printf("  %s, %s: %.1f ms from the press to the end (%s)\n", mode.c_str(),
                        r.who.c_str(), r.run.stop_ms,
                        r.run.stopped ? "stopped" : r.run.outcome.c_str());
        }
    }
    fs::remove_all(folder);
    return 0;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    uint64_t size = 256ull << 20, part_size = 8ull << 20, rate = 10ull << 20;
    fs::path base = fs::temp_directory_path(), windows, zip;
    std::string role, url;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i], value = argv[i + 1];
        if (arg == "--mib") size = std::stoull(value) << 20;
        if (arg == "--part-mib") part_size = std::stoull(value) << 20;
        if (arg == "--rate-mib") rate = std::stoull(value) << 20;
        if (arg == "--dir") base = value;
        if (arg == "--windows") windows = fs::absolute(value);
        if (arg == "--role") role = value;
        if (arg == "--url") url = value;
        if (arg == "--zip") zip = value;
    }
    if (!role.empty()) {
        print_role(run_role(role, url, zip));
        return 0;
    }
#ifdef _WIN32
    std::printf("usage: line_bench.exe --role clean|stop-part|stop-wait --url URL --zip FILE\n");
    return 2;
#else
    return orchestrate(size, part_size, rate, base, windows);
#endif
}
