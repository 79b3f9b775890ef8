#include "winhttp/http_client.h"

#include <gtest/gtest.h>

#include "core/platform/sha256.h"
#include "support/standin/standin_access.h"

namespace dalvento {
namespace {

using nlohmann::json;
using testing::exchange;
using testing::ProgressLog;
using testing::standin_control;
using testing::standin_service;

using Calls = std::vector<std::pair<uint64_t, uint64_t>>;

const std::string DROPPED = "the connection dropped";

// The failure text, or a note that the exchange worked, so a wrong outcome fails the test only.
template <typename T>
std::string failure(const std::expected<T, std::string>& result) {
    if (!result) return result.error();
    if constexpr (std::is_same_v<T, HttpReply>) {
        return "a reply with status " + std::to_string(result->status);
    } else {
        return "success";
    }
}

TEST(ParseUrl, SplitsSchemeHostPortAndPath) {
    auto url = parse_url("https://deliveries.dalvento.example");
    ASSERT_TRUE(url.has_value());
    EXPECT_TRUE(url->https);
    EXPECT_EQ(url->host, "deliveries.dalvento.example");
    EXPECT_EQ(url->port, 443);
    EXPECT_EQ(url->path, "/");

    url = parse_url("http://Svc.Example:8080/v1/deliveries?x=1&y=a%20b");
    ASSERT_TRUE(url.has_value());
    EXPECT_FALSE(url->https);
    EXPECT_EQ(url->host, "Svc.Example");
    EXPECT_EQ(url->port, 8080);
    EXPECT_EQ(url->path, "/v1/deliveries?x=1&y=a%20b");

    EXPECT_EQ(parse_url("http://host")->port, 80);
    EXPECT_EQ(parse_url("http://host:65535/")->port, 65535);
    EXPECT_EQ(parse_url("http://host:00080/")->port, 80);
    EXPECT_EQ(parse_url("http://a/b://c")->path, "/b://c");
}

TEST(ParseUrl, PortPartThatIsNotANumberBelongsToTheHost) {
    for (const char* text : {"https://host:8a/x", "https://host:/x", "https://host:-1/x"}) {
        auto url = parse_url(text);
        ASSERT_TRUE(url.has_value()) << text;
        EXPECT_EQ(url->port, 443) << text;
        EXPECT_EQ(url->path, "/x") << text;
        EXPECT_EQ(url->host, std::string(text).substr(8, std::string(text).find("/x") - 8));
    }
}

TEST(ParseUrl, RefusesWithExactTexts) {
    EXPECT_EQ(failure(parse_url("deliveries.example/v1")), "not a URL: deliveries.example/v1");
    EXPECT_EQ(failure(parse_url("HTTPS://host/")), "unsupported scheme in HTTPS://host/");
    EXPECT_EQ(failure(parse_url("ftp://host/")), "unsupported scheme in ftp://host/");
    EXPECT_EQ(failure(parse_url("https://host:70000/")), "number too large to fit in target type");
    EXPECT_EQ(failure(parse_url("https://host:65536/")), "number too large to fit in target type");
    EXPECT_EQ(failure(parse_url("https://host:184467440737095516160/")),
              "number too large to fit in target type");
    EXPECT_EQ(failure(parse_url("http://:8080/x")), "no host in http://:8080/x");
    EXPECT_EQ(failure(parse_url("http:///x")), "no host in http:///x");
    // The exchange refuses the same way before touching the network.
    EXPECT_EQ(failure(exchange("POST", "ftp://host/", {}, "")),
              "unsupported scheme in ftp://host/");
}

TEST(HttpClient, WindowsErrorsAsProblemsAndTexts) {
    const struct {
        const char* what;
        uint32_t code;
        HttpProblem problem;
        const char* text;
    } cases[] = {
        {"no reply", 12002, HttpProblem::timed_out, "no reply: timed out"},
        {"couldn't send", 12007, HttpProblem::name_not_found,
         "couldn't send: the name deliveries.dalvento.example couldn't be looked up (no DNS, or "
         "no network)"},
        {"couldn't send", 12029, HttpProblem::cannot_connect,
         "couldn't send: couldn't connect (no network, or a firewall)"},
        {"the upload stopped", 12030, HttpProblem::dropped,
         "the upload stopped: the connection dropped"},
        {"no reply", 10054, HttpProblem::dropped, "no reply: the connection dropped"},
        {"no reply", 10053, HttpProblem::dropped, "no reply: the connection dropped"},
        {"no reply", 12152, HttpProblem::not_http,
         "no reply: the reply wasn't valid HTTP (a proxy or captive portal in the way?)"},
        {"couldn't send", 12157, HttpProblem::untrusted,
         "couldn't send: the secure connection couldn't be trusted (certificate problem, or a "
         "proxy inspecting traffic)"},
        {"couldn't send", 12175, HttpProblem::untrusted,
         "couldn't send: the secure connection couldn't be trusted (certificate problem, or a "
         "proxy inspecting traffic)"},
        {"couldn't start HTTP", 12180, HttpProblem::proxy_settings,
         "couldn't start HTTP: the proxy needs settings this app doesn't have"},
        {"the upload stopped", 12017, HttpProblem::stopped, "the upload stopped: stopped"},
        {"couldn't connect", 87, HttpProblem::other, "couldn't connect: Windows error 87"},
    };
    for (const auto& c : cases) {
        const HttpFailure failure = winhttp_failure(c.what, c.code);
        EXPECT_EQ(failure.problem, c.problem) << c.code;
        EXPECT_EQ(failure.text, c.text) << c.code;
        EXPECT_FALSE(failure.nothing_sent) << c.code;
    }
    EXPECT_EQ(proxy_sign_in_failure("deliveries.dalvento.example").text,
              "the office's proxy asks Dalvento to sign in (407); ask your IT to let Dalvento "
              "through to deliveries.dalvento.example");
}

TEST(HttpClient, Utf16Conversions) {
    EXPECT_EQ(make_user_agent(USER_AGENT).text, u"dalvento/0.2.0");
    EXPECT_EQ(utf16_from_utf8("a\xC3\xA9\xF0\x9F\x98\x80"), u"a\u00E9\U0001F600");
    EXPECT_EQ(utf16_from_utf8("a\xFF"), u"a\uFFFD");
    EXPECT_EQ(utf8_from_utf16(u"a\u00E9\U0001F600"), "a\xC3\xA9\xF0\x9F\x98\x80");
    const char16_t lone[] = {u'x', 0xD800, u'y', 0};
    EXPECT_EQ(utf8_from_utf16(lone), "x\xEF\xBF\xBDy");
}

// Exchanges with the stand-in over real loopback HTTP.
class HttpExchange : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(standin_service().url.empty()) << standin_service().problem;
        ASSERT_TRUE(standin_control("POST", "/_standin/reset").is_object());
    }
    static std::string echo() { return standin_service().url + "/_standin/echo"; }
    static void faults(const json& list) {
        ASSERT_TRUE(
            standin_control("POST", "/_standin/faults", json{{"faults", list}}).is_object());
    }
};

