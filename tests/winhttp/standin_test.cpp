// The service stand-in itself, driven over HTTP the way the delivery protocol drives the service.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include "core/platform/sha256.h"
#include "support/standin/standin_access.h"
#include "support/test_support.h"

namespace dalvento {
namespace {

using nlohmann::json;
using testing::exchange;
using testing::standin_control;
using testing::standin_service;

std::string pseudo_zip(size_t size) {
    std::string bytes(size, '\0');
    uint32_t x = 2463534242u;
    for (char& c : bytes) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        c = static_cast<char>(x);
    }
    return bytes;
}

json announce_for(const std::string& zip, const std::string& zip_name) {
    const std::string member = sha256_hex("OWNER.shp");
    return json{
        {"client", "dalvento/0.2.0"},
        {"county", "QUARNELL"},
        {"export_date", "2026-03-01"},
        {"sender", "Ann Lee"},
        {"tax_year", "2026"},
        {"units", json::array({
                      {{"core", true},
                       {"files", json::array({{{"bytes", 9},
                                               {"modified", "2026-03-01T09:30:00.250-05:00"},
                                               {"name", "OWNER.shp"},
                                               {"sha256", member}}})},
                       {"key", "OWNER"},
                       {"kind", "layer"},
                       {"sha256", member},
                       {"source", "map"},
                       {"status", "sent"}},
                      {{"core", false},
                       {"key", "notes.pdf"},
                       {"kind", "file"},
                       {"reason", "not selected"},
                       {"source", "other"},
                       {"status", "left_out"}},
                  })},
        {"unusual", ""},
        {"zip_bytes", zip.size()},
        {"zip_name", zip_name},
        {"zip_sha256", sha256_hex(zip)},
    };
}

class Standin : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(standin_service().url.empty()) << standin_service().problem;
        ASSERT_TRUE(standin_control("POST", "/_standin/reset").is_object());
        ASSERT_TRUE(standin_control("POST", "/_standin/settings",
                                    json{{"part_size", 1000}, {"single_url", false}, {"rate", 0}})
                        .is_object());
    }
    // Reset keeps the settings: a rate must not outlive its test and slow down the others.
    void TearDown() override { standin_control("POST", "/_standin/settings", json{{"rate", 0}}); }
    static std::string url(std::string_view path) {
        return standin_service().url + std::string(path);
    }
    static HttpReply post(std::string_view path, const std::string& body,
                          std::string_view token = standin_service().token) {
        auto reply = post_json(make_user_agent(USER_AGENT), url(path), token, body);
        EXPECT_TRUE(reply.has_value()) << reply.error();
        return reply.value_or(HttpReply{});
    }
    static HttpReply put(const std::string& link, std::string_view bytes) {
        auto reply = exchange("PUT", link, {"Content-Type: application/zip"}, bytes);
        EXPECT_TRUE(reply.has_value()) << reply.error();
        return reply.value_or(HttpReply{});
    }
    static void set_faults(const json& faults) {
        ASSERT_TRUE(
            standin_control("POST", "/_standin/faults", json{{"faults", faults}}).is_object());
    }
    // The requests of a step as "{status} {body bytes}".
    static std::vector<std::string> requests_of(std::string_view step) {
        std::vector<std::string> out;
        const json held = standin_control("GET", "/_standin/received");
        for (const json& r : held["requests"]) {
            if (r["step"] == step) {
                out.push_back(std::to_string(r["status"].get<int>()) + " " +
                              std::to_string(r["body_bytes"].get<uint64_t>()));
            }
        }
        return out;
    }
    static std::string error_of(const HttpReply& reply) {
        const json body = json::parse(reply.body, nullptr, false);
        return body.is_object() ? body.value("error", "") : "(not JSON) " + reply.body;
    }
};

