// How the tests reach the delivery service stand-in (the HTTP client's, the protocol's and the
// interface's tests alike): started in this process on Linux; on
// Windows, where the tests run under Wine, started beside the program by tests/run_with_standin.py,
// which passes its addresses in the environment. Either way the tests drive it through its
// control interface over HTTP, so the same tests run on both builds.
#pragma once

#include <cstdint>
#include <expected>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "winhttp/http_client.h"

namespace dalvento {

// A failed exchange as a test failure shows it.
inline std::ostream& operator<<(std::ostream& out, const HttpFailure& failure) {
    return out << failure.text;
}

}  // namespace dalvento

namespace dalvento::testing {

struct StandinService {
    std::string url;      // http://127.0.0.1:{port}; empty when no stand-in could be reached
    std::string tls_url;  // the same over HTTPS with a self-signed certificate
    std::string token;    // the office token it accepts
    std::string problem;  // why there is none
};

const StandinService& standin_service();

// Two real proxies on loopback (tinyproxy): one that lets anything through, one that asks every
// request to sign in with a password (Basic), which the program must never answer. Started by
// run_with_standin.py under Wine, in this process elsewhere.
struct ProxyService {
    std::string url;          // http://127.0.0.1:{port}
    std::string sign_in_url;  // the one that answers 407
    std::string problem;      // why there are none
};

const ProxyService& proxy_service();

// Sends this process's HTTP through a proxy while it lives, in the way the platform's client
// takes one: the environment's http_proxy for curl and for Wine's WinHTTP.
class ThroughProxy {
  public:
    explicit ThroughProxy(const std::string& url);
    ~ThroughProxy();
    ThroughProxy(const ThroughProxy&) = delete;
    ThroughProxy& operator=(const ThroughProxy&) = delete;
};

// Calls the control interface ("/_standin/...") and returns the reply parsed as JSON; null when
// the call failed or did not answer 200.
nlohmann::json standin_control(std::string_view method, std::string_view path,
                               const nlohmann::json& body = nlohmann::json::object());

// Progress calls as they came.
struct ProgressLog {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
};

// http_request with the product's user agent, recording progress.
std::expected<HttpReply, std::string> exchange(std::string_view method, std::string_view url,
                                               const std::vector<std::string>& headers,
                                               std::string_view body, ProgressLog* log = nullptr);

}  // namespace dalvento::testing
