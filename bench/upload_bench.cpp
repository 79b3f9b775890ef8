// Upload benchmark: send_delivery of a generated 1 GiB zip to the service stand-in on loopback in
// 8 MiB parts, against `curl -T` of the same file to an upload link of the same stand-in, in the
// same run, and against `curl -T` with `openssl dgst -sha256` of the file running alongside (the
// peer tools reading, hashing and sending, as the sender does). Prints the throughputs, their
// ratios and the peak memory of this (sending) process, and what bounds a send: the processor time
// each side took (on Linux), the same parts read and hashed with nothing sent, and sent from memory
// with nothing read or hashed.
//
//   upload_bench [--mib N] [--part-mib N] [--rounds N] [--dir FOLDER]
//
//   upload_bench ... --windows PROGRAM.exe
//
// also times the Windows build sending the same file to the same stand-in in the same run: the
// Windows build of this program, started under Wine once a round, in the sending role below.
//
//   upload_bench.exe --url STANDIN_URL --zip FILE [--part-mib N]   (Linux has it too)
//
// sends FILE once to a running stand-in, reset by the caller, and prints one line of figures:
// the sending role.
//
// The stand-in runs as its own process (dalvento-standin beside this build, or DALVENTO_STANDIN)
// so that the peak memory measured here is the sender's alone. Files go under FOLDER (default:
// the temporary folder) and are removed at the end.
#ifdef _WIN32
#include <windows.h>
// psapi.h needs the types of windows.h.
#include <psapi.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_standin.h"
#include "core/platform/platform.h"
#include "core/platform/sha256.h"
#include "upload/delivery.h"
#include "winhttp/http_client.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace {

using namespace dalvento;
using namespace dalvento::bench;
using Json = nlohmann::json;
namespace fs = std::filesystem;