TEST_F(Standin, DeliveryInPartsThenAlreadyReceived) {
    const std::string zip = pseudo_zip(2500);
    const std::string announce = announce_for(zip, "QUARNELL_2026-03-01.zip").dump();
    const HttpReply created = post("/v1/deliveries", announce);
    ASSERT_EQ(created.status, 201) << created.body;
    const json plan = json::parse(created.body);
    const std::string id = plan["delivery_id"];
    EXPECT_EQ(plan["county"], "QUARNELL");
    EXPECT_EQ(plan["upload"]["part_size"], 1000);
    ASSERT_EQ(plan["upload"]["parts"].size(), 3u);

    json completed = json::array();
    for (const json& part : plan["upload"]["parts"]) {
        const uint64_t number = part["part"];
        const std::string link = part["url"];
        EXPECT_TRUE(link.starts_with(standin_service().url + "/upload/" + id + "/")) << link;
        EXPECT_EQ(part["bytes"], number < 3 ? 1000 : 500);
        const std::string bytes = zip.substr((number - 1) * 1000, part["bytes"].get<size_t>());
        const HttpReply stored = put(link, bytes);
        EXPECT_EQ(stored.status, 200);
        EXPECT_EQ(stored.etag, "\"" + sha256_hex(bytes) + "\"");
        completed.push_back(json{{"etag", sha256_hex(bytes)}, {"part", number}});
    }
    // Part 1 sent again, too long: its listed ETag matches what came, and its first 1000 bytes
    // are right, yet the zip is not whole; nor may the excess land on part 2.
    const std::string too_long = zip.substr(0, 1000) + "excess";
    json with_too_long = completed;
    with_too_long[0]["etag"] = sha256_hex(too_long);
    EXPECT_EQ(put(plan["upload"]["parts"][0]["url"], too_long).status, 200);
    const HttpReply misfit =
        post("/v1/deliveries/" + id + "/complete", json{{"parts", with_too_long}}.dump());
    EXPECT_EQ(misfit.status, 409);
    EXPECT_EQ(error_of(misfit), "the zip's SHA-256 doesn't match the announce");
    EXPECT_EQ(put(plan["upload"]["parts"][0]["url"], zip.substr(0, 1000)).status, 200);
    const HttpReply done =
        post("/v1/deliveries/" + id + "/complete", json{{"parts", completed}}.dump());
    ASSERT_EQ(done.status, 200) << done.body;
    const std::string received_at = json::parse(done.body)["received_at"];
    EXPECT_TRUE(
        std::regex_match(received_at, std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}Z)")))
        << received_at;

    const json held = standin_control("GET", "/_standin/received");
    ASSERT_EQ(held["deliveries"].size(), 1u);
    EXPECT_EQ(held["deliveries"][0]["received_at"], received_at);
    EXPECT_EQ(held["deliveries"][0]["announce"], json::parse(announce));
#ifndef _WIN32
    EXPECT_EQ(testing::read_file(held["deliveries"][0]["zip_path"].get<std::string>()), zip);
#endif

    const HttpReply again = post("/v1/deliveries", announce);
    ASSERT_EQ(again.status, 200) << again.body;
    EXPECT_EQ(json::parse(again.body),
              (json{{"delivery_id", id}, {"already_received_at", received_at}}));
}

TEST_F(Standin, RefusalsCarryAnErrorText) {
    const std::string zip = pseudo_zip(1500);
    json announce = announce_for(zip, "z.zip");

    const HttpReply wrong_token = post("/v1/deliveries", announce.dump(), "dlvt_wrong");
    EXPECT_EQ(wrong_token.status, 401);
    EXPECT_EQ(error_of(wrong_token), "the office token isn't valid");
    EXPECT_EQ(error_of(post("/v1/deliveries", "<html>")), "the announce isn't JSON");
    EXPECT_EQ(post("/v1/deliveries", announce.dump(1)).status, 422);  // not compact
    json bad_time = announce;
    bad_time["units"][0]["files"][0]["modified"] = "2026-03-01T09:30:00Z";
    EXPECT_EQ(error_of(post("/v1/deliveries", bad_time.dump())),
              "units[0]: file modified must be an RFC 3339 local time or null");
    json missing = announce;
    missing.erase("zip_sha256");
    const HttpReply invalid = post("/v1/deliveries", missing.dump());
    EXPECT_EQ(invalid.status, 422);
    EXPECT_EQ(error_of(invalid), "missing member zip_sha256");

    // Parts that do not add up to the announced zip are refused at complete.
    const HttpReply created = post("/v1/deliveries", announce.dump());
    ASSERT_EQ(created.status, 201) << created.body;
    const json plan = json::parse(created.body);
    const std::string id = plan["delivery_id"];
    std::string link = plan["upload"]["parts"][0]["url"];
    EXPECT_EQ(put(link.substr(0, link.find("?key=")) + "?key=forged", "x").status, 403);
    json completed = json::array();
    for (const json& part : plan["upload"]["parts"]) {
        const std::string bytes(part["bytes"].get<size_t>(), 'd');
        put(part["url"], bytes);
        completed.push_back(json{{"etag", sha256_hex(bytes)}, {"part", part["part"]}});
    }
    const HttpReply damaged =
        post("/v1/deliveries/" + id + "/complete", json{{"parts", completed}}.dump());
    EXPECT_EQ(damaged.status, 409);
    EXPECT_EQ(error_of(damaged), "the zip's SHA-256 doesn't match the announce");
    EXPECT_EQ(post("/v1/deliveries/dlv_unknown/complete", "{\"parts\":[]}").status, 404);
}

