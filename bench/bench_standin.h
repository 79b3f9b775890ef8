// What the upload benchmarks share: the stand-in as a process of its own, a generated zip and its
// announce, all on Linux; the sending roles under Wine need only the hashing.
#pragma once

#ifndef _WIN32
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/platform/platform.h"
#include "core/platform/sha256.h"
#include "upload/delivery.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace dalvento::bench {

namespace fs = std::filesystem;
using Json = nlohmann::json;

inline constexpr const char* TOKEN = "dlvt_upload_bench";

using Clock = std::chrono::steady_clock;

inline double seconds_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

inline double mib(uint64_t bytes) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

#ifndef _WIN32
inline bool generate(const fs::path& path, uint64_t size) {
    auto out = platform::OutputFile::create(path);
    if (!out) return false;
    std::vector<uint64_t> buffer(1 << 17);  // 1 MiB
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (uint64_t written = 0; written < size;) {
        for (uint64_t& word : buffer) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            word = x;
        }
        const size_t n = static_cast<size_t>(std::min<uint64_t>(size - written, buffer.size() * 8));
        if (!out->write_all(buffer.data(), n)) return false;
        written += n;
    }
    return out->close().has_value();
}
#endif

inline std::string file_sha256(const fs::path& path) {
    auto in = platform::InputFile::open(path);
    Sha256 hash;
    std::vector<char> buffer(1 << 20);
    while (in) {
        const auto n = in->read(buffer.data(), buffer.size());
        if (!n || *n == 0) break;
        hash.update(buffer.data(), *n);
    }
    return hash.finish_hex();
}

#ifndef _WIN32
class Standin {
  public:
    ~Standin() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        if (output_) std::fclose(output_);
    }

    bool start(const fs::path& program, const fs::path& data, uint64_t part_size,
               uint64_t rate = 0) {
        int ends[2];
        if (::pipe(ends) != 0) return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
        posix_spawn_file_actions_addclose(&actions, ends[0]);
        const std::string program_text = program.native(), data_text = data.native(),
                          part_text = std::to_string(part_size), rate_text = std::to_string(rate);
        const char* argv[] = {program_text.c_str(),
                              "--port",
                              "0",
                              "--data",
                              data_text.c_str(),
                              "--token",
                              TOKEN,
                              "--part-size",
                              part_text.c_str(),
                              "--rate",
                              rate_text.c_str(),
                              nullptr};
        const int rc = posix_spawn(&pid_, program_text.c_str(), &actions, nullptr,
                                   const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(ends[1]);
        output_ = ::fdopen(ends[0], "r");
        if (rc != 0 || !output_) {
            pid_ = -1;
            return false;
        }
        char line[256] = {};
        if (!std::fgets(line, sizeof line, output_)) return false;
        std::string text = line;
        if (text.rfind("listening on ", 0) != 0) return false;
        text = text.substr(13);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        url_ = "http://" + text;
        return true;
    }

    const std::string& url() const { return url_; }
    pid_t pid() const { return pid_; }

    // What the stand-in received since its last reset.
    Json received() const {
        static const auto http = make_http_seam();
        const auto reply = http->request("GET", url_ + "/_standin/received", {}, {}, {});
        if (!reply) return nullptr;
        return Json::parse(reply->body, nullptr, false);
    }

    Json call(std::string_view path, const Json& body) const {
        static const auto http = make_http_seam();
        const std::string text = body.dump();
        const auto reply = http->request(
            "POST", url_ + std::string(path), {"Content-Type: application/json"},
            std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), {});
        if (!reply) return nullptr;
        return Json::parse(reply->body, nullptr, false);
    }

  private:
    pid_t pid_ = -1;
    FILE* output_ = nullptr;
    std::string url_;
};
#endif

inline std::string announce_body(const fs::path& zip, uint64_t size, const std::string& sha256) {
    DeliveryUnit unit;
    unit.key = "bench.bin";
    unit.kind = UnitKind::file;
    unit.selected = true;
    unit.total_bytes = size;
    unit.sha256 = sha256;
    unit.files.push_back(UnitFile{"bench.bin", zip, sha256, size, std::nullopt});
    return build_announce_body({unit}, false, std::chrono::year(2026) / 3 / 5, "Bench", "2026", "",
                               announce_zip_name(zip), size, sha256);
}

}  // namespace dalvento::bench
