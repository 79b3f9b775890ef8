#include "standin/standin.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <set>
#include <thread>

namespace dalvento::standin {

namespace {

using json = nlohmann::json;
namespace fs = std::filesystem;

class Digest {
  public:
    Digest() : ctx_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr); }
    ~Digest() { EVP_MD_CTX_free(ctx_); }
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;
    void update(const void* data, size_t size) { EVP_DigestUpdate(ctx_, data, size); }
    std::string hex() {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        EVP_DigestFinal_ex(ctx_, out, &size);
        static const char digits[] = "0123456789abcdef";
        std::string text;
        for (unsigned int i = 0; i < size; ++i) {
            text += digits[out[i] >> 4];
            text += digits[out[i] & 15];
        }
        return text;
    }

  private:
    EVP_MD_CTX* ctx_;
};

std::string sha256_hex(std::string_view data) {
    Digest digest;
    digest.update(data.data(), data.size());
    return digest.hex();
}

std::string ascii_upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::string utc_now() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

json error_body(std::string_view text) {
    return json{{"error", text}};
}

bool is_hex64(const json& value) {
    if (!value.is_string()) return false;
    const std::string& text = value.get_ref<const std::string&>();
    if (text.size() != 64) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// A local time as the client writes it: RFC 3339 with a numeric offset, fractions only when
// non-zero, in 3, 6 or 9 digits.
bool is_local_time(const json& value) {
    if (!value.is_string()) return false;
    static const std::regex form(
        R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.(\d{3}|\d{6}|\d{9}))?[+-]\d{2}:\d{2})");
    std::smatch match;
    const std::string& text = value.get_ref<const std::string&>();
    if (!std::regex_match(text, match, form)) return false;
    const std::string fraction = match[2].str();
    return fraction.empty() || fraction.find_first_not_of('0') != std::string::npos;
}

std::optional<std::string> members_problem(const json& object, const std::set<std::string>& names) {
    for (const auto& item : object.items()) {
        if (!names.contains(item.key())) return "unknown member " + item.key();
    }
    for (const std::string& name : names) {
        if (!object.contains(name)) return "missing member " + name;
    }
    return std::nullopt;
}

std::optional<std::string> unit_problem(const json& unit) {
    if (!unit.is_object()) return std::string("must be an object");
    const auto text = [&](const char* name) {
        return unit.contains(name) && unit[name].is_string() ? unit[name].get<std::string>() : "";
    };
    const std::string status = text("status");
    std::set<std::string> names = {"key", "kind", "source", "core", "status"};
    if (status == "sent") {
        names.insert({"sha256", "files"});
    } else if (status == "unchanged") {
        names.insert({"sha256", "last_sent"});
    } else if (status == "left_out") {
        names.insert("reason");
    } else {
        return std::string("status must be sent, unchanged or left_out");
    }
    if (auto problem = members_problem(unit, names)) return problem;
    if (text("key").empty()) return std::string("key must be a non-empty string");
    const std::string kind = text("kind"), source = text("source");
    if (!((kind == "layer" && source == "map") || (kind == "table" && source == "parcel") ||
          (kind == "file" && source == "other"))) {
        return std::string("kind and source must be layer/map, table/parcel or file/other");
    }
    if (!unit["core"].is_boolean()) return std::string("core must be true or false");
    if (status == "left_out") {
        if (text("reason").empty()) return std::string("reason must be a non-empty string");
        return std::nullopt;
    }
    if (!unit["sha256"].is_null() && !is_hex64(unit["sha256"])) {
        return std::string("sha256 must be 64 lower-case hex digits or null");
    }
    if (status == "unchanged") {
        if (!unit["last_sent"].is_null() && !is_local_time(unit["last_sent"])) {
            return std::string("last_sent must be an RFC 3339 local time or null");
        }
        return std::nullopt;
    }
    if (!unit["files"].is_array()) return std::string("files must be an array");
    for (const json& file : unit["files"]) {
        if (!file.is_object()) return std::string("each file must be an object");
        if (auto problem = members_problem(file, {"name", "sha256", "bytes", "modified"})) {
            return "file: " + *problem;
        }
        if (!file["name"].is_string() || file["name"].get<std::string>().empty()) {
            return std::string("file name must be a non-empty string");
        }
        if (!file["sha256"].is_null() && !is_hex64(file["sha256"])) {
            return std::string("file sha256 must be 64 lower-case hex digits or null");
        }
        if (!file["bytes"].is_number_unsigned()) return std::string("file bytes must be a number");
        if (!file["modified"].is_null() && !is_local_time(file["modified"])) {
            return std::string("file modified must be an RFC 3339 local time or null");
        }
    }
    return std::nullopt;
}