TEST_F(Standin, SingleUrlAndFaultsPerAttempt) {
    ASSERT_TRUE(
        standin_control("POST", "/_standin/settings", json{{"single_url", true}}).is_object());
    ASSERT_TRUE(
        standin_control("POST", "/_standin/faults",
                        json{{"faults",
                              {{{"step", "announce"}, {"attempt", 1}, {"status", 503}},
                               {{"step", "upload"}, {"part", 1}, {"attempt", 1}, {"etag", "wrong"}},
                               {{"step", "complete"}, {"not_json", true}}}}})
            .is_object());
    const std::string zip = pseudo_zip(3000);
    const std::string announce = announce_for(zip, "single.zip").dump();
    EXPECT_EQ(post("/v1/deliveries", announce).status, 503);
    const HttpReply created = post("/v1/deliveries", announce);
    ASSERT_EQ(created.status, 201) << created.body;
    const json plan = json::parse(created.body);
    ASSERT_TRUE(plan["upload"].contains("url")) << created.body;
    EXPECT_FALSE(plan["upload"].contains("parts"));

    const std::string right = "\"" + sha256_hex(zip) + "\"";
    EXPECT_NE(put(plan["upload"]["url"], zip).etag, right);
    EXPECT_EQ(put(plan["upload"]["url"], zip).etag, right);
    const HttpReply done =
        post("/v1/deliveries/" + plan["delivery_id"].get<std::string>() + "/complete", "");
    EXPECT_EQ(done.status, 200);
    EXPECT_TRUE(json::parse(done.body, nullptr, false).is_discarded()) << done.body;

    const json held = standin_control("GET", "/_standin/received");
    EXPECT_TRUE(held["deliveries"][0]["received_at"].is_string());
    std::vector<std::pair<std::string, int>> steps;
    for (const json& r : held["requests"])
        steps.emplace_back(r["step"], r["status"]);
    EXPECT_EQ(steps, (std::vector<std::pair<std::string, int>>{{"announce", 503},
                                                               {"announce", 201},
                                                               {"upload", 200},
                                                               {"upload", 200},
                                                               {"complete", 200}}));
}

TEST_F(Standin, TheKthAttemptOfAPartIsCutAfterNBytes) {
    const std::string zip = pseudo_zip(2500);
    const HttpReply created = post("/v1/deliveries", announce_for(zip, "cut.zip").dump());
    ASSERT_EQ(created.status, 201) << created.body;
    const json plan = json::parse(created.body);
    set_faults(
        json::array({{{"step", "upload"}, {"part", 2}, {"attempt", 2}, {"drop_after", 300}}}));
    const auto send = [&](int part) {
        return exchange("PUT", plan["upload"]["parts"][part - 1]["url"].get<std::string>(), {},
                        zip.substr((part - 1) * 1000, 1000));
    };
    // Part 1 between the two attempts of part 2: attempts count per part, not per step.
    EXPECT_TRUE(send(2).has_value());
    EXPECT_TRUE(send(1).has_value());
    EXPECT_FALSE(send(2).has_value());
    EXPECT_TRUE(send(2).has_value());
    EXPECT_EQ(requests_of("upload"),
              (std::vector<std::string>{"200 1000", "200 1000", "0 300", "200 1000"}));
    // The cut attempt left part 2 behind whole once it came again.
    EXPECT_EQ(put(plan["upload"]["parts"][2]["url"], zip.substr(2000)).status, 200);
    json parts = json::array();
    for (int part = 1; part <= 3; ++part)
        parts.push_back(
            {{"etag", sha256_hex(zip.substr((part - 1) * 1000, 1000))}, {"part", part}});
    EXPECT_EQ(post("/v1/deliveries/" + plan["delivery_id"].get<std::string>() + "/complete",
                   json{{"parts", parts}}.dump())
                  .status,
              200);
}

TEST_F(Standin, AStallHoldsTheBodyThenDrops) {
    set_faults(json::array({{{"step", "echo"}, {"stall", 0.5}, {"stall_after", 1000}}}));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(exchange("POST", url("/_standin/echo"), {}, std::string(4000, 's')).has_value());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took.count(), 0.45);
    EXPECT_LT(took.count(), 3.0);
    EXPECT_EQ(requests_of("echo"), std::vector<std::string>{"0 1000"});
}

TEST_F(Standin, RateIsSharedByEveryConnection) {
    constexpr size_t rate = 2 << 20;
    ASSERT_TRUE(standin_control("POST", "/_standin/settings", json{{"rate", rate}}).is_object());
    const auto seconds_for = [](const std::vector<size_t>& bodies) {
        const auto started = std::chrono::steady_clock::now();
        std::vector<std::thread> senders;
        for (const size_t bytes : bodies) {
            senders.emplace_back([bytes] {
                const auto reply =
                    exchange("PUT", url("/_standin/echo"), {}, std::string(bytes, 'r'));
                EXPECT_TRUE(reply.has_value() && reply->status == 200);
            });
        }
        for (std::thread& sender : senders)
            sender.join();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    // A second's worth, less the small burst allowed after an idle spell; two connections at
    // once share it rather than getting it each.
    for (const auto& bodies :
         {std::vector<size_t>{rate}, std::vector<size_t>{rate / 2, rate / 2}}) {
        const double took = seconds_for(bodies);
        EXPECT_GT(took, 0.88) << bodies.size() << " connection(s)";
        EXPECT_LT(took, 1.6) << bodies.size() << " connection(s)";
    }
}

}  // namespace
}  // namespace dalvento
