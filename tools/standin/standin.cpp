// The stand-in's routes and the service's protocol as it answers them. What a running stand-in
// holds is in standin_impl.h; the wire (reading bodies at the line's rate, cutting or stalling
// them, bent replies) in line.cpp; the control interface in control.cpp; the rules for what it is
// sent in rules.cpp; the fault script in faults.cpp; what it keeps on disk in storage.cpp; and the
// HTTP server in http_server.cpp.
#include "standin/standin.h"

#include <openssl/ssl.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "standin/faults.h"
#include "standin/http_server.h"
#include "standin/rules.h"
#include "standin/standin_impl.h"
#include "standin/storage.h"

namespace dalvento::standin {

namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

std::string utc_now() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string random_hex(std::mt19937_64& random, size_t bytes) {
    std::vector<uint8_t> drawn(bytes);
    for (uint8_t& byte : drawn)
        byte = static_cast<uint8_t>(random() & 0xFF);
    return to_hex(drawn.data(), drawn.size());
}

bool is_word(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    }
    return true;
}

// "/upload/{id}/{part}": the delivery and the part number; none for any other path.
std::optional<std::pair<std::string, uint64_t>> upload_path(std::string_view path) {
    if (!path.starts_with("/upload/")) return std::nullopt;
    path.remove_prefix(8);
    const size_t slash = path.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view id = path.substr(0, slash), digits = path.substr(slash + 1);
    if (!is_word(id) || digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    return std::pair{std::string(id), std::stoull(std::string(digits))};
}

// "/v1/deliveries/{id}/complete": the delivery; none for any other path.
std::optional<std::string> complete_path(std::string_view path) {
    constexpr std::string_view prefix = "/v1/deliveries/", suffix = "/complete";
    if (!path.starts_with(prefix) || !path.ends_with(suffix)) return std::nullopt;
    if (path.size() <= prefix.size() + suffix.size()) return std::nullopt;
    const std::string_view id =
        path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    if (id.find('/') != std::string_view::npos) return std::nullopt;
    return std::string(id);
}

}  // namespace

std::string Standin::Impl::base_url() const {
    return std::string(https ? "https" : "http") + "://127.0.0.1:" + std::to_string(port);
}

Turn Standin::Impl::begin(std::string step, const HttpRequest& req, std::optional<uint64_t> part) {
    std::lock_guard lock(mutex);
    Turn turn;
    turn.step = step;
    turn.attempt = ++step_counts[step];
    const uint32_t part_attempt = part ? ++part_counts[*part] : 0;
    if (const Fault* fault = script.find(step, turn.attempt, part, part_attempt))
        turn.fault = *fault;
    auto record = std::make_shared<RequestRecord>();
    record->step = step;
    record->method = req.method;
    record->target = req.target;
    record->attempt = turn.attempt;
    record->user_agent = req.header("User-Agent");
    record->content_type = req.header("Content-Type");
    record->authorization = req.header("Authorization");
    record->accept = req.header("Accept");
    record->via = req.header("Via");
    requests.push_back(record);
    turn.record = record;
    return turn;
}

void Standin::Impl::note_digest(const Turn& turn, std::string hex) {
    std::lock_guard lock(mutex);
    turn.record->body_sha256 = std::move(hex);
}