std::optional<std::string> announce_problem(const json& announce) {
    if (!announce.is_object()) return std::string("the announce must be a JSON object");
    static const char* const texts[] = {"client",   "county",  "export_date", "sender",
                                        "tax_year", "unusual", "zip_name",    "zip_sha256"};
    std::set<std::string> names(std::begin(texts), std::end(texts));
    names.insert({"units", "zip_bytes"});
    if (auto problem = members_problem(announce, names)) return problem;
    for (const char* name : texts) {
        if (!announce[name].is_string()) return std::string(name) + " must be a string";
    }
    if (announce["county"].get<std::string>().empty()) return std::string("county is empty");
    static const std::regex date(R"(\d{4}-\d{2}-\d{2})");
    if (!std::regex_match(announce["export_date"].get<std::string>(), date)) {
        return std::string("export_date must read YYYY-MM-DD");
    }
    if (!announce["zip_bytes"].is_number_unsigned()) {
        return std::string("zip_bytes must be a whole number");
    }
    if (!is_hex64(announce["zip_sha256"])) {
        return std::string("zip_sha256 must be 64 lower-case hex digits");
    }
    const std::string zip_name = announce["zip_name"].get<std::string>();
    if (zip_name == "." || zip_name == ".." || zip_name.find_first_of("/\\") != std::string::npos) {
        return std::string("zip_name must be a plain file name");
    }
    if (!announce["units"].is_array()) return std::string("units must be an array");
    size_t index = 0;
    for (const json& unit : announce["units"]) {
        if (auto problem = unit_problem(unit)) {
            return "units[" + std::to_string(index) + "]: " + *problem;
        }
        ++index;
    }
    return std::nullopt;
}

// Bodies are written compactly with members in ascending byte order; nlohmann's own output is
// exactly that form, so a body that differs from its re-serialisation is not in it.
bool is_canonical(const json& value, std::string_view text) {
    return value.dump() == text;
}

// The connection a request came in on. cpp-httplib does not hand its socket to handlers, so for
// plain HTTP it is found among this process's sockets by its two ports.
int connection_socket(const httplib::Request& req) {
    if (req.ssl) return SSL_get_fd(req.ssl);
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    int found = -1;
    while (const dirent* entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (fd <= 2) continue;
        sockaddr_in local{}, peer{};
        socklen_t local_size = sizeof(local), peer_size = sizeof(peer);
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_size) != 0 ||
            local.sin_family != AF_INET ||
            getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_size) != 0) {
            continue;
        }
        if (ntohs(local.sin_port) == req.local_port && ntohs(peer.sin_port) == req.remote_port) {
            found = fd;
            break;
        }
    }
    closedir(dir);
    return found;
}

// Puts an unconnected socket in place of the connection, closing the connection itself:
// cpp-httplib then writes into nothing and closes its descriptor as usual.
void detach(int fd) {
    const int placeholder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (placeholder < 0) return;
    dup2(placeholder, fd);
    close(placeholder);
}

// Resets the connection: nothing more reaches the client, which sees the connection drop.
void reset_connection(int fd) {
    if (fd < 0) return;
    const linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    detach(fd);
}

// Ends the connection after what was written so far.
void end_connection(int fd) {
    if (fd < 0) return;
    shutdown(fd, SHUT_WR);
    detach(fd);
}

std::string random_hex(std::mt19937_64& random, size_t bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < bytes; ++i) {
        const auto byte = static_cast<unsigned>(random() & 0xFF);
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

struct DeliveryState {
    Delivery record;
    std::string upload_key;
    uint64_t part_size = 0;
    uint64_t part_count = 0;
    std::map<uint64_t, ReceivedPart> stored;
};

// One request's place in the books: its attempt, the fault that applies and its record.
struct Turn {
    std::string step;
    uint32_t attempt = 0;
    std::optional<Fault> fault;
    std::shared_ptr<RequestRecord> record;
};

bool fault_status(const Turn& turn) {
    return turn.fault && turn.fault->status.has_value();
}

}  // namespace

