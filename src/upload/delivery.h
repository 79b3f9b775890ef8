// The delivery protocol: announce a finished zip to the Dalvento service, upload its bytes in the
// parts the service asks for, and confirm, ending in a receipt, a stop, or one of eight failures,
// each with its message for office staff. A part the line drops is sent again after a wait, and
// so are an announce or complete the service cannot have acted on. Runs beside the window,
// telling its progress as it goes, and stops at once when asked.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "county/delivery_unit.h"
#include "winhttp/http_client.h"

namespace dalvento {

// Where the messages send people for help.
inline constexpr std::string_view SUPPORT_CHAT_HOST = "chat.dalvento.example";

// One entry of the upload plan.
struct UploadPart {
    std::string url;
    uint64_t part = 0;  // numbered from 1
    uint64_t offset = 0;
    uint64_t bytes = 0;

    bool operator==(const UploadPart&) const = default;
};

// A part the service took: its number and the SHA-256 of its bytes as computed here.
struct CompletedPart {
    uint64_t part = 0;
    std::string etag;
};

// What the service gave for a delivery it has.
struct Receipt {
    bool already_received = false;  // the service had this zip before; nothing was uploaded
    std::string delivery_id;
    std::string county;               // received only
    std::string received_at;          // received only
    std::string already_received_at;  // already received only

    bool operator==(const Receipt&) const = default;
};

enum class SendErrorKind {
    too_big,        // 413 on announce or a part
    rejected,       // 422 on announce
    unavailable,    // 502, 503 or 504 on any call
    not_intact,     // a part's check failed twice, or complete said 409 twice
    links_expired,  // 403 or 404 on a part; 404 on complete a second time
    unreachable,    // the HTTP exchange itself failed
    unexpected,     // any other answer, a malformed upload plan, a problem reading the zip
    token_refused,  // 401 on announce or complete
    stopped,        // the office stopped it
};

struct SendError {
    SendErrorKind kind = SendErrorKind::unexpected;
    std::string text;  // rejected, unreachable and unexpected
    // token_refused only:
    std::string base_url;  // without trailing slashes
    std::string stage;     // "announce" or "complete"
    std::string server_text;
    std::string token_description;