std::pair<int, json> Standin::Impl::announce(const HttpRequest& req, const std::string& body) {
    std::lock_guard lock(mutex);
    if (req.header("Authorization") != "Bearer " + options.token) {
        return {401, error_body("the office token isn't valid")};
    }
    if (!req.header("Content-Type").starts_with("application/json")) {
        return {415, error_body("the announce must be sent as application/json")};
    }
    const json announce = json::parse(body, nullptr, false);
    if (announce.is_discarded()) return {422, error_body("the announce isn't JSON")};
    if (auto problem = announce_problem(announce)) return {422, error_body(*problem)};
    if (!is_canonical(announce, body)) {
        return {422, error_body("the announce must be compact JSON with its members in "
                                "ascending order")};
    }

    const std::string zip_sha256 = announce["zip_sha256"].get<std::string>();
    for (const std::string& id : order) {
        const Delivery& held = deliveries.at(id).record;
        if (held.received_at && held.zip_sha256 == zip_sha256) {
            return {200, json{{"delivery_id", id}, {"already_received_at", *held.received_at}}};
        }
    }

    DeliveryState state;
    Delivery& d = state.record;
    d.delivery_id = "dlv_" + random_hex(random, 8);
    d.announce = body;
    d.county = announce["county"].get<std::string>();
    d.zip_name = announce["zip_name"].get<std::string>();
    if (d.zip_name.empty()) d.zip_name = d.delivery_id + ".zip";
    d.zip_sha256 = zip_sha256;
    d.zip_bytes = announce["zip_bytes"].get<uint64_t>();
    d.single_url = options.single_url;
    state.upload_key = random_hex(random, 16);
    state.part_size = std::max<uint64_t>(options.part_size, 1);
    state.part_count = d.single_url ? 1 : (d.zip_bytes + state.part_size - 1) / state.part_size;

    const auto link = [&](uint64_t part) {
        return base_url() + "/upload/" + d.delivery_id + "/" + std::to_string(part) +
               "?key=" + state.upload_key;
    };
    json upload;
    if (d.single_url) {
        upload = json{{"url", link(1)}};
    } else {
        json parts = json::array();
        for (uint64_t part = 1; part <= state.part_count; ++part) {
            parts.push_back(
                json{{"part", part}, {"url", link(part)}, {"bytes", state.place_of(part).second}});
        }
        upload = json{{"part_size", state.part_size}, {"parts", parts}};
    }
    // The zip is received in place, in a file there from the start: an empty zip has no
    // part to bring it.
    std::error_code ignored;
    fs::create_directories(options.data / d.delivery_id, ignored);
    const PartWriter start(receiving_path(options.data / d.delivery_id / d.zip_name), 0, 0);
    const json reply{{"delivery_id", d.delivery_id}, {"county", d.county}, {"upload", upload}};
    order.push_back(d.delivery_id);
    deliveries.emplace(d.delivery_id, std::move(state));
    return {201, reply};
}

std::optional<std::pair<int, json>> Standin::Impl::upload_refusal(const HttpRequest& req,
                                                                  const std::string& id,
                                                                  uint64_t part) {
    std::lock_guard lock(mutex);
    const auto found = deliveries.find(id);
    if (found == deliveries.end()) return std::pair{404, error_body("no such delivery")};
    if (req.param("key") != found->second.upload_key) {
        return std::pair{403, error_body("this upload link isn't valid")};
    }
    if (part == 0 || part > found->second.part_count) {
        return std::pair{404, error_body("no such part")};
    }
    return std::nullopt;
}

std::unique_ptr<PartWriter> Standin::Impl::part_writer(const std::string& id, uint64_t part) {
    std::lock_guard lock(mutex);
    const DeliveryState& state = deliveries.at(id);
    const auto [offset, expected] = state.place_of(part);
    return std::make_unique<PartWriter>(receiving_path(options.data / id / state.record.zip_name),
                                        offset, expected);
}

void Standin::Impl::upload(const HttpRequest& req, HttpConnection& connection,
                           const std::string& id, uint64_t part) {
    const Turn turn = begin("upload", req, part);
    const auto refusal = upload_refusal(req, id, part);
    const bool storing = !refusal && !fault_status(turn);

    std::unique_ptr<PartWriter> out;
    if (storing) out = part_writer(id, part);
    Sha256 digest;
    const bool arrived = read_body(turn, connection, [&](const char* data, size_t size) {
        if (out) {
            out->write(data, size);
        } else {
            digest.update(data, size);
        }
    });
    const std::string hex = out ? out->sha256() : digest.finish_hex();
    note_digest(turn, hex);
    if (!arrived) {
        // Its place in the zip may hold some of it now: the part is no longer there whole.
        // A reset while the body came may have forgotten the delivery already.
        if (out) {
            std::lock_guard lock(mutex);
            if (const auto found = deliveries.find(id); found != deliveries.end())
                found->second.stored.erase(part);
        }
        return;
    }
    if (fault_status(turn)) {
        respond(turn, req, connection, *turn.fault->status, turn.fault->body.value_or(""),
                std::nullopt);
        return;
    }
    if (refusal) {
        respond(turn, req, connection, refusal->first, refusal->second.dump(), std::nullopt);
        return;
    }
    if (!out->ok()) {
        respond(turn, req, connection, 500, error_body("couldn't store the part").dump(),
                std::nullopt);
        return;
    }
    {
        std::lock_guard lock(mutex);
        if (const auto found = deliveries.find(id); found != deliveries.end())
            found->second.stored[part] = ReceivedPart{part, out->bytes(), hex, out->fits()};
    }
    respond(turn, req, connection, 200, "", hex);
}