struct Standin::Impl {
    Options options;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    uint16_t port = 0;
    bool https = false;

    mutable std::mutex mutex;
    std::vector<Fault> faults;
    std::map<std::string, uint32_t> step_counts;
    std::map<uint64_t, uint32_t> part_counts;
    std::vector<std::string> order;
    std::map<std::string, DeliveryState> deliveries;
    std::vector<std::shared_ptr<RequestRecord>> requests;
    std::mt19937_64 random{std::random_device{}()};

    std::string base_url() const {
        return std::string(https ? "https" : "http") + "://127.0.0.1:" + std::to_string(port);
    }

    Turn begin(std::string step, const httplib::Request& req,
               std::optional<uint64_t> part = std::nullopt) {
        std::lock_guard lock(mutex);
        Turn turn;
        turn.step = step;
        turn.attempt = ++step_counts[step];
        const uint32_t part_attempt = part ? ++part_counts[*part] : 0;
        for (const Fault& fault : faults) {
            if (fault.step != step) continue;
            if (fault.part && (!part || *fault.part != *part)) continue;
            const uint32_t nth = fault.part ? part_attempt : turn.attempt;
            if (fault.attempt == 0 || fault.attempt == nth) {
                turn.fault = fault;
                break;
            }
        }
        auto record = std::make_shared<RequestRecord>();
        record->step = step;
        record->method = req.method;
        record->target = req.target;
        record->attempt = turn.attempt;
        record->user_agent = req.get_header_value("User-Agent");
        record->content_type = req.get_header_value("Content-Type");
        record->authorization = req.get_header_value("Authorization");
        record->accept = req.get_header_value("Accept");
        requests.push_back(record);
        turn.record = record;
        return turn;
    }

    // Reads the request body into sink, dropping the connection where the fault says. False when
    // the body did not arrive (dropped on purpose, or the client went away).
    bool read_body(const Turn& turn, const httplib::Request& req,
                   const httplib::ContentReader& reader,
                   const std::function<void(const char*, size_t)>& sink) {
        Digest digest;
        uint64_t seen = 0;
        const bool dropping = turn.fault && turn.fault->drop;
        const std::optional<uint64_t> limit = dropping ? turn.fault->drop_after : std::nullopt;
        bool dropped = false;
        const bool complete = reader([&](const char* data, size_t size) {
            size_t take = size;
            if (limit) take = static_cast<size_t>(std::min<uint64_t>(size, *limit - seen));
            digest.update(data, take);
            sink(data, take);
            seen += take;
            if (limit && seen >= *limit) {
                reset_connection(connection_socket(req));
                dropped = true;
                return false;
            }
            return true;
        });
        if (complete && dropping && !dropped) {
            reset_connection(connection_socket(req));
            dropped = true;
        }
        std::lock_guard lock(mutex);
        turn.record->body_bytes = seen;
        turn.record->body_sha256 = digest.hex();
        return complete && !dropped;
    }