#ifdef _WIN32
// Peak working set of this process in KiB. Windows cannot start the peak over: the sending role
// reads its file in 1 MiB pieces before it sends, which stays below what a send needs.
long vm_hwm_kib() {
    PROCESS_MEMORY_COUNTERS counters{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return -1;
    return static_cast<long>(counters.PeakWorkingSetSize / 1024);
}

void reset_peak() {}
#else
// Peak resident memory of this process in KiB, from /proc/self/status.
long vm_hwm_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

// Processor seconds, user and system, of this process (all its threads) or of its children that
// have been waited for (`who`, as getrusage takes it), and of a running process by pid.
double rusage_seconds(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double cpu_seconds_of(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields 14 and 15 (utime, stime) come after the name in parentheses.
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string skip;
    for (int field = 3; field < 14; ++field)
        fields >> skip;
    double user = 0, system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Starts the peak over from the current resident size.
void reset_peak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}
#endif

// Processor seconds, user and system: the sending side's (this process, or curl) and the
// stand-in's.
struct ProcessorTime {
    double sender = 0, standin = 0;
    ProcessorTime operator-(const ProcessorTime& since) const {
        return {sender - since.sender, standin - since.standin};
    }
};

struct SendRun {
    bool ok = false;
    std::string problem;
    double total_seconds = 0;
    double upload_seconds = 0;  // from the first upload report to the complete stage
    long peak_kib = 0;
    ProcessorTime upload_processor;  // over the upload stage, where measured
};

// processor_time, where given, tells the processor seconds used so far.
SendRun run_send(const std::string& url, const fs::path& zip, const std::string& announce,
                 const std::function<ProcessorTime()>& processor_time = {}) {
    Clock::time_point upload_start{}, complete_start{};
    ProcessorTime at_upload, at_complete;
    const SendJob job{.base_url = url, .token = TOKEN, .zip_path = zip, .announce_body = announce};
    const auto report = [&](const SendStatus& status) {
        if (status.stage == SendStage::upload && upload_start == Clock::time_point{}) {
            upload_start = Clock::now();
            if (processor_time) at_upload = processor_time();
        }
        if (status.stage == SendStage::complete && complete_start == Clock::time_point{}) {
            complete_start = Clock::now();
            if (processor_time) at_complete = processor_time();
        }
    };
    SendRun run;
    reset_peak();
    const auto start = Clock::now();
    const SendOutcome outcome = send_delivery(job, {.report = report});
    run.total_seconds = seconds_between(start, Clock::now());
    run.peak_kib = vm_hwm_kib();
    run.ok = outcome.has_value() && !outcome->already_received;
    if (!outcome) run.problem = send_error_message(outcome.error());
    if (upload_start != Clock::time_point{} && complete_start != Clock::time_point{}) {
        run.upload_seconds = seconds_between(upload_start, complete_start);
        run.upload_processor = at_complete - at_upload;
    }
    return run;
}

// Answers at once, so that a send through it times what the sender itself does with each part:
// reading it from the zip and hashing it.
class InstantService final : public HttpSeam {
  public:
    InstantService(uint64_t size, uint64_t part_size) : size_(size), part_size_(part_size) {}

    HttpResult request(std::string_view method, std::string_view url,
                       const std::vector<std::string>&, std::span<const uint8_t> body,
                       const HttpWatch& watch) override {
        if (watch.progress) watch.progress(body.size(), body.size());
        if (method == "PUT") return HttpReply{200, "", std::nullopt};
        if (url.ends_with("/complete")) return HttpReply{200, R"({"received_at":"now"})", {}};
        Json parts = Json::array();
        for (uint64_t part = 1, offset = 0; offset < size_; ++part, offset += part_size_) {
            parts.push_back({{"part", part},
                             {"url", "http://instant/" + std::to_string(part)},
                             {"bytes", std::min(part_size_, size_ - offset)}});
        }
        const Json reply = {{"delivery_id", "bench"},
                            {"county", "QUARNELL"},
                            {"upload", {{"part_size", part_size_}, {"parts", parts}}}};
        return HttpReply{201, reply.dump(), std::nullopt};
    }

  private:
    uint64_t size_, part_size_;
};

// Seconds of a send to the InstantService: what reading and hashing the parts cost; negative
// when the send fails.
double offline_seconds(const fs::path& zip, uint64_t size, uint64_t part_size,
                       const std::string& announce) {
    InstantService instant(size, part_size);
    const SendJob job{
        .base_url = "http://instant", .token = TOKEN, .zip_path = zip, .announce_body = announce};
    const auto start = Clock::now();
    const SendOutcome outcome = send_delivery(job, instant);
    const double seconds = seconds_between(start, Clock::now());
    return outcome.has_value() ? seconds : -seconds;
}

// Seconds to PUT `size` bytes in parts from memory over one session to the stand-in's echo step:
// the network alone, without reading or hashing; negative when a part fails.
double network_seconds(const std::string& url, uint64_t size, uint64_t part_size) {
    HttpSession session(make_user_agent(USER_AGENT));
    const std::vector<uint8_t> part(static_cast<size_t>(part_size), 'p');
    const auto start = Clock::now();
    for (uint64_t sent = 0; sent < size; sent += part_size) {
        const auto reply = session.request("PUT", url + "/_standin/echo", {}, part);
        if (!reply || reply->status != 200) return -1;
    }
    return seconds_between(start, Clock::now());
}

// The sending role: one send of `zip` to the stand-in at `url`, already reset by the caller, and
// one line of figures ("sent ...") or of the failure ("failed ...").
int sending_role(const std::string& url, const fs::path& zip, uint64_t part_size) {
    std::error_code error;
    const uint64_t size = fs::file_size(zip, error);
    if (error) {
        std::printf("failed: cannot read %s\n", zip.string().c_str());
        return 1;
    }
    const std::string announce = announce_body(zip, size, file_sha256(zip));
    const long before_kib = vm_hwm_kib();
    const double offline = offline_seconds(zip, size, part_size, announce);
    const SendRun run = run_send(url, zip, announce);
    if (!run.ok) {
        std::printf("failed: %s\n", run.problem.c_str());
        return 1;
    }
    // After the send, whose peak memory is taken.
    const double network = network_seconds(url, size, part_size);
    if (network < 0) {
        std::printf("failed: the echo step did not take the parts\n");
        return 1;
    }
    std::printf(
        "sent %.0f MiB: %.3f s in all, upload stage %.3f s, peak memory %ld KiB (%ld KiB "
        "before sending), without the network %.3f s, the network alone %.3f s\n",
        mib(size), run.total_seconds, run.upload_seconds, run.peak_kib, before_kib, offline,
        network);
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    [[maybe_unused]] uint64_t size = 1024ull << 20;
    [[maybe_unused]] uint64_t part_size = 8ull << 20;
    [[maybe_unused]] int rounds = 1;
    fs::path base = fs::temp_directory_path();
    std::string role_url;
    fs::path role_zip, windows_program;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--url") role_url = argv[i + 1];
        if (arg == "--zip") role_zip = argv[i + 1];
        if (arg == "--windows") windows_program = fs::absolute(argv[i + 1]);
        if (arg == "--mib")
            size = std::stoull(argv[i + 1]) << 20;
        else if (arg == "--part-mib")
            part_size = std::stoull(argv[i + 1]) << 20;
        else if (arg == "--rounds")
            rounds = std::max(1, std::stoi(argv[i + 1]));
        else if (arg == "--dir")
            base = argv[i + 1];
    }
    if (!role_url.empty() && !role_zip.empty()) return sending_role(role_url, role_zip, part_size);
#ifdef _WIN32
    std::printf(
        "usage: upload_bench.exe --url STANDIN_URL --zip FILE (the Linux build runs the "
        "whole benchmark)\n");
    return 2;
#else
    fs::path program;
    if (const char* given = std::getenv("DALVENTO_STANDIN"); given && *given) {
        program = given;
    } else {
        program = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "tools" /
                  "dalvento-standin";
    }
    const fs::path folder = base / ("dalvento-upload-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const fs::path zip = folder / "QUARNELL-2026-03-05-bench.zip";
    const auto run_all = [&]() -> int {
        std::printf("generating %.0f MiB ...\n", mib(size));
        if (!generate(zip, size)) {
            std::printf("could not write %s\n", zip.c_str());
            return 1;
        }
        const std::string sha256 = file_sha256(zip);
        const std::string announce = announce_body(zip, size, sha256);
        Standin standin;
        if (!standin.start(program, folder / "standin", part_size)) {
            std::printf("could not start %s (build the dalvento-standin target)\n",
                        program.c_str());
            return 1;
        }
        std::printf("stand-in at %s, parts of %.0f MiB, peak memory before sending: %.1f MiB\n",
                    standin.url().c_str(), mib(part_size), vm_hwm_kib() / 1024.0);

        reset_peak();
        const double offline = offline_seconds(zip, size, part_size, announce);
        std::printf(
            "without the network (each part read and hashed, answered at once): %.2f s (%.1f "
            "MiB/s), peak memory %.1f MiB%s\n",
            offline, mib(size) / offline, vm_hwm_kib() / 1024.0, offline > 0 ? "" : " (FAILED)");

        double best_send = 0, best_upload = 0, best_curl = 0, best_hashed = 0;
        double best_reachable = 0;
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        double best_windows_send = 0, best_windows_upload = 0;
        long windows_peak_kib = 0;
        long peak = 0;
        // Processor time so far of this process or its waited-for children, and of the stand-in.
        const auto processor_time = [&](int who) {
            return ProcessorTime{rusage_seconds(who), cpu_seconds_of(standin.pid())};
        };
        // Forgets what the stand-in received, files included, before each send.
        const auto fresh_standin = [&](bool single_url) {
            standin.call("/_standin/reset", Json::object());
            standin.call("/_standin/settings", {{"single_url", single_url}});
            fs::remove_all(folder / "standin");
            fs::create_directories(folder / "standin");
        };
        for (int round = 1; round <= rounds; ++round) {
            fresh_standin(false);
            const SendRun run =
                run_send(standin.url(), zip, announce, [&] { return processor_time(RUSAGE_SELF); });
            if (!run.ok) {
                std::printf("send_delivery failed: %s\n", run.problem.c_str());
                return 1;
            }
            const double send_rate = mib(size) / run.total_seconds;
            const double upload_rate = run.upload_seconds > 0 ? mib(size) / run.upload_seconds : 0;
            peak = std::max(peak, run.peak_kib);
            std::printf(
                "round %d send_delivery: %.2f s in all (%.1f MiB/s), upload stage %.2f s "
                "(%.1f MiB/s; processor %.2f s here, %.2f s in the stand-in), peak memory "
                "%.1f MiB\n",
                round, run.total_seconds, send_rate, run.upload_seconds, upload_rate,
                run.upload_processor.sender, run.upload_processor.standin, run.peak_kib / 1024.0);
            best_send = std::max(best_send, send_rate);
            best_upload = std::max(best_upload, upload_rate);

            // curl -T of the same file to an upload link of the same stand-in: a delivery
            // announced with one link for the whole zip. Then the same with `openssl dgst
            // -sha256` of the file running alongside: the peer tools doing what the sender does,
            // reading, hashing and sending at once.
            const auto curl_round = [&](const char* label, const std::string& alongside) {
                fresh_standin(true);
                static const auto http = make_http_seam();
                const auto announced =
                    http->post_json(standin.url() + "/v1/deliveries", TOKEN, announce, {});
                const Json plan = announced ? Json::parse(announced->body, nullptr, false) : Json();
                if (!announced || announced->status != 201 || !plan.contains("upload")) {
                    std::printf("the stand-in gave no upload link for curl\n");
                    return 0.0;
                }
                const std::string url = plan["upload"].value("url", "");
                // Without "Expect: 100-continue", as the sender's own requests go: a server
                // that does not answer it would hold curl's body back for a second.
                const std::string curl =
                    "curl -sS -o /dev/null -w '%{http_code}' -H 'Expect:' -H "
                    "'Content-Type: application/zip' -T '" +
                    zip.native() + "' '" + url + "'";
                const std::string command = alongside.empty()
                                                ? curl
                                                : alongside + " >/dev/null & " + curl +
                                                      "; sent=$?; wait $! || exit 9; exit $sent";
                const ProcessorTime before = processor_time(RUSAGE_CHILDREN);
                const auto start = Clock::now();
                FILE* pipe = ::popen(command.c_str(), "r");
                char answer[16] = {};
                const bool read = pipe && std::fgets(answer, sizeof answer, pipe);
                const int rc = pipe ? ::pclose(pipe) : -1;
                const double seconds = seconds_between(start, Clock::now());
                const ProcessorTime used = processor_time(RUSAGE_CHILDREN) - before;
                if (!read || rc != 0 || std::string(answer) != "200") {
                    std::printf("%s failed (exit %d, status %s)\n", label, rc, answer);
                    return 0.0;
                }
                const double rate = mib(size) / seconds;
                std::printf(
                    "round %d %s: %.2f s (%.1f MiB/s; processor %.2f s in the peer tools, %.2f s "
                    "in the stand-in)\n",
                    round, label, seconds, rate, used.sender, used.standin);
                return rate;
            };
            const double curl_rate = curl_round("curl -T", "");
            const double hashed_rate = curl_round("curl -T with openssl dgst -sha256 alongside",
                                                  "openssl dgst -sha256 '" + zip.native() + "'");
            if (curl_rate == 0 || hashed_rate == 0) return 1;
            // No schedule can finish the upload stage sooner than its processor time, the
            // sender's and the stand-in's, spread over every core.
            const double least =
                (run.upload_processor.sender + run.upload_processor.standin) / cores;
            const double reachable = mib(size) / curl_rate / least;
            std::printf(
                "round %d: the upload stage's processor time over %u cores is %.2f s: at most "
                "%.2fx this round's curl -T\n",
                round, cores, least, reachable);
            best_reachable = std::max(best_reachable, reachable);
            best_curl = std::max(best_curl, curl_rate);
            best_hashed = std::max(best_hashed, hashed_rate);

            if (windows_program.empty()) continue;
            // The Windows build, sending the same file to the same stand-in under Wine. It
            // times itself, so Wine's start-up is not counted.
            fresh_standin(false);
            const std::string wine_command = "WINEDEBUG=-all wine '" + windows_program.native() +
                                             "' --url '" + standin.url() +
                                             "' --zip 'Z:" + zip.native() + "' --part-mib " +
                                             std::to_string(part_size >> 20) + " 2>&1";
            FILE* wine = ::popen(wine_command.c_str(), "r");
            std::string output;
            char line[512];
            while (wine && std::fgets(line, sizeof line, wine))
                output += line;
            const int wine_rc = wine ? ::pclose(wine) : -1;
            double sent_mib = 0, total = 0, upload = 0, offline_windows = 0, network_windows = 0;
            long windows_peak = 0, windows_before = 0;
            const auto at = output.find("sent ");
            if (wine_rc != 0 || at == std::string::npos ||
                std::sscanf(output.c_str() + at,
                            "sent %lf MiB: %lf s in all, upload stage %lf s, peak memory %ld "
                            "KiB (%ld KiB before sending), without the network %lf s, the network "
                            "alone %lf s",
                            &sent_mib, &total, &upload, &windows_peak, &windows_before,
                            &offline_windows, &network_windows) != 7) {
                std::printf("the Windows build failed (exit %d): %s\n", wine_rc, output.c_str());
                return 1;
            }
            const double windows_send = mib(size) / total;
            const double windows_upload = upload > 0 ? mib(size) / upload : 0;
            std::printf(
                "round %d Windows build under Wine: %.2f s in all (%.1f MiB/s), upload stage "
                "%.2f s (%.1f MiB/s), peak working set %.1f MiB (%.1f MiB before sending); without "
                "the network %.2f s (%.1f MiB/s), the network alone %.2f s (%.1f MiB/s)\n",
                round, total, windows_send, upload, windows_upload, windows_peak / 1024.0,
                windows_before / 1024.0, offline_windows, mib(size) / offline_windows,
                network_windows, mib(size) / network_windows);
            best_windows_send = std::max(best_windows_send, windows_send);
            best_windows_upload = std::max(best_windows_upload, windows_upload);
            windows_peak_kib = std::max(windows_peak_kib, windows_peak);
        }
        // Last, so that its part buffer does not stay in the sends' peak memory.
        const double network = network_seconds(standin.url(), size, part_size);
        std::printf(
            "the network alone (the parts from memory over one session, neither read nor "
            "hashed): %.2f s (%.1f MiB/s)%s\n",
            network, mib(size) / network, network > 0 ? "" : " (FAILED)");
        std::printf(
            "\nbest of %d: send_delivery %.1f MiB/s in all, %.1f MiB/s upload stage; "
            "curl -T %.1f MiB/s\n",
            rounds, best_send, best_upload, best_curl);
        std::printf("ratio send_delivery / curl -T: %.2f in all, %.2f upload stage\n",
                    best_send / best_curl, best_upload / best_curl);
        std::printf(
            "curl -T with openssl dgst -sha256 alongside %.1f MiB/s; ratio of the upload stage to "
            "it %.2f\n",
            best_hashed, best_upload / best_hashed);
        std::printf("the most any round's processor time allowed: %.2fx curl -T\n", best_reachable);
        std::printf("peak memory of the sending process: %.1f MiB (parts of %.0f MiB)\n",
                    peak / 1024.0, mib(part_size));
        if (!windows_program.empty()) {
            std::printf(
                "Windows build under Wine: best %.1f MiB/s in all, %.1f MiB/s upload stage; "
                "ratio to curl -T %.2f in all, %.2f upload stage; peak working set %.1f MiB\n",
                best_windows_send, best_windows_upload, best_windows_send / best_curl,
                best_windows_upload / best_curl, windows_peak_kib / 1024.0);
        }
        return 0;
    };
    const int status = run_all();
    fs::remove_all(folder);
    return status;
#endif
}