std::pair<int, json> Standin::Impl::complete(const HttpRequest& req, const std::string& id,
                                             const std::string& body) {
    DeliveryState state;
    {
        std::lock_guard lock(mutex);
        if (req.header("Authorization") != "Bearer " + options.token) {
            return {401, error_body("the office token isn't valid")};
        }
        const auto found = deliveries.find(id);
        if (found == deliveries.end()) return {404, error_body("no such delivery")};
        if (found->second.record.received_at) {
            return {200,
                    json{{"delivery_id", id}, {"received_at", *found->second.record.received_at}}};
        }
        state = found->second;
    }
    if (!req.header("Content-Type").starts_with("application/json")) {
        return {415, error_body("complete must be sent as application/json")};
    }
    if (state.record.single_url) {
        if (!body.empty()) {
            return {400, error_body("a single-url delivery completes with an empty body")};
        }
    } else {
        const json listed = json::parse(body, nullptr, false);
        if (listed.is_discarded() || !listed.is_object() || !listed.contains("parts") ||
            listed.size() != 1 || !listed["parts"].is_array()) {
            return {400, error_body("complete needs {\"parts\":[{\"etag\",\"part\"}, ...]}")};
        }
        if (!is_canonical(listed, body)) {
            return {400, error_body("complete must be compact JSON with its members in "
                                    "ascending order")};
        }
        std::set<uint64_t> seen;
        for (const json& entry : listed["parts"]) {
            if (!entry.is_object() || entry.size() != 2 || !is_hex64(entry.value("etag", json())) ||
                !entry.contains("part") || !entry["part"].is_number_unsigned()) {
                return {400, error_body("each listed part needs etag and part")};
            }
            const uint64_t part = entry["part"].get<uint64_t>();
            const auto stored = state.stored.find(part);
            if (stored == state.stored.end() ||
                stored->second.sha256 != entry["etag"].get<std::string>()) {
                return {409, error_body("part " + std::to_string(part) + " didn't arrive intact")};
            }
            seen.insert(part);
        }
        for (uint64_t part = 1; part <= state.part_count; ++part) {
            if (!seen.contains(part)) {
                return {409, error_body("part " + std::to_string(part) + " is missing")};
            }
        }
    }

    // A part of the wrong size leaves the zip short or cut, whatever its first bytes.
    const std::pair<int, json> mismatch{409,
                                        error_body("the zip's SHA-256 doesn't match the announce")};
    if (!std::ranges::all_of(state.stored, [](const auto& p) { return p.second.fits; }))
        return mismatch;
    // Hashed outside the lock: a zip can be large.
    const fs::path zip_path = options.data / id / state.record.zip_name;
    const auto digest = digest_file(receiving_path(zip_path));
    if (!digest) return {500, error_body("couldn't store the zip: " + digest.error())};
    if (digest->sha256 != state.record.zip_sha256 || digest->bytes != state.record.zip_bytes)
        return mismatch;
    std::error_code renamed;
    fs::rename(receiving_path(zip_path), zip_path, renamed);
    if (renamed) return {500, error_body("couldn't store the zip: " + renamed.message())};
    std::lock_guard lock(mutex);
    const auto found = deliveries.find(id);
    if (found == deliveries.end()) return {404, error_body("no such delivery")};
    auto& held = found->second.record;
    held.received_at = utc_now();
    held.zip_path = zip_path;
    return {200, json{{"delivery_id", id}, {"received_at", *held.received_at}}};
}

