// What a running stand-in holds, shared by the protocol in standin.cpp, the wire in line.cpp and
// the control interface in control.cpp; private to this folder.
#pragma once

#include <openssl/ssl.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "standin/faults.h"
#include "standin/http_server.h"
#include "standin/line.h"
#include "standin/standin.h"
#include "standin/storage.h"

namespace dalvento::standin {

struct DeliveryState {
    Delivery record;
    std::string upload_key;
    uint64_t part_size = 0;
    uint64_t part_count = 0;
    std::map<uint64_t, ReceivedPart> stored;

    // Where a part lies in the zip: its first byte and how many bytes it has.
    std::pair<uint64_t, uint64_t> place_of(uint64_t part) const {
        if (record.single_url) return {0, record.zip_bytes};
        const uint64_t offset = (part - 1) * part_size;
        return {offset, std::min(part_size, record.zip_bytes - offset)};
    }
};

// One request's place in the books: its attempt, the fault that applies and its record.
struct Turn {
    std::string step;
    uint32_t attempt = 0;
    std::optional<Fault> fault;
    std::shared_ptr<RequestRecord> record;
};

inline bool fault_status(const Turn& turn) {
    return turn.fault && turn.fault->status.has_value();
}

struct TlsContext {
    SSL_CTX* ctx = nullptr;
    ~TlsContext() {
        if (ctx) SSL_CTX_free(ctx);
    }
};

inline nlohmann::json error_body(std::string_view text) {
    return nlohmann::json{{"error", text}};
}

struct Standin::Impl {
    Options options;
    TlsContext tls;
    std::unique_ptr<HttpServer> server;
    // Where redirect faults point: a second loopback port that nothing should ever reach.
    std::unique_ptr<HttpServer> trap;
    uint16_t port = 0;
    bool https = false;
    Line line;  // the rate bodies are read at, and the waits of stall faults

    mutable std::mutex mutex;
    FaultScript script;
    std::map<std::string, uint32_t> step_counts;
    std::map<uint64_t, uint32_t> part_counts;
    std::vector<std::string> order;
    std::map<std::string, DeliveryState> deliveries;
    std::vector<std::shared_ptr<RequestRecord>> requests;
    std::mt19937_64 random{std::random_device{}()};

    std::string base_url() const;

    // The wire (line.cpp).
    // Hands the request body to sink as it arrives, at the line's rate, dropping or stalling the
    // connection where the fault says. False when the body did not arrive (cut on purpose, or
    // the client went away).
    bool read_body(const Turn& turn, HttpConnection& connection,
                   const std::function<void(const char*, size_t)>& sink);
    // Sends the answer, changed as the request's fault says.
    void respond(const Turn& turn, const HttpRequest& req, HttpConnection& connection, int status,
                 std::string body, std::optional<std::string> etag_hex);

    // The protocol (standin.cpp).
    Turn begin(std::string step, const HttpRequest& req,
               std::optional<uint64_t> part = std::nullopt);
    void note_digest(const Turn& turn, std::string hex);
    std::pair<int, nlohmann::json> announce(const HttpRequest& req, const std::string& body);
    // Where an upload may go; the error answer when the link is not one this service gave out.
    std::optional<std::pair<int, nlohmann::json>> upload_refusal(const HttpRequest& req,
                                                                 const std::string& id,
                                                                 uint64_t part);
    // Where a part of a delivery goes in the zip being received.
    std::unique_ptr<PartWriter> part_writer(const std::string& id, uint64_t part);
    // A part goes straight to its place in the zip, hashed as it arrives.
    void upload(const HttpRequest& req, HttpConnection& connection, const std::string& id,
                uint64_t part);
    std::pair<int, nlohmann::json> complete(const HttpRequest& req, const std::string& id,
                                            const std::string& body);
    // The announce and complete steps: the JSON body read whole, then the step's fault when one
    // is set, else the step's own answer.
    template <typename Answer>
    void json_step(const char* step, const HttpRequest& req, HttpConnection& connection,
                   Answer answer);
    // The trap answers anything as the service would if it had the delivery, so that a client
    // that followed a redirect there would believe it delivered; the record tells on it.
    void caught(const HttpRequest& req, HttpConnection& connection);
    void route(const HttpRequest& req, HttpConnection& connection);

    // The control interface (control.cpp). Its requests are small JSON bodies, answered at once;
    // the echo is a step of its own, faults and all.
    void control(const HttpRequest& req, HttpConnection& connection);
    std::pair<int, nlohmann::json> control_answer(const HttpRequest& req, const std::string& body);
    std::pair<int, nlohmann::json> settings(const std::string& body);
    nlohmann::json received() const;
    void echo(const HttpRequest& req, HttpConnection& connection);
    void set_faults(std::vector<Fault> list);
    void reset();
};

}  // namespace dalvento::standin
