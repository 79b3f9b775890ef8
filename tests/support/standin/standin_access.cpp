#include "support/standin/standin_access.h"

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "core/platform/platform.h"
#include "support/test_support.h"

#ifndef _WIN32
#include "standin/standin.h"
#endif

namespace dalvento::testing {

namespace {

#ifndef _WIN32
// The stand-ins live for the whole test program.
struct LocalStandins {
    TempDir dir;
    std::unique_ptr<standin::Standin> http;
    std::unique_ptr<standin::Standin> https;
};

StandinService start_local(LocalStandins& local) {
    StandinService service;
    service.token = "dlvt_local_standin_token";
    standin::Options options;
    options.data = local.dir / "http";
    options.token = service.token;
    auto http = standin::Standin::start(options);
    if (!http) {
        service.problem = http.error();
        return service;
    }
    local.http = std::move(*http);
    service.url = local.http->base_url();

    const std::filesystem::path cert = local.dir / "cert.pem", key = local.dir / "key.pem";
    const std::string command =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -addext "
        "subjectAltName=IP:127.0.0.1 -keyout '" +
        text(key) + "' -out '" + text(cert) + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        service.problem = "openssl could not make a certificate";
        return service;
    }
    options.data = local.dir / "https";
    options.certificate = cert;
    options.key = key;
    auto https = standin::Standin::start(options);
    if (!https) {
        service.problem = https.error();
        return service;
    }
    local.https = std::move(*https);
    service.tls_url = local.https->base_url();
    return service;
}
#endif

}  // namespace

const StandinService& standin_service() {
#ifdef _WIN32
    static const StandinService service = [] {
        StandinService s;
        s.url = platform::get_env("DALVENTO_STANDIN_URL").value_or("");
        s.tls_url = platform::get_env("DALVENTO_STANDIN_TLS_URL").value_or("");
        s.token = platform::get_env("DALVENTO_STANDIN_TOKEN").value_or("");
        if (s.url.empty()) {
            s.problem =
                "DALVENTO_STANDIN_URL is not set: run this program through "
                "tests/run_with_standin.py (ctest does)";
        }
        return s;
    }();
#else
    static LocalStandins local;
    static const StandinService service = start_local(local);
#endif
    return service;
}

void record_progress(void* log, uint64_t sent, uint64_t total) {
    static_cast<ProgressLog*>(log)->calls.emplace_back(sent, total);
}

std::expected<HttpReply, std::string> exchange(std::string_view method, std::string_view url,
                                               const std::vector<std::string>& headers,
                                               std::string_view body, ProgressLog* log) {
    static const UserAgent agent = make_user_agent(USER_AGENT);
    ProgressLog ignored;
    return http_request(agent, method, url, headers,
                        std::span(reinterpret_cast<const uint8_t*>(body.data()), body.size()),
                        log ? log : &ignored, record_progress);
}

nlohmann::json standin_control(std::string_view method, std::string_view path,
                               const nlohmann::json& body) {
    const std::string url = standin_service().url + std::string(path);
    auto reply = exchange(method, url, {"Content-Type: application/json"},
                          method == "GET" ? "" : body.dump());
    if (!reply || reply->status != 200) return nullptr;
    return nlohmann::json::parse(reply->body, nullptr, false);
}

}  // namespace dalvento::testing