template <typename Answer>
void Standin::Impl::json_step(const char* step, const HttpRequest& req, HttpConnection& connection,
                              Answer answer) {
    const Turn turn = begin(step, req);
    std::string body;
    const bool arrived = read_body(turn, connection,
                                   [&](const char* data, size_t size) { body.append(data, size); });
    note_digest(turn, sha256_hex(body));
    if (!arrived) return;
    if (fault_status(turn)) {
        respond(turn, req, connection, *turn.fault->status, turn.fault->body.value_or(""),
                std::nullopt);
        return;
    }
    const auto [status, reply] = answer(body);
    respond(turn, req, connection, status, reply.dump(), std::nullopt);
}

void Standin::Impl::caught(const HttpRequest& req, HttpConnection& connection) {
    const Turn turn = begin("redirected", req);
    read_body(turn, connection, [](const char*, size_t) {});
    const json claim{{"already_received_at", "2026-01-01T00:00:00Z"},
                     {"delivery_id", "dlv_trap"},
                     {"received_at", "2026-01-01T00:00:00Z"}};
    respond(turn, req, connection, 200, claim.dump(), std::nullopt);
}

void Standin::Impl::route(const HttpRequest& req, HttpConnection& connection) {
    const std::string& method = req.method;
    if (method == "POST" && req.path == "/v1/deliveries") {
        return json_step("announce", req, connection,
                         [&](const std::string& body) { return announce(req, body); });
    }
    if (method == "PUT") {
        if (const auto upload_at = upload_path(req.path))
            return upload(req, connection, upload_at->first, upload_at->second);
    }
    if (method == "POST") {
        if (const auto id = complete_path(req.path)) {
            return json_step("complete", req, connection,
                             [&](const std::string& body) { return complete(req, *id, body); });
        }
    }
    if ((method == "POST" || method == "PUT") && req.path == "/_standin/echo")
        return echo(req, connection);
    if (req.path.starts_with("/_standin/")) return control(req, connection);
    connection.reply(404, {}, error_body("no such route").dump());
}

Standin::Standin() : impl_(std::make_unique<Impl>()) {}

Standin::~Standin() {
    stop();
}

std::expected<std::unique_ptr<Standin>, std::string> Standin::start(Options options) {
    // A client that goes away mid-reply must not end the process.
    signal(SIGPIPE, SIG_IGN);
    std::error_code error;
    fs::create_directories(options.data, error);
    if (error)
        return std::unexpected("couldn't create " + options.data.native() + ": " + error.message());

    std::unique_ptr<Standin> standin(new Standin());
    Impl& impl = *standin->impl_;
    impl.options = std::move(options);
    impl.line.set_rate(impl.options.rate);
    if (!impl.options.certificate.empty() || !impl.options.key.empty()) {
        impl.tls.ctx = SSL_CTX_new(TLS_server_method());
        if (!impl.tls.ctx ||
            SSL_CTX_use_certificate_chain_file(impl.tls.ctx, impl.options.certificate.c_str()) !=
                1 ||
            SSL_CTX_use_PrivateKey_file(impl.tls.ctx, impl.options.key.c_str(), SSL_FILETYPE_PEM) !=
                1 ||
            SSL_CTX_check_private_key(impl.tls.ctx) != 1) {
            return std::unexpected("couldn't use the certificate " +
                                   impl.options.certificate.native() + " with the key " +
                                   impl.options.key.native());
        }
        impl.https = true;
    }
    auto trap = HttpServer::start(0, [&impl](const HttpRequest& req, HttpConnection& connection) {
        impl.caught(req, connection);
    });
    if (!trap) return std::unexpected(trap.error());
    impl.trap = std::move(*trap);
    auto server = HttpServer::start(
        impl.options.port,
        [&impl](const HttpRequest& req, HttpConnection& connection) {
            impl.route(req, connection);
        },
        impl.tls.ctx);
    if (!server) return std::unexpected(server.error());
    impl.server = std::move(*server);
    impl.port = impl.server->port();
    return standin;
}

uint16_t Standin::port() const {
    return impl_->port;
}

std::string Standin::base_url() const {
    return impl_->base_url();
}

void Standin::stop() {
    impl_->line.stop();  // a connection waiting on the line would hold up the server's stop
    if (impl_->server) impl_->server->stop();
    if (impl_->trap) impl_->trap->stop();
}

}  // namespace dalvento::standin
