// The delivery protocol's tests over a scripted HTTP double and a clock that never sleeps.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/platform/platform.h"
#include "core/platform/sha256.h"
#include "support/test_support.h"
#include "upload/delivery.h"
#include "upload/test_clock.h"

namespace dalvento::testing::delivery {

using Json = nlohmann::json;

inline const std::string ZIP = "ABCDEFGHIJKLMNOPQRSTUVWXY";                       // 25 bytes
inline const std::string TOKEN = "dlvt_0123456789abcdefghijklmnopqrstuvwxyz012";  // 44 characters
inline const std::string BASE = "http://svc.test:8080";
inline const std::string ANNOUNCE = R"({"client":"dalvento/0.2.0"})";
inline const std::string CHAT = "chat.dalvento.example";

inline std::string quoted_sha(std::string_view bytes) {
    return "\"" + sha256_hex(bytes) + "\"";
}

using Reply = HttpResult;

inline Reply reply(uint16_t status, std::string body = "",
                   std::optional<std::string> etag = std::nullopt) {
    return HttpReply{status, std::move(body), std::move(etag)};
}

// A failed exchange: on the line unless said otherwise.
inline Reply failed(std::string text, HttpProblem problem = HttpProblem::dropped,
                    bool nothing_sent = false) {
    return std::unexpected(HttpFailure{problem, nothing_sent, std::move(text)});
}
inline Reply refused() {
    return failed("couldn't send: couldn't connect (no network, or a firewall)",
                  HttpProblem::cannot_connect, true);
}

// Answers each request with the next scripted reply and records what was asked.
class ScriptedHttp : public HttpSeam {
  public:
    std::deque<Reply> replies;
    std::vector<Call> calls;

    std::function<void()> on_request;  // e.g. a stop pressed during an exchange

    Reply request(std::string_view method, std::string_view url,
                  const std::vector<std::string>& headers, std::span<const uint8_t> body,
                  const HttpWatch& watch) override {
        calls.push_back({std::string(method), std::string(url), headers,
                         std::string(reinterpret_cast<const char*>(body.data()), body.size())});
        // As the client does for a streamed body: progress part way, then at the end.
        if (watch.progress) {
            if (body.size() > 1) watch.progress(body.size() / 2, body.size());
            watch.progress(body.size(), body.size());
        }
        if (on_request) on_request();
        if (replies.empty()) {
            ADD_FAILURE() << "no reply scripted for " << method << " " << url;
            return failed("no reply scripted", HttpProblem::other);
        }
        Reply next = std::move(replies.front());
        replies.pop_front();
        return next;
    }

    std::vector<std::string> methods() const {
        std::vector<std::string> out;
        for (const Call& c : calls)
            out.push_back(c.method + " " + c.url);
        return out;
    }
};

inline Reply announced(const Json& upload, std::string id = "dl-42") {
    Json body = {{"delivery_id", id}, {"county", "QUARNELL"}, {"upload", upload}};
    return reply(201, body.dump());
}

inline Json three_parts() {
    return {{"part_size", 10},
            {"parts",
             {{{"part", 1}, {"url", "http://up.test/p1?sig=a"}, {"bytes", 10}},
              {{"part", 2}, {"url", "http://up.test/p2?sig=b"}, {"bytes", 10}},
              {{"part", 3}, {"url", "http://up.test/p3?sig=c"}, {"bytes", 5}}}}};
}

inline Reply part_ok(std::string_view bytes) {
    return reply(200, "", quoted_sha(bytes));
}

inline Reply completed() {
    return reply(200, R"({"delivery_id":"dl-42","received_at":"2026-03-05T15:00:00Z"})");
}

class DeliveryProtocol : public ::testing::Test {
  protected:
    DeliveryProtocol() { write_file(zip_path(), ZIP); }

    std::filesystem::path zip_path() const { return dir_ / "QUARNELL-2026-03-05-1a2b3c4d.zip"; }

    SendOutcome send(std::string base = BASE + "/") {
        const SendJob job{.base_url = std::move(base),
                          .token = TOKEN,
                          .zip_path = zip_path(),
                          .announce_body = ANNOUNCE};
        const SendHooks hooks{
            .report = [this](const SendStatus& status) { reports_.push_back(status_text(status)); },
            .stop = &stop_,
            .clock = &clock_};
        return send_delivery(job, http_, hooks);
    }

    // The outcome's message, or "received" / "already received".
    std::string send_text(std::string base = BASE) {
        const auto outcome = send(std::move(base));
        if (outcome) return outcome->already_received ? "already received" : "received";
        return send_error_message(outcome.error());
    }

    void script(std::initializer_list<Reply> replies) {
        for (const auto& r : replies)
            http_.replies.push_back(r);
    }

    size_t puts() const {
        size_t n = 0;
        for (const Call& c : http_.calls)
            n += c.method == "PUT";
        return n;
    }

    // "{stage} {done}/{total}", and "; {reason}, {s} s ({attempt})" while waiting.
    static std::string status_text(const SendStatus& status) {
        const char* stages[] = {"announce", "upload", "complete"};
        std::string text = std::string(stages[static_cast<int>(status.stage)]) + " " +
                           std::to_string(status.done) + "/" + std::to_string(status.total);
        if (status.waiting) {
            text += "; " + status.waiting->reason + ", " +
                    std::to_string(status.waiting->seconds_left) + " s (" +
                    std::to_string(status.waiting->attempt) + ")";
        }
        return text;
    }

    TempDir dir_;
    ScriptedHttp http_;
    TestClock clock_;
    std::atomic<bool> stop_ = false;
    std::vector<std::string> reports_;  // as status_text gives them, in the order told
};

}  // namespace dalvento::testing::delivery
