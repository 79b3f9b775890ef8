// The wire: request bodies read at the line's rate and cut or held where a fault says, and the
// replies a fault bends (not HTTP, cut short, chunked, redirected).
#include "standin/line.h"

#include <algorithm>
#include <cstdio>

#include "standin/faults.h"
#include "standin/standin_impl.h"
#include "standin/storage.h"

namespace dalvento::standin {

namespace {

// At most this much is read ahead of the rate after an idle spell: 50 ms worth, or 64 KiB at
// rates so low that 50 ms is only a few packets.
double burst_at(uint64_t rate) {
    return std::max(static_cast<double>(rate) * 0.05, 64.0 * 1024);
}

}  // namespace

void Line::set_rate(uint64_t bytes_per_second) {
    std::lock_guard lock(mutex_);
    rate_ = bytes_per_second;
    tokens_ = burst_at(rate_);
    filled_ = Clock::now();
    ++generation_;
    changed_.notify_all();
}

uint64_t Line::rate() const {
    std::lock_guard lock(mutex_);
    return rate_;
}

size_t Line::piece() const {
    std::lock_guard lock(mutex_);
    if (rate_ == 0) return SIZE_MAX;
    return static_cast<size_t>(std::clamp<uint64_t>(rate_ / 20, 1024, 1 << 20));
}

bool Line::take(uint64_t bytes) {
    std::unique_lock lock(mutex_);
    if (stopped_) return false;
    if (rate_ == 0) return true;
    const Clock::time_point now = Clock::now();
    const double rate = static_cast<double>(rate_);
    tokens_ = std::min(burst_at(rate_),
                       tokens_ + std::chrono::duration<double>(now - filled_).count() * rate);
    filled_ = now;
    tokens_ -= static_cast<double>(bytes);
    if (tokens_ >= 0) return true;
    // Sleeps until the refill covers what was read; several connections in debt wait in turn,
    // each for its own share.
    const auto wait =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(-tokens_ / rate));
    const uint64_t generation = generation_;
    changed_.wait_until(lock, now + wait, [&] { return stopped_ || generation_ != generation; });
    return !stopped_;
}

bool Line::pause(double seconds) {
    std::unique_lock lock(mutex_);
    const auto wait =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    changed_.wait_for(lock, wait, [&] { return stopped_; });
    return !stopped_;
}

void Line::stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
}

bool Standin::Impl::read_body(const Turn& turn, HttpConnection& connection,
                              const std::function<void(const char*, size_t)>& sink) {
    const Fault* fault = turn.fault ? &*turn.fault : nullptr;
    const bool dropping = fault && fault->drop;
    const uint64_t drop_at = dropping ? fault->drop_after.value_or(UINT64_MAX) : UINT64_MAX;
    const bool stalling = fault && fault->stall && fault->stall_after <= drop_at;
    const uint64_t cut_at = stalling ? fault->stall_after : drop_at;

    uint64_t seen = 0;
    bool whole = false, lost = false;
    while (seen < cut_at) {
        const auto piece = connection.read_piece(
            static_cast<size_t>(std::min<uint64_t>(line.piece(), cut_at - seen)));
        if (!piece) break;
        if (piece->empty()) {
            whole = true;
            break;
        }
        sink(piece->data(), piece->size());
        seen += piece->size();
        if (!line.take(piece->size())) {
            lost = true;
            break;
        }
    }
    {
        std::lock_guard lock(mutex);
        turn.record->body_bytes = seen;
    }
    // A stall ends the way a line that went dead does: the client's writes block, and at last
    // the connection goes.
    if (stalling && !lost) lost = !line.pause(*fault->stall);
    if (dropping || stalling || lost) {
        connection.reset();
        return false;
    }
    return whole;
}

void Standin::Impl::respond(const Turn& turn, const HttpRequest& req, HttpConnection& connection,
                            int status, std::string body, std::optional<std::string> etag_hex) {
    std::optional<std::string> etag;
    if (etag_hex) etag = "\"" + *etag_hex + "\"";
    const Fault* fault = turn.fault ? &*turn.fault : nullptr;
    if (fault && fault->not_http) {
        connection.write_raw("SSH-2.0-OpenSSH_9.2 not what you asked for\r\n\r\n");
        connection.end();
        return;
    }
    if (fault) {
        if (fault->body) body = *fault->body;
        if (fault->reply_bytes) body.assign(static_cast<size_t>(*fault->reply_bytes), 'x');
        const std::string hex = etag_hex.value_or(sha256_hex(body));
        etag = faulty_etag(*fault, etag, hex, sha256_hex("not the part: " + hex));
    }
    {
        std::lock_guard lock(mutex);
        turn.record->status = status;
    }
    HeaderList headers;
    if (etag) headers.emplace_back("ETag", *etag);
    if (fault && fault->redirect) {
        headers.emplace_back("Location",
                             "http://127.0.0.1:" + std::to_string(trap->port()) + req.target);
    }
    if (fault && (fault->chunked || fault->cut_chunked || fault->cut_in_chunk)) {
        // The body in two chunks and the last, empty one, then the end of the connection;
        // or cut off after the first half: at that chunk's end, or inside a chunk announced
        // as the whole body.
        std::string raw = "HTTP/1.1 " + std::to_string(status) + " " +
                          std::string(reason_phrase(status)) + "\r\n";
        for (const auto& [name, value] : headers)
            raw += name + ": " + value + "\r\n";
        raw += "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
        const auto chunk = [&raw](size_t announced, std::string_view data, bool whole) {
            char size[32];
            std::snprintf(size, sizeof size, "%zx\r\n", announced);
            raw += size;
            raw += data;
            if (whole) raw += "\r\n";
        };
        const size_t half = std::max<size_t>(body.size() / 2, 1);
        if (fault->cut_in_chunk) {
            chunk(body.size(), body.substr(0, half), false);
        } else {
            chunk(half, body.substr(0, half), true);
            if (fault->chunked) {
                if (body.size() > half) chunk(body.size() - half, body.substr(half), true);
                chunk(0, "", true);
            }
        }
        connection.write_raw(raw);
        connection.end();
        return;
    }
    if (fault && fault->cut_reply) {
        std::string head = "HTTP/1.1 " + std::to_string(status) + " " +
                           std::string(reason_phrase(status)) + "\r\n";
        for (const auto& [name, value] : headers)
            head += name + ": " + value + "\r\n";
        head += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\n\r\n";
        connection.write_raw(head + body.substr(0, body.size() / 2));
        connection.end();
        return;
    }
    connection.reply(status, headers, body);
}

}  // namespace dalvento::standin
