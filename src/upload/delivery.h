// The delivery protocol: announce a finished zip to the Dalvento service, upload its bytes in the
// parts the service asks for, and confirm, ending in a receipt or one of eight failures, each with
// its message for office staff. Runs beside the window, telling its progress as it goes.
#pragma once

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

// What a send tells of its progress as it goes, on the thread that runs it: the stage
// ("announce", "upload" or "complete") and, while uploading, the bytes of the zip sent of all of
// them (0 of 1 in the other stages).
using SendReport = std::function<void(std::string_view stage, uint64_t done, uint64_t total)>;

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
    virtual std::expected<HttpReply, std::string> request(std::string_view method,
                                                          std::string_view url,
                                                          const std::vector<std::string>& headers,
                                                          std::span<const uint8_t> body,
                                                          void* context, ProgressFn progress) = 0;
    // An authenticated JSON POST; by default request() with post_json's three headers.
    virtual std::expected<HttpReply, std::string> post_json(std::string_view url,
                                                            std::string_view token,
                                                            std::string_view json);
};

// The real HTTP client, with the user agent converted once.
std::unique_ptr<HttpSeam> make_http_seam(std::string_view user_agent = USER_AGENT);

// Runs the whole exchange and gives its outcome, whatever happens on the way. The zip is only
// ever read.
SendOutcome send_delivery(const SendJob& job, const SendReport& report = {});
SendOutcome send_delivery(const SendJob& job, HttpSeam& http, const SendReport& report = {});

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