    // Sends the answer, changed as the request's fault says.
    void respond(const Turn& turn, const httplib::Request& req, httplib::Response& res, int status,
                 std::string body, std::optional<std::string> etag_hex) {
        std::optional<std::string> etag;
        if (etag_hex) etag = "\"" + *etag_hex + "\"";
        if (const auto& fault = turn.fault) {
            if (fault->not_http) {
                const int fd = connection_socket(req);
                static const char junk[] = "SSH-2.0-OpenSSH_9.2 not what you asked for\r\n\r\n";
                if (fd >= 0) send(fd, junk, sizeof(junk) - 1, MSG_NOSIGNAL);
                end_connection(fd);
                return;
            }
            if (fault->body) body = *fault->body;
            if (fault->reply_bytes) body.assign(static_cast<size_t>(*fault->reply_bytes), 'x');
            const std::string hex = etag_hex.value_or(sha256_hex(body));
            switch (fault->etag) {
                case EtagFault::None:
                    break;
                case EtagFault::Wrong:
                    etag = "\"" + sha256_hex("not the part: " + hex) + "\"";
                    break;
                case EtagFault::Weak:
                    etag = "W/\"" + hex + "\"";
                    break;
                case EtagFault::Upper:
                    etag = "\"" + ascii_upper(hex) + "\"";
                    break;
                case EtagFault::WeakUpper:
                    etag = "W/\"" + ascii_upper(hex) + "\"";
                    break;
                case EtagFault::Missing:
                    etag.reset();
                    break;
            }
            if (fault->etag_value) etag = *fault->etag_value;
        }
        {
            std::lock_guard lock(mutex);
            turn.record->status = status;
        }
        res.status = status;
        if (etag) res.set_header("ETag", *etag);
        if (turn.fault && turn.fault->cut_reply) {
            const int fd = connection_socket(req);
            auto shared = std::make_shared<std::string>(std::move(body));
            res.set_content_provider(shared->size(), "application/json",
                                     [shared, fd](size_t, size_t, httplib::DataSink& sink) {
                                         sink.write(shared->data(), shared->size() / 2);
                                         end_connection(fd);
                                         return false;
                                     });
            return;
        }
        res.set_content(body, "application/json");
    }

