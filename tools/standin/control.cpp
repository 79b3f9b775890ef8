// The stand-in's control interface, over HTTP for a program that can't link it and as calls for
// one that can: faults, settings, reset, what it received and the echo.
#include "standin/standin_impl.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <nlohmann/json.hpp>

#include "standin/standin.h"

namespace dalvento::standin {

namespace {

using json = nlohmann::json;

}  // namespace

void Standin::Impl::control(const HttpRequest& req, HttpConnection& connection) {
    std::string body;
    if (!connection.read_body([&](const char* data, size_t size) {
            body.append(data, size);
            return body.size() <= (1 << 20);
        })) {
        return connection.reset();
    }
    const auto [status, reply] = control_answer(req, body);
    connection.reply(status, {}, reply.dump());
}

std::pair<int, json> Standin::Impl::control_answer(const HttpRequest& req,
                                                   const std::string& body) {
    const std::string& path = req.path;
    const bool post = req.method == "POST", get = req.method == "GET";
    if (post && path == "/_standin/faults") {
        auto faults_read = faults_from_json(body);
        if (!faults_read) return {400, error_body(faults_read.error())};
        const size_t count = faults_read->size();
        set_faults(std::move(*faults_read));
        return {200, json{{"faults", count}}};
    }
    if (post && path == "/_standin/settings") return settings(body);
    if (post && path == "/_standin/reset") {
        reset();
        return {200, json::object()};
    }
    if (get && path == "/_standin/received") return {200, received()};
    if (get && path == "/_standin/free_port") {
        // A port the system just handed out and nobody listens on any more.
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(address);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            if (fd >= 0) close(fd);
            return {500, error_body("no free port")};
        }
        close(fd);
        return {200, json{{"port", ntohs(address.sin_port)}}};
    }
    return {404, error_body("no such control")};
}

std::pair<int, json> Standin::Impl::settings(const std::string& body) {
    const json settings = json::parse(body, nullptr, false);
    if (!settings.is_object()) return {400, error_body("settings must be an object")};
    std::lock_guard lock(mutex);
    if (settings.contains("part_size")) {
        if (!settings["part_size"].is_number_unsigned() ||
            settings["part_size"].get<uint64_t>() == 0) {
            return {400, error_body("part_size must be a positive number")};
        }
        options.part_size = settings["part_size"].get<uint64_t>();
    }
    if (settings.contains("single_url")) {
        if (!settings["single_url"].is_boolean()) {
            return {400, error_body("single_url must be true or false")};
        }
        options.single_url = settings["single_url"].get<bool>();
    }
    if (settings.contains("token")) {
        if (!settings["token"].is_string()) return {400, error_body("token must be a string")};
        options.token = settings["token"].get<std::string>();
    }
    if (settings.contains("rate")) {
        if (!settings["rate"].is_number_unsigned()) {
            return {400, error_body("rate must be a number of bytes per second, 0 for no limit")};
        }
        options.rate = settings["rate"].get<uint64_t>();
        line.set_rate(options.rate);
    }
    return {200, json{{"part_size", options.part_size},
                      {"single_url", options.single_url},
                      {"rate", options.rate}}};
}

json Standin::Impl::received() const {
    std::lock_guard lock(mutex);
    json out{{"deliveries", json::array()}, {"requests", json::array()}};
    for (const std::string& id : order) {
        const DeliveryState& state = deliveries.at(id);
        const Delivery& d = state.record;
        json parts = json::array();
        for (const auto& [number, part] : state.stored) {
            parts.push_back(json{{"part", number}, {"bytes", part.bytes}, {"sha256", part.sha256}});
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
            {"via", r->via},
        });
    }
    return out;
}

void Standin::Impl::echo(const HttpRequest& req, HttpConnection& connection) {
    const Turn turn = begin("echo", req);
    Sha256 digest;
    uint64_t bytes = 0;
    const bool arrived = read_body(turn, connection, [&](const char* data, size_t size) {
        digest.update(data, size);
        bytes += size;
    });
    const std::string hex = digest.finish_hex();
    note_digest(turn, hex);
    if (!arrived) return;
    if (fault_status(turn)) {
        respond(turn, req, connection, *turn.fault->status, turn.fault->body.value_or(""),
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
    respond(turn, req, connection, 200, reply.dump(), hex);
}

void Standin::Impl::set_faults(std::vector<Fault> list) {
    std::lock_guard lock(mutex);
    script.faults = std::move(list);
    step_counts.clear();
    part_counts.clear();
}

void Standin::Impl::reset() {
    std::lock_guard lock(mutex);
    script.faults.clear();
    step_counts.clear();
    part_counts.clear();
    order.clear();
    deliveries.clear();
    requests.clear();
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

void Standin::set_rate(uint64_t bytes_per_second) {
    std::lock_guard lock(impl_->mutex);
    impl_->options.rate = bytes_per_second;
    impl_->line.set_rate(bytes_per_second);
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

}  // namespace dalvento::standin
