#include "standin_process.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>

#include "core/platform/platform.h"
#include "support/test_support.h"
#include "upload/delivery.h"

#ifndef _WIN32
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace dalvento::testing {

namespace {

#ifndef _WIN32
constexpr const char* LOCAL_TOKEN = "dlvt_upload_tests_standin";

// A dalvento-standin process, stopped when the test program ends.
class StandinProcess {
  public:
    ~StandinProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        if (output_) std::fclose(output_);
    }

    StandinAddress start() {
        StandinAddress address;
        address.token = LOCAL_TOKEN;
        std::filesystem::path program;
        if (const auto given = platform::get_env("DALVENTO_STANDIN"); given && !given->empty()) {
            program = *given;
        } else {
            // build/<name>/tests/upload_tests -> build/<name>/tools/dalvento-standin
            std::error_code error;
            program =
                std::filesystem::read_symlink("/proc/self/exe", error).parent_path().parent_path() /
                "tools" / "dalvento-standin";
        }
        if (::access(program.c_str(), X_OK) != 0) {
            address.problem = "the stand-in program " + text(program) +
                              " is missing; build the dalvento-standin target";
            return address;
        }
        int pipe_ends[2];
        if (::pipe(pipe_ends) != 0) {
            address.problem = "no pipe for the stand-in";
            return address;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
        posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
        const std::string data = text(dir_ / "data");
        const std::string program_text = text(program);
        const char* argv[] = {program_text.c_str(), "--port",  "0",         "--data",
                              data.c_str(),         "--token", LOCAL_TOKEN, nullptr};
        const int spawned = posix_spawn(&pid_, program_text.c_str(), &actions, nullptr,
                                        const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipe_ends[1]);
        output_ = ::fdopen(pipe_ends[0], "r");
        if (spawned != 0 || !output_) {
            pid_ = -1;
            address.problem = "could not start " + program_text;
            return address;
        }
        char line[256] = {};
        const std::string prefix = "listening on ";
        if (!std::fgets(line, sizeof line, output_) || std::string(line).rfind(prefix, 0) != 0) {
            address.problem = program_text + " did not start (said \"" + line + "\")";
            return address;
        }
        std::string where = std::string(line).substr(prefix.size());
        while (!where.empty() && (where.back() == '\n' || where.back() == '\r'))
            where.pop_back();
        address.url = "http://" + where;
        return address;
    }

  private:
    TempDir dir_;
    pid_t pid_ = -1;
    FILE* output_ = nullptr;
};
#endif

StandinAddress find_standin() {
    StandinAddress address;
    address.url = platform::get_env("DALVENTO_STANDIN_URL").value_or("");
    address.token = platform::get_env("DALVENTO_STANDIN_TOKEN").value_or("");
    if (!address.url.empty()) return address;
#ifdef _WIN32
    address.problem =
        "DALVENTO_STANDIN_URL is not set: run this program through "
        "tests/run_with_standin.py";
    return address;
#else
    static StandinProcess process;
    return process.start();
#endif
}

}  // namespace

const StandinAddress& standin_address() {
    static const StandinAddress address = find_standin();
    return address;
}

nlohmann::json standin_call(std::string_view method, std::string_view path,
                            const nlohmann::json& body) {
    static const auto http = make_http_seam();
    const std::string json = method == "GET" ? "" : body.dump();
    const auto reply = http->request(
        method, standin_address().url + std::string(path), {"Content-Type: application/json"},
        std::span(reinterpret_cast<const uint8_t*>(json.data()), json.size()), nullptr,
        [](void*, uint64_t, uint64_t) {});
    if (!reply || reply->status != 200) return nullptr;
    return nlohmann::json::parse(reply->body, nullptr, false);
}

}  // namespace dalvento::testing