    std::pair<int, json> announce(const httplib::Request& req, const std::string& body) {
        std::lock_guard lock(mutex);
        if (req.get_header_value("Authorization") != "Bearer " + options.token) {
            return {401, error_body("the office token isn't valid")};
        }
        if (!req.get_header_value("Content-Type").starts_with("application/json")) {
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
                const uint64_t offset = (part - 1) * state.part_size;
                parts.push_back(json{{"part", part},
                                     {"url", link(part)},
                                     {"bytes", std::min(state.part_size, d.zip_bytes - offset)}});
            }
            upload = json{{"part_size", state.part_size}, {"parts", parts}};
        }
        std::error_code ignored;
        fs::create_directories(options.data / d.delivery_id / "parts", ignored);
        const json reply{{"delivery_id", d.delivery_id}, {"county", d.county}, {"upload", upload}};
        order.push_back(d.delivery_id);
        deliveries.emplace(d.delivery_id, std::move(state));
        return {201, reply};
    }

    // Where an upload may go; the error answer when the link is not one this service gave out.
    std::optional<std::pair<int, json>> upload_refusal(const httplib::Request& req,
                                                       const std::string& id, uint64_t part) {
        std::lock_guard lock(mutex);
        const auto found = deliveries.find(id);
        if (found == deliveries.end()) return std::pair{404, error_body("no such delivery")};
        if (req.get_param_value("key") != found->second.upload_key) {
            return std::pair{403, error_body("this upload link isn't valid")};
        }
        if (part == 0 || part > found->second.part_count) {
            return std::pair{404, error_body("no such part")};
        }
        return std::nullopt;
    }

    void upload(const httplib::Request& req, httplib::Response& res,
                const httplib::ContentReader& reader) {
        const std::string id = req.matches[1];
        const uint64_t part = std::stoull(req.matches[2]);
        const Turn turn = begin("upload", req, part);
        const auto refusal = upload_refusal(req, id, part);
        const bool storing = !refusal && !fault_status(turn);

        const fs::path folder = options.data / id / "parts";
        const fs::path partial = folder / (std::to_string(part) + ".partial");
        std::ofstream out;
        if (storing) out.open(partial, std::ios::binary | std::ios::trunc);
        Digest digest;
        uint64_t bytes = 0;
        const bool arrived = read_body(turn, req, reader, [&](const char* data, size_t size) {
            if (!storing) return;
            out.write(data, static_cast<std::streamsize>(size));
            digest.update(data, size);
            bytes += size;
        });
        if (storing) out.close();
        std::error_code ignored;
        if (!arrived) {
            fs::remove(partial, ignored);
            return;
        }
        if (fault_status(turn)) {
            respond(turn, req, res, *turn.fault->status, turn.fault->body.value_or(""),
                    std::nullopt);
            return;
        }
        if (refusal) {
            respond(turn, req, res, refusal->first, refusal->second.dump(), std::nullopt);
            return;
        }
        if (!out) {
            respond(turn, req, res, 500, error_body("couldn't store the part").dump(),
                    std::nullopt);
            return;
        }
        fs::rename(partial, folder / std::to_string(part), ignored);
        const std::string hex = digest.hex();
        {
            std::lock_guard lock(mutex);
            auto& state = deliveries.at(id);
            state.stored[part] = ReceivedPart{part, bytes, hex};
        }
        respond(turn, req, res, 200, "", hex);
    }

    std::pair<int, json> complete(const httplib::Request& req, const std::string& id,
                                  const std::string& body) {
        DeliveryState state;
        {
            std::lock_guard lock(mutex);
            if (req.get_header_value("Authorization") != "Bearer " + options.token) {
                return {401, error_body("the office token isn't valid")};
            }
            const auto found = deliveries.find(id);
            if (found == deliveries.end()) return {404, error_body("no such delivery")};
            if (found->second.record.received_at) {
                return {200, json{{"delivery_id", id},
                                  {"received_at", *found->second.record.received_at}}};
            }
            state = found->second;
        }
        if (!req.get_header_value("Content-Type").starts_with("application/json")) {
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
                if (!entry.is_object() || entry.size() != 2 ||
                    !is_hex64(entry.value("etag", json())) || !entry.contains("part") ||
                    !entry["part"].is_number_unsigned()) {
                    return {400, error_body("each listed part needs etag and part")};
                }
                const uint64_t part = entry["part"].get<uint64_t>();
                const auto stored = state.stored.find(part);
                if (stored == state.stored.end() ||
                    stored->second.sha256 != entry["etag"].get<std::string>()) {
                    return {409,
                            error_body("part " + std::to_string(part) + " didn't arrive intact")};
                }
                seen.insert(part);
            }
            for (uint64_t part = 1; part <= state.part_count; ++part) {
                if (!seen.contains(part)) {
                    return {409, error_body("part " + std::to_string(part) + " is missing")};
                }
            }
        }

        // Assemble outside the lock: a zip can be large.
        const fs::path folder = options.data / id;
        const fs::path zip_path = folder / state.record.zip_name;
        const fs::path partial = folder / (state.record.zip_name + ".partial");
        Digest digest;
        uint64_t bytes = 0;
        {
            std::ofstream out(partial, std::ios::binary | std::ios::trunc);
            std::vector<char> buffer(1 << 20);
            for (uint64_t part = 1; part <= state.part_count; ++part) {
                std::ifstream in(folder / "parts" / std::to_string(part), std::ios::binary);
                if (!in) return {409, error_body("part " + std::to_string(part) + " is missing")};
                while (in) {
                    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
                    const auto got = static_cast<size_t>(in.gcount());
                    digest.update(buffer.data(), got);
                    out.write(buffer.data(), static_cast<std::streamsize>(got));
                    bytes += got;
                }
            }
            if (!out) return {500, error_body("couldn't store the zip")};
        }
        std::error_code ignored;
        if (digest.hex() != state.record.zip_sha256 || bytes != state.record.zip_bytes) {
            fs::remove(partial, ignored);
            return {409, error_body("the zip's SHA-256 doesn't match the announce")};
        }
        fs::rename(partial, zip_path, ignored);
        std::lock_guard lock(mutex);
        auto& held = deliveries.at(id).record;
        held.received_at = utc_now();
        held.zip_path = zip_path;
        return {200, json{{"delivery_id", id}, {"received_at", *held.received_at}}};
    }

    json received() const {
        std::lock_guard lock(mutex);
        json out{{"deliveries", json::array()}, {"requests", json::array()}};
        for (const std::string& id : order) {
            const DeliveryState& state = deliveries.at(id);
            const Delivery& d = state.record;
            json parts = json::array();
            for (const auto& [number, part] : state.stored) {
                parts.push_back(
                    json{{"part", number}, {"bytes", part.bytes}, {"sha256", part.sha256}});
            }
            out["deliveries"].push_back(json{
                {"delivery_id", d.delivery_id},
                {"announce", json::parse(d.announce, nullptr, false)},
                {"county", d.county},
                {"zip_name", d.zip_name},
                {"zip_sha256", d.zip_sha256},
                {"zip_bytes", d.zip_bytes},
                {"single_url", d.single_url},
                {"parts", parts},
                {"received_at", d.received_at ? json(*d.received_at) : json()},
                {"zip_path", d.received_at ? json(d.zip_path.native()) : json()},
            });
        }
        for (const auto& r : requests) {
            out["requests"].push_back(json{
                {"step", r->step},
                {"method", r->method},
                {"target", r->target},
                {"attempt", r->attempt},
                {"status", r->status},
                {"body_bytes", r->body_bytes},
                {"body_sha256", r->body_sha256},
                {"user_agent", r->user_agent},
                {"content_type", r->content_type},
                {"authorization", r->authorization},
                {"accept", r->accept},
            });
        }
        return out;
    }

    void echo(const httplib::Request& req, httplib::Response& res,
              const httplib::ContentReader& reader) {
        const Turn turn = begin("echo", req);
        Digest digest;
        uint64_t bytes = 0;
        if (!read_body(turn, req, reader, [&](const char* data, size_t size) {
                digest.update(data, size);
                bytes += size;
            })) {
            return;
        }
        const std::string hex = digest.hex();
        if (fault_status(turn)) {
            respond(turn, req, res, *turn.fault->status, turn.fault->body.value_or(""),
                    std::nullopt);
            return;
        }
        json headers = json::object();
        for (const auto& [name, value] : req.headers) {
            std::string lower = name;
            for (char& c : lower)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            headers[lower] = value;
        }
        const json reply{{"method", req.method},
                         {"target", req.target},
                         {"headers", headers},
                         {"bytes", bytes},
                         {"sha256", hex}};
        respond(turn, req, res, 200, reply.dump(), hex);
    }

    // The announce and complete steps: the JSON body read whole, then the step's fault when one
    // is set, else the step's own answer.
    template <typename Answer>
    void json_step(const char* step, const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& reader, Answer answer) {
        const Turn turn = begin(step, req);
        std::string body;
        if (!read_body(turn, req, reader,
                       [&](const char* data, size_t size) { body.append(data, size); })) {
            return;
        }
        if (fault_status(turn)) {
            respond(turn, req, res, *turn.fault->status, turn.fault->body.value_or(""),
                    std::nullopt);
            return;
        }
        const auto [status, reply] = answer(body);
        respond(turn, req, res, status, reply.dump(), std::nullopt);
    }

    void install_routes() {
        httplib::Server& s = *server;
        s.Post("/v1/deliveries", [this](const httplib::Request& req, httplib::Response& res,
                                        const httplib::ContentReader& reader) {
            json_step("announce", req, res, reader,
                      [&](const std::string& body) { return announce(req, body); });
        });
        s.Put(R"(/upload/([A-Za-z0-9_]+)/(\d{1,9}))",
              [this](const httplib::Request& req, httplib::Response& res,
                     const httplib::ContentReader& reader) { upload(req, res, reader); });
        s.Post(R"(/v1/deliveries/([^/]+)/complete)", [this](const httplib::Request& req,
                                                            httplib::Response& res,
                                                            const httplib::ContentReader& reader) {
            json_step("complete", req, res, reader,
                      [&](const std::string& body) { return complete(req, req.matches[1], body); });
        });
        const auto echo_handler = [this](const httplib::Request& req, httplib::Response& res,
                                         const httplib::ContentReader& reader) {
            echo(req, res, reader);
        };
        s.Post("/_standin/echo", echo_handler);
        s.Put("/_standin/echo", echo_handler);

        const auto control = [](httplib::Response& res, int status, const json& body) {
            res.status = status;
            res.set_content(body.dump(), "application/json");
        };
        s.Post("/_standin/faults",
               [this, control](const httplib::Request& req, httplib::Response& res) {
                   auto faults_read = faults_from_json(req.body);
                   if (!faults_read) return control(res, 400, error_body(faults_read.error()));
                   const size_t count = faults_read->size();
                   set_faults(std::move(*faults_read));
                   control(res, 200, json{{"faults", count}});
               });
        s.Post("/_standin/settings", [this, control](const httplib::Request& req,
                                                     httplib::Response& res) {
            const json settings = json::parse(req.body, nullptr, false);
            if (!settings.is_object())
                return control(res, 400, error_body("settings must be an object"));
            std::lock_guard lock(mutex);
            if (settings.contains("part_size")) {
                if (!settings["part_size"].is_number_unsigned() ||
                    settings["part_size"].get<uint64_t>() == 0) {
                    return control(res, 400, error_body("part_size must be a positive number"));
                }
                options.part_size = settings["part_size"].get<uint64_t>();
            }
            if (settings.contains("single_url")) {
                if (!settings["single_url"].is_boolean()) {
                    return control(res, 400, error_body("single_url must be true or false"));
                }
                options.single_url = settings["single_url"].get<bool>();
            }
            if (settings.contains("token")) {
                if (!settings["token"].is_string()) {
                    return control(res, 400, error_body("token must be a string"));
                }
                options.token = settings["token"].get<std::string>();
            }
            control(res, 200,
                    json{{"part_size", options.part_size}, {"single_url", options.single_url}});
        });
        s.Post("/_standin/reset", [this, control](const httplib::Request&, httplib::Response& res) {
            reset();
            control(res, 200, json::object());
        });
        s.Get("/_standin/received",
              [this, control](const httplib::Request&, httplib::Response& res) {
                  control(res, 200, received());
              });
        s.Get("/_standin/free_port", [control](const httplib::Request&, httplib::Response& res) {
            // A port the system just handed out and nobody listens on any more.
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t size = sizeof(address);
            if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
                getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
                if (fd >= 0) close(fd);
                return control(res, 500, error_body("no free port"));
            }
            close(fd);
            control(res, 200, json{{"port", ntohs(address.sin_port)}});
        });
    }

    void set_faults(std::vector<Fault> list) {
        std::lock_guard lock(mutex);
        faults = std::move(list);
        step_counts.clear();
        part_counts.clear();
    }

    void reset() {
        std::lock_guard lock(mutex);
        faults.clear();
        step_counts.clear();
        part_counts.clear();
        order.clear();
        deliveries.clear();
        requests.clear();
    }
};

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
    if (!impl.options.certificate.empty() || !impl.options.key.empty()) {
        auto server = std::make_unique<httplib::SSLServer>(impl.options.certificate.c_str(),
                                                           impl.options.key.c_str());
        if (!server->is_valid()) {
            return std::unexpected("couldn't use the certificate " +
                                   impl.options.certificate.native() + " with the key " +
                                   impl.options.key.native());
        }
        impl.server = std::move(server);
        impl.https = true;
    } else {
        impl.server = std::make_unique<httplib::Server>();
    }
    impl.server->set_read_timeout(60, 0);
    impl.server->set_write_timeout(60, 0);
    impl.install_routes();

    if (impl.options.port == 0) {
        const int port = impl.server->bind_to_any_port("127.0.0.1");
        if (port <= 0) return std::unexpected(std::string("couldn't listen on 127.0.0.1"));
        impl.port = static_cast<uint16_t>(port);
    } else {
        if (!impl.server->bind_to_port("127.0.0.1", impl.options.port)) {
            return std::unexpected("couldn't listen on 127.0.0.1:" +
                                   std::to_string(impl.options.port));
        }
        impl.port = impl.options.port;
    }
    httplib::Server* server = impl.server.get();
    impl.thread = std::thread([server] { server->listen_after_bind(); });
    // The socket already accepts connections; wait only until the server loop has started, so
    // that a stop right away is not lost.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!server->is_running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return std::unexpected(std::string("the server loop did not start"));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return standin;
}