TEST_F(HttpExchange, PostJsonRoundTrip) {
    const std::string body = R"({"county":"QUARNELL","sender":"Ann Lée"})";
    const auto reply =
        post_json(make_user_agent(USER_AGENT), echo() + "?q=1&r=a%20b", "dlvt_t\xC3\xB6ken", body);
    ASSERT_TRUE(reply.has_value()) << reply.error();
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->etag, "\"" + sha256_hex(body) + "\"");
    const json seen = json::parse(reply->body);
    EXPECT_EQ(seen["method"], "POST");
    EXPECT_EQ(seen["target"], "/_standin/echo?q=1&r=a%20b");
    EXPECT_EQ(seen["bytes"], body.size());
    EXPECT_EQ(seen["sha256"], sha256_hex(body));
    const json& headers = seen["headers"];
    EXPECT_EQ(headers["authorization"], "Bearer dlvt_t\xC3\xB6ken");
    EXPECT_EQ(headers["content-type"], "application/json");
    EXPECT_EQ(headers["accept"], "application/json");
    EXPECT_EQ(headers["user-agent"], "dalvento/0.2.0");
    EXPECT_FALSE(headers.contains("expect"));
}

TEST_F(HttpExchange, PutRoundTripSendsOnlyTheGivenHeaders) {
    std::string body(100'000, '\0');
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7 + i / 251);
    const auto reply = exchange("PUT", echo(), {"Content-Type: application/zip"}, body);
    ASSERT_TRUE(reply.has_value()) << reply.error();
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->etag, "\"" + sha256_hex(body) + "\"");
    const json seen = json::parse(reply->body);
    EXPECT_EQ(seen["method"], "PUT");
    EXPECT_EQ(seen["sha256"], sha256_hex(body));
    EXPECT_EQ(seen["headers"]["content-type"], "application/zip");
    EXPECT_FALSE(seen["headers"].contains("accept"));
    EXPECT_FALSE(seen["headers"].contains("authorization"));
}

