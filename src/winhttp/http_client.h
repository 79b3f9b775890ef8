// The HTTP client: one blocking HTTP/1.1 exchange per call, over WinHTTP on Windows and libcurl
// elsewhere, with failures as short English texts for office staff.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dalvento {

// The service the office sends to when the state file names none. A reserved name, so that no
// office token is ever sent to a server nobody here runs.
inline constexpr std::string_view DEFAULT_SERVICE_BASE_URL = "https://deliveries.dalvento.example";
// The host named in the "name couldn't be looked up" text.
inline constexpr std::string_view SERVICE_HOST = "deliveries.dalvento.example";
// The user agent of every request. DALVENTO_VERSION is the project's version, set by the build.
inline constexpr std::string_view USER_AGENT = "dalvento/" DALVENTO_VERSION;

// Time-outs of one exchange, in milliseconds.
inline constexpr uint32_t RESOLVE_TIMEOUT_MS = 15'000;
inline constexpr uint32_t CONNECT_TIMEOUT_MS = 30'000;
inline constexpr uint32_t SEND_TIMEOUT_MS = 600'000;
inline constexpr uint32_t RECEIVE_TIMEOUT_MS = 600'000;
// PUT bodies larger than this are streamed in slices of WRITE_CHUNK, with progress after each.
inline constexpr size_t STREAMING_THRESHOLD = 262'144;
inline constexpr size_t WRITE_CHUNK = 262'144;
// Replies are read in READ_BUFFER pieces and refused past REPLY_CAP bytes.
inline constexpr size_t READ_BUFFER = 65'536;
inline constexpr size_t REPLY_CAP = 4'194'304;
inline constexpr std::string_view REPLY_TOO_LARGE = "the reply was unreasonably large";
// An ETag of this many UTF-16 units or more does not fit WinHTTP's buffer and is dropped.
inline constexpr size_t ETAG_BUFFER_UNITS = 256;

struct ParsedUrl {
    bool https = false;
    std::string host;
    uint16_t port = 0;
    std::string path;  // from the first '/' after the authority, query included; "/" when none
};

struct HttpReply {
    uint16_t status = 0;
    std::string body;                 // UTF-8, invalid sequences replaced
    std::optional<std::string> etag;  // as the server sent it (quotes, W/ kept)
};

// What an exchange reports as its body goes out, and the flag that stops it. The flag is looked
// at least every STOP_POLL_MS whatever the exchange is waiting for (the connection, a write the
// other end is slow to take, the reply), and a stop ends the exchange at once.
struct HttpWatch {
    std::function<void(uint64_t sent, uint64_t total)> progress;  // may be empty
    const std::atomic<bool>* stop = nullptr;                      // may be null
};
inline constexpr uint32_t STOP_POLL_MS = 100;

// Why an exchange failed, the same on every platform.
enum class HttpProblem {
    timed_out,
    name_not_found,
    cannot_connect,  // refused, or nothing answers
    dropped,         // reset or closed part way
    not_http,        // the reply was not HTTP
    untrusted,       // the secure connection could not be trusted
    proxy_settings,  // the proxy needs settings this app doesn't have
    proxy_sign_in,   // the proxy asked to sign in (407) and could not be answered
    stopped,         // the watch's flag stopped it
    other,
};

struct HttpFailure {
    HttpProblem problem = HttpProblem::other;
    // The connection was never made, so the server cannot have seen the request.
    bool nothing_sent = false;
    std::string text;  // "{step}: {detail}", for people

    bool operator==(const HttpFailure&) const = default;
};

using HttpResult = std::expected<HttpReply, HttpFailure>;

// The user agent in the form every request takes, converted once per send.
struct UserAgent {
    std::u16string text;  // UTF-16
};
UserAgent make_user_agent(std::string_view text);

// Splits an http or https URL; the error is the text a person reads.
std::expected<ParsedUrl, std::string> parse_url(std::string_view url);

// One exchange on a connection of its own: method, absolute URL, header lines ("Name: value"),
// body. Any status is a reply, redirects included (none is ever followed), except a proxy's 407
// that cannot be answered, which is a failure. The proxy is the system's (Windows) or the one the
// usual environment names (elsewhere).
HttpResult http_request(const UserAgent& user_agent, std::string_view method, std::string_view url,
                        const std::vector<std::string>& headers, std::span<const uint8_t> body,
                        const HttpWatch& watch = {});

// Exchanges that may share a connection: a send keeps one, so that the parts of a zip go out
// over one connection where the server keeps it open. One thread at a time.
class HttpSession {
  public:
    explicit HttpSession(UserAgent user_agent);
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    // As http_request, with the same failures.
    HttpResult request(std::string_view method, std::string_view url,
                       const std::vector<std::string>& headers, std::span<const uint8_t> body,
                       const HttpWatch& watch = {});

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// An authenticated JSON POST: bearer token, JSON content type and accept headers.
HttpResult post_json(const UserAgent& user_agent, std::string_view url, std::string_view token,
                     std::string_view json);

// A failed step of an exchange: "{what}: {detail}", the detail the problem's own text, or
// `other_detail` for HttpProblem::other.
HttpFailure http_failure(std::string_view what, HttpProblem problem,
                         std::string_view other_detail = {});

// The failure of a step from the WinHTTP error code read right after the failing call.
HttpFailure winhttp_failure(std::string_view what, uint32_t code);

// The failure a proxy's 407 ends in when it cannot be answered; `host` is the service's.
HttpFailure proxy_sign_in_failure(std::string_view host);

// Header lines as both clients take them: "Name: value", no line breaks. False for any other.
bool header_lines_valid(const std::vector<std::string>& headers);

// UTF-8 to UTF-16 and back, invalid sequences and unpaired surrogates replaced by U+FFFD.
std::u16string utf16_from_utf8(std::string_view text);
std::string utf8_from_utf16(std::u16string_view text);

}  // namespace dalvento