uint16_t Standin::port() const {
    return impl_->port;
}

std::string Standin::base_url() const {
    return impl_->base_url();
}

void Standin::set_faults(std::vector<Fault> faults) {
    impl_->set_faults(std::move(faults));
}

void Standin::set_part_size(uint64_t part_size) {
    std::lock_guard lock(impl_->mutex);
    impl_->options.part_size = std::max<uint64_t>(part_size, 1);
}

void Standin::set_single_url(bool single_url) {
    std::lock_guard lock(impl_->mutex);
    impl_->options.single_url = single_url;
}

void Standin::set_token(std::string token) {
    std::lock_guard lock(impl_->mutex);
    impl_->options.token = std::move(token);
}

void Standin::reset() {
    impl_->reset();
}

std::vector<Delivery> Standin::deliveries() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<Delivery> out;
    for (const std::string& id : impl_->order) {
        const DeliveryState& state = impl_->deliveries.at(id);
        Delivery d = state.record;
        for (const auto& [number, part] : state.stored)
            d.parts.push_back(part);
        out.push_back(std::move(d));
    }
    return out;
}

std::vector<RequestRecord> Standin::requests() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<RequestRecord> out;
    for (const auto& record : impl_->requests)
        out.push_back(*record);
    return out;
}

void Standin::stop() {
    if (!impl_->server) return;
    impl_->server->stop();
    if (impl_->thread.joinable()) impl_->thread.join();
    impl_->server.reset();
}