TEST_F(HttpExchange, AnyStatusIsAReply) {
    faults(json::array({{{"step", "echo"}, {"attempt", 1}, {"status", 500}, {"body", "down"}},
                        {{"step", "echo"}, {"attempt", 2}, {"status", 404}}}));
    auto reply = exchange("POST", echo(), {}, "x");
    ASSERT_TRUE(reply.has_value()) << reply.error();
    EXPECT_EQ(reply->status, 500);
    EXPECT_EQ(reply->body, "down");
    EXPECT_FALSE(reply->etag.has_value());
    reply = exchange("PUT", echo(), {}, "x");
    ASSERT_TRUE(reply.has_value()) << reply.error();
    EXPECT_EQ(reply->status, 404);
    EXPECT_EQ(reply->body, "");

    // A redirect is a reply like any other: nothing, and no header, goes to where it points.
    for (const int status : {301, 302, 303, 307, 308}) {
        faults(json::array({{{"step", "echo"}, {"redirect", true}, {"status", status}}}));
        for (const std::string method : {"POST", "PUT"}) {
            reply = exchange(method, echo(), {"Authorization: Bearer dlvt_secret"}, "x");
            ASSERT_TRUE(reply.has_value()) << reply.error();
            EXPECT_EQ(reply->status, status) << method;
        }
    }
    const json received = standin_control("GET", "/_standin/received");
    for (const json& r : received["requests"])
        EXPECT_EQ(r["step"], "echo") << r.dump();
}

TEST_F(HttpExchange, EtagKeptAsSentOrAbsent) {
    const std::string sha = sha256_hex("part");
    const std::string fits(255, 'e'), too_long(256, 'e');
    faults(json::array({{{"step", "echo"}, {"attempt", 1}, {"etag", "weak_upper"}},
                        {{"step", "echo"}, {"attempt", 2}, {"etag", "missing"}},
                        {{"step", "echo"}, {"attempt", 3}, {"etag_value", fits}},
                        {{"step", "echo"}, {"attempt", 4}, {"etag_value", too_long}}}));
    auto reply = exchange("PUT", echo(), {}, "part");
    ASSERT_TRUE(reply.has_value()) << reply.error();
    std::string upper = sha;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(reply->etag, "W/\"" + upper + "\"");

    reply = exchange("PUT", echo(), {}, "part");
    ASSERT_TRUE(reply.has_value()) << reply.error();
    EXPECT_FALSE(reply->etag.has_value());

    // WinHTTP's buffer holds 256 UTF-16 units with the terminating NUL.
    reply = exchange("PUT", echo(), {}, "part");
    ASSERT_TRUE(reply.has_value()) << reply.error();
    EXPECT_EQ(reply->etag, fits);
    reply = exchange("PUT", echo(), {}, "part");
    ASSERT_TRUE(reply.has_value()) << reply.error();
    EXPECT_FALSE(reply->etag.has_value());
    EXPECT_EQ(reply->status, 200);
}

