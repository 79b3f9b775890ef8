#include "support/standin/standin_access.h"

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "core/platform/platform.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "standin/standin.h"

extern char** environ;
#else
#include <windows.h>
#include <winhttp.h>
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

// The proxies listen on an address of their own: Wine's WinHTTP sends a proxy the path alone, as
// to a server, which tinyproxy then takes as a transparent request, and refuses one to its own
// address.
constexpr const char* PROXY_ADDRESS = "127.0.0.2";

sockaddr_in proxy_address(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, PROXY_ADDRESS, &address.sin_addr);
    address.sin_port = htons(port);
    return address;
}

// A port nothing listens on just now at the proxies' address.
uint16_t free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = proxy_address(0);
    socklen_t size = sizeof(address);
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) close(fd);
    return port;
}

// tinyproxy processes for the whole test program, in the foreground, each with a folder's files.
struct LocalProxies {
    TempDir dir;
    std::vector<pid_t> pids;
    ~LocalProxies() {
        for (const pid_t pid : pids) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }

    // Starts one; its URL, or the problem.
    std::expected<std::string, std::string> start(const std::string& name, bool sign_in) {
        const uint16_t port = free_port();
        const std::string conf = text(dir / (name + ".conf"));
        {
            std::ofstream out(conf);
            out << "Port " << port << "\nListen " << PROXY_ADDRESS
                << "\nTimeout 600\nMaxClients 50\nLogLevel Connect\nLogFile \""
                << text(dir / (name + ".log")) << "\"\nAllow 127.0.0.0/8\n";
            if (sign_in) out << "BasicAuth office secret\n";
        }
        const char* argv[] = {"tinyproxy", "-d", "-c", conf.c_str(), nullptr};
        pid_t pid = -1;
        if (posix_spawnp(&pid, "tinyproxy", nullptr, nullptr, const_cast<char**>(argv), environ) !=
            0) {
            return std::unexpected(
                "tinyproxy could not start (install it: "
                "./scripts/install-deps.sh)");
        }
        pids.push_back(pid);
        // Ready once it takes connections.
        for (int i = 0; i < 100; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address = proxy_address(port);
            const bool up =
                connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
            close(fd);
            if (up) return "http://" + std::string(PROXY_ADDRESS) + ":" + std::to_string(port);
            usleep(50'000);
        }
        return std::unexpected("tinyproxy did not listen on port " + std::to_string(port));
    }
};
#endif

}  // namespace

const ProxyService& proxy_service() {
#ifdef _WIN32
    static const ProxyService service = [] {
        ProxyService s;
        s.url = platform::get_env("DALVENTO_PROXY_URL").value_or("");
        s.sign_in_url = platform::get_env("DALVENTO_SIGN_IN_PROXY_URL").value_or("");
        if (s.url.empty() || s.sign_in_url.empty()) {
            s.problem =
                "DALVENTO_PROXY_URL is not set: run this program through "
                "tests/run_with_standin.py (ctest does)";
        }
        return s;
    }();
#else
    static LocalProxies local;
    static const ProxyService service = [] {
        ProxyService s;
        auto open = local.start("open", false);
        auto sign_in = local.start("sign-in", true);
        if (!open || !sign_in) {
            s.problem = open ? sign_in.error() : open.error();
            return s;
        }
        s.url = *open;
        s.sign_in_url = *sign_in;
        return s;
    }();
#endif
    return service;
}

ThroughProxy::ThroughProxy(const std::string& url) {
#ifdef _WIN32
    // The machine's WinHTTP proxy, as `netsh winhttp set proxy` sets it.
    std::wstring server(url.begin(), url.end());
    if (server.starts_with(L"http://")) server = server.substr(7);
    WINHTTP_PROXY_INFO info{WINHTTP_ACCESS_TYPE_NAMED_PROXY, server.data(), nullptr};
    WinHttpSetDefaultProxyConfiguration(&info);
#else
    setenv("http_proxy", url.c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
#endif
}

ThroughProxy::~ThroughProxy() {
#ifdef _WIN32
    WINHTTP_PROXY_INFO none{WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr};
    WinHttpSetDefaultProxyConfiguration(&none);
#else
    unsetenv("http_proxy");
#endif
}

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

std::expected<HttpReply, std::string> exchange(std::string_view method, std::string_view url,
                                               const std::vector<std::string>& headers,
                                               std::string_view body, ProgressLog* log) {
    static const UserAgent agent = make_user_agent(USER_AGENT);
    HttpWatch watch;
    if (log)
        watch.progress = [log](uint64_t sent, uint64_t total) {
            log->calls.emplace_back(sent, total);
        };
    auto reply =
        http_request(agent, method, url, headers,
                     std::span(reinterpret_cast<const uint8_t*>(body.data()), body.size()), watch);
    if (!reply) return std::unexpected(reply.error().text);
    return *reply;
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