std::expected<std::vector<Fault>, std::string> faults_from_json(std::string_view text) {
    const json parsed = json::parse(text, nullptr, false);
    if (parsed.is_discarded()) return std::unexpected(std::string("the faults aren't JSON"));
    const json* list = &parsed;
    if (parsed.is_object() && parsed.contains("faults")) list = &parsed["faults"];
    if (!list->is_array()) return std::unexpected(std::string("faults must be an array"));

    static const std::map<std::string, EtagFault> etags = {
        {"wrong", EtagFault::Wrong},     {"weak", EtagFault::Weak},
        {"upper", EtagFault::Upper},     {"weak_upper", EtagFault::WeakUpper},
        {"missing", EtagFault::Missing},
    };
    static const std::set<std::string> steps = {"announce", "upload", "complete", "echo"};
    std::vector<Fault> faults;
    for (const json& item : *list) {
        const std::string where = "fault " + std::to_string(faults.size() + 1) + ": ";
        if (!item.is_object()) return std::unexpected(where + "must be an object");
        Fault fault;
        for (const auto& member : item.items()) {
            const std::string& name = member.key();
            const json& value = member.value();
            const auto need = [&](bool ok, const char* what) -> std::optional<std::string> {
                if (ok) return std::nullopt;
                return where + name + " must be " + what;
            };
            std::optional<std::string> problem;
            if (name == "step") {
                problem = need(value.is_string() && steps.contains(value.get<std::string>()),
                               "announce, upload, complete or echo");
                if (!problem) fault.step = value.get<std::string>();
            } else if (name == "attempt") {
                problem = need(value.is_number_unsigned(), "a number");
                if (!problem) fault.attempt = value.get<uint32_t>();
            } else if (name == "part") {
                problem = need(value.is_number_unsigned(), "a number");
                if (!problem) fault.part = value.get<uint64_t>();
            } else if (name == "status") {
                problem = need(value.is_number_unsigned() && value.get<uint64_t>() >= 100 &&
                                   value.get<uint64_t>() <= 999,
                               "a status from 100 to 999");
                if (!problem) fault.status = value.get<int>();
            } else if (name == "body") {
                problem = need(value.is_string(), "a string");
                if (!problem) fault.body = value.get<std::string>();
            } else if (name == "not_json") {
                problem = need(value.is_boolean(), "true or false");
                if (!problem && value.get<bool>()) {
                    fault.body = "<html><body><h1>Service temporarily confused</h1></body></html>";
                }
            } else if (name == "reply_bytes") {
                problem = need(value.is_number_unsigned(), "a number");
                if (!problem) fault.reply_bytes = value.get<uint64_t>();
            } else if (name == "etag") {
                problem = need(value.is_string() && etags.contains(value.get<std::string>()),
                               "wrong, weak, upper, weak_upper or missing");
                if (!problem) fault.etag = etags.at(value.get<std::string>());
            } else if (name == "etag_value") {
                problem = need(value.is_string(), "a string");
                if (!problem) fault.etag_value = value.get<std::string>();
            } else if (name == "drop" || name == "not_http" || name == "cut_reply") {
                problem = need(value.is_boolean(), "true or false");
                if (!problem) {
                    (name == "drop"       ? fault.drop
                     : name == "not_http" ? fault.not_http
                                          : fault.cut_reply) = value.get<bool>();
                }
            } else if (name == "drop_after") {
                problem = need(value.is_number_unsigned(), "a number");
                if (!problem) {
                    fault.drop = true;
                    fault.drop_after = value.get<uint64_t>();
                }
            } else {
                problem = where + "unknown member " + name;
            }
            if (problem) return std::unexpected(*problem);
        }
        if (fault.step.empty()) return std::unexpected(where + "step is missing");
        faults.push_back(std::move(fault));
    }
    return faults;
}

}  // namespace dalvento::standin