    bool operator==(const SendError&) const = default;
};

// The message the interface shows for a failed send.
std::string send_error_message(const SendError& error);

using SendOutcome = std::expected<Receipt, SendError>;

// A request that failed on the line, or that the service could not take just then, is made again
// after a wait: RETRY_WAITS one after the other, each up to RETRY_JITTER longer at random, up to
// MAX_ATTEMPTS of that request in all.
inline constexpr std::chrono::seconds RETRY_WAITS[] = {
    std::chrono::seconds(2), std::chrono::seconds(4), std::chrono::seconds(8),
    std::chrono::seconds(16), std::chrono::seconds(30)};
inline constexpr uint32_t MAX_ATTEMPTS = 6;
inline constexpr double RETRY_JITTER = 0.25;

// The rate is measured over about RATE_WINDOW, and told only once the upload has run for
// RATE_SETTLING.
inline constexpr std::chrono::seconds RATE_WINDOW{10};
inline constexpr std::chrono::seconds RATE_SETTLING{3};

enum class SendStage { announce, upload, complete };

// A wait before a request is made again.
struct RetryWait {
    std::string reason;         // what went wrong, e.g. "the connection dropped"
    uint32_t seconds_left = 0;  // rounded up
    uint32_t attempt = 0;       // the attempt waited for, from 2
    bool operator==(const RetryWait&) const = default;
};

// What a send tells of its progress as it goes.
struct SendStatus {
    SendStage stage = SendStage::announce;
    // While uploading, the bytes of the zip sent of all of them; 0 of 1 in the other stages.
    uint64_t done = 0;
    uint64_t total = 1;
    std::optional<RetryWait> waiting;
    // While uploading: bytes a second over the last RATE_WINDOW, once RATE_SETTLING has passed.
    std::optional<double> bytes_per_second;
    bool operator==(const SendStatus&) const = default;
};

// The progress as a worker throttles it: a new stage, or a wait beginning or ending, is news.
inline std::pair<SendStage, bool> work_stage(const SendStatus& status) {
    return {status.stage, status.waiting.has_value()};
}

// Called on the thread that sends.
using SendReport = std::function<void(const SendStatus&)>;

// The time a send keeps: when it is, and the waits between attempts. Tests give one that never
// sleeps.
class SendClock {
  public:
    virtual ~SendClock() = default;
    virtual std::chrono::steady_clock::time_point now() = 0;
    // Sleeps this long at most; it is called again for what is left, so a stop is seen in time.
    virtual void sleep(std::chrono::milliseconds duration) = 0;
    // A random fraction from 0 to 1, drawn for each wait.
    virtual double random_fraction() = 0;
};

// The steady clock, real sleeps and a random source of its own.
SendClock& real_send_clock();

// What a send is given besides its job: where it tells its progress, the flag that stops it at
// once, and its clock.
struct SendHooks {
    SendReport report;
    const std::atomic<bool>* stop = nullptr;
    SendClock* clock = nullptr;  // the real one when null
};

// Everything one send needs, built on the interface thread and handed to the one that sends.
struct SendJob {
    std::string base_url;  // State.host, or DEFAULT_SERVICE_BASE_URL
    std::string token;     // the in-memory office token
    std::filesystem::path zip_path;
    std::string announce_body;  // build_announce_body's text
};

// The HTTP exchanges a send makes, so that the protocol can run over a scripted double.
class HttpSeam {
  public:
    virtual ~HttpSeam() = default;
    virtual HttpResult request(std::string_view method, std::string_view url,
                               const std::vector<std::string>& headers,
                               std::span<const uint8_t> body, const HttpWatch& watch) = 0;
    // An authenticated JSON POST; by default request() with post_json's three headers.
    virtual HttpResult post_json(std::string_view url, std::string_view token,
                                 std::string_view json, const HttpWatch& watch);
};

// The real HTTP client, with the user agent converted once.
std::unique_ptr<HttpSeam> make_http_seam(std::string_view user_agent = USER_AGENT);

// Runs the whole exchange and gives its outcome, whatever happens on the way. The zip is only
// ever read.
SendOutcome send_delivery(const SendJob& job, const SendHooks& hooks = {});
SendOutcome send_delivery(const SendJob& job, HttpSeam& http, const SendHooks& hooks = {});

// Bytes a second over about the last RATE_WINDOW of an upload, from the bytes sent so far as
// they are told; none until RATE_SETTLING has passed since the first.
class RateMeter {
  public:
    void add(std::chrono::steady_clock::time_point at, uint64_t bytes_sent);
    std::optional<double> rate() const;

  private:
    std::chrono::steady_clock::time_point started_;
    std::vector<std::pair<std::chrono::steady_clock::time_point, uint64_t>> samples_;
};

// The token as the refusal message shows it: its first five characters, "…" when longer, and
// its length in characters, e.g. "dlvt_…" (44 characters).
std::string describe_token(std::string_view token);

// What the service said with a 401: the reply's "error" text, else the trimmed body's first
// line cut to 120 characters.
std::string refusal_server_text(std::string_view body);

// True when an ETag confirms a part's SHA-256 (quotes, W/ and letter case aside); a missing or
// empty ETag confirms nothing and is accepted.
bool etag_accepted(const std::optional<std::string>& etag, std::string_view part_sha256);

// A time as RFC 3339 in the computer's time zone with a ±HH:MM offset; fractional seconds only
// when non-zero, as 3, 6 or 9 digits. None when the system cannot convert it.
std::optional<std::string> rfc3339_local(Time time);

// The zip's file name as the announce gives it: empty when the name is not valid text.
std::string announce_zip_name(const std::filesystem::path& zip_path);

// The announce request: compact JSON, object members in byte order, the found units in scan
// order with what happens to each. Texts are trimmed here.
std::string build_announce_body(const std::vector<DeliveryUnit>& units, bool send_everything,
                                std::chrono::year_month_day export_date, std::string_view sender,
                                std::string_view tax_year, std::string_view unusual,
                                std::string_view zip_name, uint64_t zip_bytes,
                                std::string_view zip_sha256);

}  // namespace dalvento
