// A local stand-in for the Dalvento delivery service, for loopback use by tests, benchmarks and the
// demo. It speaks the service's protocol:
//
//   POST /v1/deliveries                 announce (bearer token; 401, 422, 200 or 201)
//   PUT  /upload/{id}/{part}?key={key}  one part; 200 with the part's SHA-256 as a quoted ETag
//   POST /v1/deliveries/{id}/complete   check the parts and the zip's SHA-256 (409), 200
//
// and keeps what it received under its data folder: {data}/{delivery_id}/{zip_name} once complete
// (received in place into {zip_name}.partial until then). It can be told, per step and per attempt,
// to answer something else or to misbehave on the wire, and it can read request bodies at a
// limited rate, shared by every connection, like a slow line.
//
// Besides the protocol it serves, on the same loopback port, a control interface so that a
// program that cannot link this library (the Windows tests under Wine) can drive it over HTTP:
//
//   POST /_standin/faults    {"faults":[fault, ...]}  replaces the faults, restarts attempt counts
//   POST /_standin/settings  {"part_size":N, "single_url":bool, "token":"...", "rate":N} (each
//                            optional; rate in bytes per second, 0 for no limit)
//   POST /_standin/reset     forgets deliveries, requests, faults and counts; keeps the settings
//   GET  /_standin/received  {"deliveries":[...], "requests":[...]} (see the records below)
//   GET  /_standin/free_port {"port":N}, a loopback port nothing listens on
//   POST or PUT /_standin/echo  step "echo": 200 with {"method","target","headers","bytes",
//                            "sha256"} describing the request, and ETag "\"{sha256 of the body}\""
//
// A fault in JSON has the members of Fault below: "step", "attempt", "part", "status", "body",
// "reply_bytes", "etag" ("wrong", "weak", "upper", "weak_upper" or "missing"), "etag_value",
// "drop", "drop_after", "stall", "stall_after", "not_http", "cut_reply", "chunked", "cut_chunked",
// "cut_in_chunk", "redirect"; "not_json": true is short for a body of HTML.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dalvento::standin {

enum class EtagFault {
    None,
    Wrong,      // the quoted SHA-256 of something else
    Weak,       // W/"{sha256}"
    Upper,      // "{SHA256}" in capitals
    WeakUpper,  // W/"{SHA256}"
    Missing,    // no ETag header at all
};

// What to do to one request. Several effects combine; the connection ones (drop, stall, not_http)
// win. A stall holds the body where it is, so that the client's writes block once the buffers
// between are full; one set past the body's end holds the reply instead. With both, drop and
// stall act at whichever byte comes first.
struct Fault {
    std::string step;  // "announce", "upload", "complete" or "echo"
    // The request it applies to: the nth of its step since the faults were set, counting from 1
    // (with part set: the nth upload of that part); 0 applies it to every one.
    uint32_t attempt = 0;
    std::optional<uint64_t> part;

    std::optional<int> status;              // answer this status without handling the request
    std::optional<std::string> body;        // the reply body instead of the usual one
    std::optional<uint64_t> reply_bytes;    // a body of this many bytes ('x') instead
    EtagFault etag = EtagFault::None;       // upload and echo replies only
    std::optional<std::string> etag_value;  // this exact ETag header value instead
    bool drop = false;                      // reset the connection without answering
    std::optional<uint64_t> drop_after;     // ... after this many body bytes (default: all of it)
    std::optional<double> stall;            // stop reading for this many seconds, then reset
    uint64_t stall_after = 0;               // ... after this many body bytes (default: none)
    bool not_http = false;                  // answer bytes that are not HTTP, then close
    bool cut_reply = false;                 // send the headers and half the body, then close
    bool chunked = false;                   // send the whole body chunked, then close
    bool cut_chunked = false;   // send the body chunked, close after half of it, before its end
    bool cut_in_chunk = false;  // the same, but close inside a chunk announced as the whole body
    // Answer status (307 unless given) with a Location on the trap port, which takes whatever
    // comes, records it as step "redirected" and answers as if it were the service.
    bool redirect = false;
};

struct Options {
    std::filesystem::path data;  // where deliveries are kept; created when missing
    std::string token;           // the office token announce and complete must carry
    uint16_t port = 0;           // 0: any free port
    uint64_t part_size = 8 * 1024 * 1024;
    bool single_url = false;  // one upload url for the whole zip instead of parts
    uint64_t rate = 0;        // request bodies read at most this many bytes per second; 0: no limit
    // Both set: serve HTTPS with this certificate and key (PEM files).
    std::filesystem::path certificate;
    std::filesystem::path key;
};

struct ReceivedPart {
    uint64_t part = 0;
    uint64_t bytes = 0;
    std::string sha256;  // lower-case hex of what was stored
    bool fits = true;    // as many bytes as the part should have
};

struct Delivery {
    std::string delivery_id;
    std::string announce;  // the announce body exactly as received
    std::string county;
    std::string zip_name;
    std::string zip_sha256;
    uint64_t zip_bytes = 0;
    bool single_url = false;
    std::vector<ReceivedPart> parts;         // the parts stored so far, by part number
    std::optional<std::string> received_at;  // RFC 3339 UTC, once complete succeeded
    std::filesystem::path zip_path;          // the zip, once complete succeeded
};

// One request as it arrived, in arrival order.
struct RequestRecord {
    std::string step;  // "announce", "upload", "complete", "echo", "redirected" or "other"
    std::string method;
    std::string target;  // path and query as sent
    uint32_t attempt = 0;
    int status = 0;  // as answered; 0 when the connection was dropped or not answered in HTTP
    uint64_t body_bytes = 0;
    std::string body_sha256;
    std::string user_agent, content_type, authorization, accept;
    std::string via;  // the Via header a proxy on the way added
};

class Standin {
  public:
    // Starts serving on 127.0.0.1; ready for connections when it returns.
    static std::expected<std::unique_ptr<Standin>, std::string> start(Options options);
    ~Standin();  // stops
    Standin(const Standin&) = delete;
    Standin& operator=(const Standin&) = delete;

    uint16_t port() const;
    std::string base_url() const;  // "http://127.0.0.1:{port}" (https with a certificate)

    void set_faults(std::vector<Fault> faults);  // replaces them and restarts the attempt counts
    void set_part_size(uint64_t part_size);
    void set_single_url(bool single_url);
    void set_token(std::string token);
    void set_rate(uint64_t bytes_per_second);  // for every connection together; 0: no limit
    // Forgets deliveries, requests, faults and counts (files stay on disk); keeps the settings.
    void reset();

    std::vector<Delivery> deliveries() const;  // in announce order
    std::vector<RequestRecord> requests() const;

    void stop();

  private:
    Standin();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Faults from their JSON form ({"faults":[...]} or a bare array); the error names the problem.
std::expected<std::vector<Fault>, std::string> faults_from_json(std::string_view json);

}  // namespace dalvento::standin