TEST_F(HttpExchange, ProgressAtTheStreamingThreshold) {
    const struct {
        const char* method;
        size_t size;
        Calls calls;
    } cases[] = {
        {"PUT", 262'144, {{262'144, 262'144}}},
        {"PUT", 262'145, {{262'144, 262'145}, {262'145, 262'145}}},
        {"PUT", 0, {{0, 0}}},
        {"PUT",
         1'000'000,
         {{262'144, 1'000'000},
          {524'288, 1'000'000},
          {786'432, 1'000'000},
          {1'000'000, 1'000'000}}},
        {"POST", 1'000'000, {{1'000'000, 1'000'000}}},
    };
    for (const auto& c : cases) {
        std::string body(c.size, 'a');
        if (!body.empty()) body.back() = 'z';
        ProgressLog log;
        const auto reply = exchange(c.method, echo(), {}, body, &log);
        ASSERT_TRUE(reply.has_value()) << reply.error();
        EXPECT_EQ(log.calls, c.calls) << c.method << " " << c.size;
        EXPECT_EQ(json::parse(reply->body)["sha256"], sha256_hex(body)) << c.size;
    }
}

TEST_F(HttpExchange, ReplyCapIsFourMebibytes) {
    faults(json::array({{{"step", "echo"}, {"attempt", 1}, {"reply_bytes", REPLY_CAP}},
                        {{"step", "echo"}, {"attempt", 2}, {"reply_bytes", REPLY_CAP + 1}}}));
    const auto accepted = exchange("POST", echo(), {}, "{}");
    ASSERT_TRUE(accepted.has_value()) << accepted.error();
    EXPECT_EQ(accepted->body, std::string(REPLY_CAP, 'x'));
    EXPECT_EQ(failure(exchange("POST", echo(), {}, "{}")), "the reply was unreasonably large");
}

TEST_F(HttpExchange, BrokenConnectionsNameTheirStep) {
    faults(json::array({{{"step", "echo"}, {"attempt", 1}, {"drop", true}},
                        {{"step", "echo"}, {"attempt", 2}, {"drop_after", 65'536}}}));
    EXPECT_EQ(failure(exchange("POST", echo(), {}, "{}")), "no reply: " + DROPPED);

    // Far more than loopback buffers hold, so the drop meets the body still going out.
    const std::string large(32 << 20, 'p');
    ProgressLog log;
    EXPECT_EQ(failure(exchange("PUT", echo(), {}, large, &log)), "the upload stopped: " + DROPPED);
    ASSERT_FALSE(log.calls.empty());
    EXPECT_LT(log.calls.back().first, large.size());

    faults(json::array({{{"step", "echo"}, {"cut_reply", true}, {"reply_bytes", 100'000}}}));
    EXPECT_EQ(failure(exchange("POST", echo(), {}, "{}")), "the reply was cut off: " + DROPPED);
    // Sent in chunks and closed before the last one, at a chunk's end or inside one, long or
    // short; the same in whole is a reply.
    for (const uint64_t bytes : {100'000, 40}) {
        faults(json::array({{{"step", "echo"}, {"chunked", true}, {"reply_bytes", bytes}}}));
        const auto whole = exchange("POST", echo(), {}, "{}");
        ASSERT_TRUE(whole.has_value()) << whole.error();
        EXPECT_EQ(whole->body, std::string(bytes, 'x'));
    }
    for (const char* cut : {"cut_chunked", "cut_in_chunk"})
        for (const uint64_t bytes : {100'000, 40}) {
            faults(json::array({{{"step", "echo"}, {cut, true}, {"reply_bytes", bytes}}}));
            EXPECT_EQ(failure(exchange("POST", echo(), {}, "{}")),
                      "the reply was cut off: " + DROPPED)
                << cut << " " << bytes;
        }

    faults(json::array({{{"step", "echo"}, {"not_http", true}}}));
    EXPECT_EQ(failure(exchange("POST", echo(), {}, "{}")),
              "the reply had no status: the reply wasn't valid HTTP (a proxy or captive portal "
              "in the way?)");
}

TEST_F(HttpExchange, NothingListening) {
    const json free = standin_control("GET", "/_standin/free_port");
    ASSERT_TRUE(free.is_object());
    const std::string url = "http://127.0.0.1:" + std::to_string(free["port"].get<int>()) + "/x";
    ProgressLog log;
    EXPECT_EQ(failure(exchange("POST", url, {}, "{}", &log)),
              "couldn't send: couldn't connect (no network, or a firewall)");
    // A body sent in one call reports once, whether or not the send worked.
    EXPECT_EQ(log.calls, (Calls{{2, 2}}));
}

TEST_F(HttpExchange, HostThatCannotBeLookedUp) {
    // A port part with a letter belongs to the host, and no such host exists.
    EXPECT_EQ(failure(exchange("POST", "http://127.0.0.1:8a/x", {}, "{}")),
              "couldn't send: the name deliveries.dalvento.example couldn't be looked up (no DNS, "
              "or no network)");
}

TEST_F(HttpExchange, UntrustedCertificateIsRefused) {
    ASSERT_FALSE(standin_service().tls_url.empty()) << standin_service().problem;
    EXPECT_EQ(failure(exchange("POST", standin_service().tls_url + "/_standin/echo", {}, "{}")),
              "couldn't send: the secure connection couldn't be trusted (certificate problem, or a "
              "proxy inspecting traffic)");
}

TEST_F(HttpExchange, HeaderLineWithoutColonIsRefused) {
    EXPECT_EQ(failure(exchange("POST", echo(), {"Content-Type: application/json", "Broken"}, "{}")),
              "couldn't set a header: a header line must be \"Name: value\" on one line");
}

}  // namespace
}  // namespace dalvento
