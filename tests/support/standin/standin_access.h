// How the tests reach the delivery service stand-in (the HTTP client's, the protocol's and the
// interface's tests alike): started in this process on Linux; on
// Windows, where the tests run under Wine, started beside the program by tests/run_with_standin.py,
// which passes its addresses in the environment. Either way the tests drive it through its
// control interface over HTTP, so the same tests run on both builds.
#pragma once

#include <cstdint>
#include <expected>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "winhttp/http_client.h"

namespace dalvento::testing {

struct StandinService {
    std::string url;      // http://127.0.0.1:{port}; empty when no stand-in could be reached
    std::string tls_url;  // the same over HTTPS with a self-signed certificate
    std::string token;    // the office token it accepts
    std::string problem;  // why there is none
};

const StandinService& standin_service();

// Calls the control interface ("/_standin/...") and returns the reply parsed as JSON; null when
// the call failed or did not answer 200.
nlohmann::json standin_control(std::string_view method, std::string_view path,
                               const nlohmann::json& body = nlohmann::json::object());

// Progress calls as they came.
struct ProgressLog {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
};
void record_progress(void* log, uint64_t sent, uint64_t total);

// http_request with the product's user agent, recording progress.
std::expected<HttpReply, std::string> exchange(std::string_view method, std::string_view url,
                                               const std::vector<std::string>& headers,
                                               std::string_view body, ProgressLog* log = nullptr);

}  // namespace dalvento::testing
