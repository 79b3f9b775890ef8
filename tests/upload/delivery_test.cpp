#include "upload/delivery.h"

#include <gtest/gtest.h>

#include "county/text.h"
#include "upload/delivery_fixture.h"

namespace dalvento {
namespace {

using namespace testing::delivery;

TEST_F(DeliveryProtocol, AnnounceAnswered200IsAlreadyReceivedAndUploadsNothing) {
    script({reply(200, R"({"delivery_id":"dl-7","already_received_at":"2026-03-05T14:00:00Z"})")});
    const auto outcome = send(BASE + "//");
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(*outcome, (Receipt{true, "dl-7", "", "", "2026-03-05T14:00:00Z"}));
    ASSERT_EQ(http_.calls.size(), 1u);
    const Call& call = http_.calls[0];
    EXPECT_EQ(call.method, "POST");
    EXPECT_EQ(call.url, "http://svc.test:8080/v1/deliveries");
    EXPECT_EQ(call.headers, (std::vector<std::string>{"Authorization: Bearer " + TOKEN,
                                                      "Content-Type: application/json",
                                                      "Accept: application/json"}));
    EXPECT_EQ(call.body, ANNOUNCE);
}

TEST_F(DeliveryProtocol, PartsAreUploadedCheckedAndCompleted) {
    script({announced(three_parts()), part_ok(ZIP.substr(0, 10)),
            reply(201, "", "W/\"" + ascii_upper(sha256_hex(ZIP.substr(10, 10))) + "\""),
            reply(204, "", std::nullopt),
            reply(200, R"({"received_at":"2026-03-05T15:00:00-05:00"})")});
    const auto outcome = send();
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(*outcome, (Receipt{false, "dl-42", "QUARNELL", "2026-03-05T15:00:00-05:00", ""}));

    ASSERT_EQ(http_.calls.size(), 5u);
    const std::vector<std::string> slices = {ZIP.substr(0, 10), ZIP.substr(10, 10), ZIP.substr(20)};
    for (size_t i = 0; i < 3; ++i) {
        const Call& put = http_.calls[1 + i];
        EXPECT_EQ(put.method, "PUT");
        EXPECT_EQ(put.url, "http://up.test/p" + std::to_string(i + 1) +
                               "?sig=" + std::string(1, static_cast<char>('a' + i)));
        EXPECT_EQ(put.headers, std::vector<std::string>{"Content-Type: application/zip"});
        EXPECT_EQ(put.body, slices[i]);
    }
    const Call& complete = http_.calls[4];
    EXPECT_EQ(complete.method, "POST");
    EXPECT_EQ(complete.url, "http://svc.test:8080/v1/deliveries/dl-42/complete");
    EXPECT_EQ(complete.headers[0], "Authorization: Bearer " + TOKEN);
    EXPECT_EQ(complete.body, R"({"parts":[{"etag":")" + sha256_hex(slices[0]) +
                                 R"(","part":1},{"etag":")" + sha256_hex(slices[1]) +
                                 R"(","part":2},{"etag":")" + sha256_hex(slices[2]) +
                                 R"(","part":3}]})");
}

TEST_F(DeliveryProtocol, PartsAreReadAtTheirNumberedOffsetsInPlanOrder) {
    // Listed out of order, with a hole: offsets come from the part numbers, not a running sum.
    const Json upload = {{"part_size", 10},
                         {"parts",
                          {{{"part", 3}, {"url", "http://up.test/3"}, {"bytes", 5}},
                           {{"part", 1}, {"url", "http://up.test/1"}, {"bytes", 4}}}}};
    script({announced(upload, "id with/odd chars"), part_ok(ZIP.substr(20, 5)),
            part_ok(ZIP.substr(0, 4)), completed()});
    ASSERT_TRUE(send().has_value());
    ASSERT_EQ(http_.calls.size(), 4u);
    EXPECT_EQ(http_.calls[1].body, "UVWXY");
    EXPECT_EQ(http_.calls[2].body, "ABCD");
    EXPECT_EQ(http_.calls[3].url, BASE + "/v1/deliveries/id with/odd chars/complete");
    EXPECT_EQ(http_.calls[3].body, R"({"parts":[{"etag":")" + sha256_hex("UVWXY") +
                                       R"(","part":3},{"etag":")" + sha256_hex("ABCD") +
                                       R"(","part":1}]})");

    // Without a part size the zip's size is the part size.
    http_.calls.clear();
    script({announced({{"parts", {{{"part", 1}, {"url", "http://up.test/1"}, {"bytes", 25}}}}}),
            part_ok(ZIP), completed()});
    ASSERT_TRUE(send().has_value());
    EXPECT_EQ(http_.calls[1].body, ZIP);
}

TEST_F(DeliveryProtocol, ASingleUrlTakesTheWholeZipAndCompletesWithAnEmptyBody) {
    script({announced({{"url", "http://up.test/whole"}}), part_ok(ZIP), completed()});
    ASSERT_TRUE(send().has_value());
    ASSERT_EQ(http_.calls.size(), 3u);
    EXPECT_EQ(http_.calls[1].url, "http://up.test/whole");
    EXPECT_EQ(http_.calls[1].body, ZIP);
    EXPECT_EQ(http_.calls[2].body, "");
    EXPECT_EQ(http_.calls[2].headers[1], "Content-Type: application/json");

    // An empty parts array uploads nothing and completes with no parts.
    http_.calls.clear();
    script({announced({{"part_size", 10}, {"parts", Json::array()}}), completed()});
    ASSERT_TRUE(send().has_value());
    ASSERT_EQ(http_.calls.size(), 2u);
    EXPECT_EQ(http_.calls[1].body, R"({"parts":[]})");
}

TEST_F(DeliveryProtocol, AMalformedPlanEndsBeforeAnyUpload) {
    const std::string message =
        "Dalvento answered something unexpected: announce came back without upload URLs";
    const std::vector<Reply> plans = {
        announced({{"parts", {{{"part", 1}, {"url", ""}, {"bytes", 25}}}}}),
        announced({{"parts", {{{"url", "http://up.test/1"}, {"bytes", 25}}}}}),
        announced({{"parts",
                    {{{"part", 1}, {"url", "http://up.test/1"}, {"bytes", 5}},
                     {{"part", 0}, {"url", "http://up.test/0"}, {"bytes", 5}}}}}),
        announced({{"parts", {{{"part", "1"}, {"url", "http://up.test/1"}}}}}),
        announced({{"url", 7}}),
        announced(nullptr),
        reply(201, "<html>Created</html>"),
    };
    for (const Reply& plan : plans) {
        http_.calls.clear();
        http_.replies.push_back(plan);
        EXPECT_EQ(send_text(), message) << plan->body;
        EXPECT_EQ(http_.calls.size(), 1u);
    }
}

TEST_F(DeliveryProtocol, AZipShorterThanAnnouncedOrMissingEndsTheSend) {
    script({announced({{"part_size", 10},
                       {"parts",
                        {{{"part", 1}, {"url", "http://up.test/1"}, {"bytes", 10}},
                         {{"part", 3}, {"url", "http://up.test/3"}, {"bytes", 6}}}}}),
            part_ok(ZIP.substr(0, 10))});
    EXPECT_EQ(send_text(),
              "Dalvento answered something unexpected: the zip is shorter than "
              "announced: failed to fill whole buffer");
    EXPECT_EQ(puts(), 1u);

    // A part number whose offset cannot even be computed is past the end too.
    script({announced({{"part_size", 1ull << 62},
                       {"parts", {{{"part", 9}, {"url", "http://up.test/9"}, {"bytes", 1}}}}})});
    EXPECT_EQ(send_text(),
              "Dalvento answered something unexpected: the zip is shorter than "
              "announced: failed to fill whole buffer");

    std::filesystem::remove(zip_path());
    script({announced(three_parts())});
    const std::string missing = send_text();
    EXPECT_TRUE(missing.starts_with("Dalvento answered something unexpected: can't read the zip: "))
        << missing;
    EXPECT_TRUE(missing.ends_with("(os error 2)")) << missing;
}

TEST_F(DeliveryProtocol, APartIsSentAgainOnceWhenItsEtagDoesNotMatch) {
    const std::string whole = quoted_sha(ZIP);
    script({announced({{"url", "http://up.test/whole"}}), reply(200, "", "\"0bad\""),
            reply(200, "", whole), completed()});
    EXPECT_EQ(send_text(), "received");
    ASSERT_EQ(http_.calls.size(), 4u);
    EXPECT_EQ(http_.calls[2].url, http_.calls[1].url);
    EXPECT_EQ(http_.calls[2].body, ZIP);

    http_.calls.clear();
    script({announced({{"url", "http://up.test/whole"}}), reply(200, "", "\"0bad\""),
            reply(201, "", "W/\"" + sha256_hex("other") + "\"")});
    EXPECT_EQ(send_text(),
              "The upload didn't arrive intact, twice. Check the connection and try again.");
    EXPECT_EQ(http_.calls.size(), 3u);
}

class ThrowingHttp : public HttpSeam {
    Reply request(std::string_view, std::string_view, const std::vector<std::string>&,
                  std::span<const uint8_t>, const HttpWatch&) override {
        throw std::bad_alloc();
    }
};

TEST(DeliveryOutcome, AnExceptionStillEndsTheSendWithAnOutcome) {
    int reports = 0;
    SendJob job;
    job.base_url = BASE;
    ThrowingHttp http;
    const SendOutcome outcome =
        send_delivery(job, http, {.report = [&](const SendStatus&) { ++reports; }});
    EXPECT_EQ(reports, 1);  // the announce stage's start
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(send_error_message(outcome.error()),
              "Dalvento answered something unexpected: std::bad_alloc");
}

TEST(DeliveryEtag, NormalisedBeforeTheComparison) {
    const std::string sha = sha256_hex("part");
    const std::string upper = ascii_upper(sha);
    for (const std::optional<std::string>& accepted :
         {std::optional<std::string>(), std::optional<std::string>(""),
          std::optional<std::string>("\"\""), std::optional<std::string>(sha),
          std::optional<std::string>("\"" + sha + "\""),
          std::optional<std::string>("W/\"" + upper + "\""),
          std::optional<std::string>(" \t\"" + sha + "\" "),
          std::optional<std::string>("W/W/" + sha),
          std::optional<std::string>("\"W/\"" + sha + "\"\"")}) {
        EXPECT_TRUE(etag_accepted(accepted, sha)) << *accepted;
    }
    for (const std::string& rejected : {sha + "x", sha.substr(1), "w/\"" + sha + "\"",
                                        "'" + sha + "'", "\"" + sha + " \"", sha256_hex("other")}) {
        EXPECT_FALSE(etag_accepted(rejected, sha)) << rejected;
    }
}

// Once its attempts are spent, a part the line or the server failed ends the send as one that
// failed at once did before there were attempts.
TEST_F(DeliveryProtocol, EachPartAnswerEndsTheSendItsOwnWay) {
    const std::string expired =
        "The upload took too long and its links expired, twice. Try again on a better connection.";
    const std::string unavailable =
        "Dalvento isn't taking deliveries right now. The zip is kept; press Send to Dalvento to "
        "try again.";
    const struct {
        Reply answer;
        uint32_t attempts;
        std::string message;
    } cases[] = {
        {reply(403), 1, expired},
        {reply(404), 1, expired},
        {reply(413), 1,
         "Dalvento says this delivery is too big to take. Hand it over on a stick and let us know "
         "at chat.dalvento.example."},
        {reply(502), 6, unavailable},
        {reply(503), 6, unavailable},
        {reply(504), 6, unavailable},
        {reply(500), 6, "Dalvento answered something unexpected: 500 on upload"},
        {reply(202), 1, "Dalvento answered something unexpected: 202 on upload"},
        {failed("the upload stopped: the connection dropped"), 6,
         "Couldn't reach Dalvento: the upload stopped: the connection dropped. The zip is kept; "
         "press Send to Dalvento to try again."},
        {failed("no reply: timed out", HttpProblem::timed_out), 6,
         "Couldn't reach Dalvento: no reply: timed out. The zip is kept; press Send to Dalvento "
         "to try again."},
        {refused(), 6,
         "Couldn't reach Dalvento: couldn't send: couldn't connect (no network, or a firewall). "
         "The zip is kept; press Send to Dalvento to try again."},
        {failed("couldn't send: the name deliveries.dalvento.example couldn't be looked up (no "
                "DNS, or no network)",
                HttpProblem::name_not_found, true),
         1,
         "Couldn't reach Dalvento: couldn't send: the name deliveries.dalvento.example couldn't "
         "be looked up (no DNS, or no network). The zip is kept; press Send to Dalvento to try "
         "again."},
    };
    for (const auto& c : cases) {
        http_.calls.clear();
        script({announced(three_parts())});
        for (uint32_t i = 0; i < c.attempts; ++i)
            script({c.answer});
        EXPECT_EQ(send_text(), c.message);
        EXPECT_EQ(puts(), c.attempts) << c.message;
        EXPECT_TRUE(http_.replies.empty()) << c.message;
    }
}

TEST_F(DeliveryProtocol, EachAnnounceAnswerEndsTheSendItsOwnWay) {
    const std::string refused_start =
        "Dalvento at http://svc.test:8080 refused the office token at announce (401";
    const std::string refused_end =
        "). The token given began \"dlvt_\xE2\x80\xA6\" (44 characters). If that's the token you "
        "were given, it may have been revoked; ask for a new one at chat.dalvento.example.";
    const std::vector<std::pair<Reply, std::string>> cases = {
        {reply(401, R"({"error":"token revoked"})"),
         refused_start + " and said \"token revoked\"" + refused_end},
        {reply(401, ""), refused_start + refused_end},
        {reply(401, R"({"error":""})"),
         refused_start + " and said \"{\"error\":\"\"}\"" + refused_end},
        {reply(413, "{}"),
         "Dalvento says this delivery is too big to take. Hand it over on a "
         "stick and let us know at chat.dalvento.example."},
        {reply(422, R"({"error":"tax_year is empty"})"),
         "Dalvento didn't accept the delivery: tax_year is empty"},
        {reply(422, "plain words\nsecond line"),
         "Dalvento didn't accept the delivery: plain words\nsecond line"},
        {reply(503, "{}"),
         "Dalvento isn't taking deliveries right now. The zip is kept; press Send to Dalvento to "
         "try again."},
        {reply(500, "{}"), "Dalvento answered something unexpected: 500 on announce"},
        {reply(204, ""), "Dalvento answered something unexpected: 204 on announce"},
        {refused(),
         "Couldn't reach Dalvento: couldn't send: couldn't connect (no network, or a firewall). "
         "The zip is kept; press Send to Dalvento to try again."},
        // Sent, and then the line failed: the service may have acted on it.
        {failed("no reply: the connection dropped"),
         "Couldn't reach Dalvento: no reply: the connection dropped. The zip is kept; press Send "
         "to Dalvento to try again."},
    };
    for (const auto& [answer, message] : cases) {
        http_.calls.clear();
        // Repeated only where the service cannot have acted on it.
        const bool repeated =
            (answer && answer->status == 503) || (!answer && answer.error().nothing_sent);
        for (uint32_t i = 0; i < (repeated ? MAX_ATTEMPTS : 1); ++i)
            http_.replies.push_back(answer);
        EXPECT_EQ(send_text(BASE + "///"), message);
        EXPECT_EQ(http_.calls.size(), repeated ? MAX_ATTEMPTS : 1u) << message;
    }
}

TEST_F(DeliveryProtocol, CompleteMayRepeatTheUploadOnceAndAnnounceOnce) {
    const auto whole = [] { return announced({{"url", "http://up.test/whole"}}); };
    const Reply ok = part_ok(ZIP);
    const Reply done = reply(200, R"({"received_at":"later"})");

    script({whole(), ok, reply(409), ok, done});
    EXPECT_EQ(send_text(), "received");
    EXPECT_EQ(puts(), 2u);

    http_.calls.clear();
    script({whole(), ok, reply(409), ok, reply(409)});
    EXPECT_EQ(send_text(),
              "The upload didn't arrive intact, twice. Check the connection and try again.");
    EXPECT_EQ(puts(), 2u);

    // A 404 announces again, which also renews the 409 allowance.
    http_.calls.clear();
    script({whole(), ok, reply(409), ok, reply(404), whole(), ok, reply(409), ok, done});
    const auto outcome = send();
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->received_at, "later");
    EXPECT_EQ(
        http_.methods(),
        (std::vector<std::string>{
            "POST " + BASE + "/v1/deliveries", "PUT http://up.test/whole",
            "POST " + BASE + "/v1/deliveries/dl-42/complete", "PUT http://up.test/whole",
            "POST " + BASE + "/v1/deliveries/dl-42/complete", "POST " + BASE + "/v1/deliveries",
            "PUT http://up.test/whole", "POST " + BASE + "/v1/deliveries/dl-42/complete",
            "PUT http://up.test/whole", "POST " + BASE + "/v1/deliveries/dl-42/complete"}));
    EXPECT_EQ(http_.calls[5].body, ANNOUNCE);

    http_.calls.clear();
    script({whole(), ok, reply(404), whole(), ok, reply(404)});
    EXPECT_EQ(send_text(),
              "The upload took too long and its links expired, twice. Try again on "
              "a better connection.");

    // The new announce may find the delivery already there.
    http_.calls.clear();
    script({whole(), ok, reply(404),
            reply(200, R"({"already_received_at":"earlier","delivery_id":"dl-42"})")});
    EXPECT_EQ(send_text(), "already received");
}

TEST_F(DeliveryProtocol, EachOtherCompleteAnswerEndsTheSend) {
    const std::string html = "  \r\n<html><head><title>" + std::string(150, 'x') +
                             "</title></head>\r\n<body>Unauthorized</body></html>\r\n";
    const std::vector<std::pair<Reply, std::string>> cases = {
        {reply(201, R"({"received_at":"now"})"),
         "Dalvento answered something unexpected: 201 on complete"},
        {reply(500), "Dalvento answered something unexpected: 500 on complete"},
        {reply(413), "Dalvento answered something unexpected: 413 on complete"},
        {reply(502),
         "Dalvento isn't taking deliveries right now. The zip is kept; press Send to Dalvento to "
         "try again."},
        {reply(401, R"({"error":"token expired"})"),
         "Dalvento at http://svc.test:8080 refused the office token at complete (401 and said "
         "\"token expired\"). The token given began \"dlvt_\xE2\x80\xA6\" (44 characters). If "
         "that's the token you were given, it may have been revoked; ask for a new one at "
         "chat.dalvento.example."},
        {reply(401, html),
         "Dalvento at http://svc.test:8080 refused the office token at complete "
         "(401 and said \"<html><head><title>" +
             std::string(101, 'x') +
             "\"). The token given began \"dlvt_\xE2\x80\xA6\" (44 "
             "characters). If that's the token you were given, it may have "
             "been revoked; ask for a new one at chat.dalvento.example."},
        {failed("no reply: timed out", HttpProblem::timed_out),
         "Couldn't reach Dalvento: no reply: timed out. The zip is kept; press Send to Dalvento to "
         "try again."},
    };
    for (const auto& [answer, message] : cases) {
        script({announced({{"url", "http://up.test/whole"}}), part_ok(ZIP), answer});
        EXPECT_EQ(send_text(), message);
    }
}

// A 200 that does not say what the service has must never pass for a delivery made: a proxy's
// page, or another server answering, would have the zip deleted and the units marked as sent.
TEST_F(DeliveryProtocol, A200ThatIsNotTheServicesAnswerIsNotADelivery) {
    const std::vector<std::string> announce_bodies = {
        "<html><body>Access denied by your proxy</body></html>",
        "{}",
        R"({"delivery_id":"dl-7"})",
        R"({"already_received_at":"2026-03-05T14:00:00Z"})",
        R"({"already_received_at":"2026-03-05T14:00:00Z","delivery_id":""})",
        R"({"already_received_at":7,"delivery_id":"dl-7"})",
    };
    for (const std::string& body : announce_bodies) {
        http_.calls.clear();
        script({reply(200, body)});
        EXPECT_EQ(send_text(),
                  "Dalvento answered something unexpected: the service's reply to "
                  "announce wasn't understood")
            << body;
        EXPECT_EQ(http_.calls.size(), 1u);
    }
    const std::vector<std::string> complete_bodies = {
        "",
        "OK",
        "{}",
        R"({"received_at":""})",
        R"({"received_at":null})",
        R"(["received_at","2026-03-05T15:00:00Z"])",
    };
    for (const std::string& body : complete_bodies) {
        script({announced({{"url", "http://up.test/whole"}}), part_ok(ZIP), reply(200, body)});
        EXPECT_EQ(send_text(),
                  "Dalvento answered something unexpected: the service's reply to "
                  "complete wasn't understood")
            << body;
    }
}

TEST(DeliveryMessages, TokenRefusedCarriesItsParts) {
    SendError error;
    error.kind = SendErrorKind::token_refused;
    error.base_url = "https://deliveries.dalvento.example";
    error.stage = "complete";
    error.token_description = describe_token("x");
    EXPECT_EQ(send_error_message(error),
              "Dalvento at https://deliveries.dalvento.example refused the office token at "
              "complete (401). The token given began \"x\" (1 character). If that's the token you "
              "were given, it may have been revoked; ask for a new one at chat.dalvento.example.");
    EXPECT_EQ(SUPPORT_CHAT_HOST, CHAT);
}

TEST(DeliveryMessages, DescribeTokenCountsCharacters) {
    EXPECT_EQ(describe_token("dlvt_"), "\"dlvt_\" (5 characters)");
    EXPECT_EQ(describe_token("x"), "\"x\" (1 character)");
    EXPECT_EQ(describe_token(""), "\"\" (0 characters)");
    EXPECT_EQ(describe_token("dlvt_a"), "\"dlvt_\xE2\x80\xA6\" (6 characters)");
    EXPECT_EQ(describe_token(TOKEN), "\"dlvt_\xE2\x80\xA6\" (44 characters)");
    // é and € are one character each, the emoji too.
    EXPECT_EQ(describe_token("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"
                             "ab"),
              "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"
              "ab\" (5 characters)");
    EXPECT_EQ(describe_token("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"),
              "\"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xE2\x80\xA6\" (6 characters)");
}

TEST(DeliveryMessages, RefusalServerText) {
    EXPECT_EQ(refusal_server_text(R"({"error":"revoked","detail":"x"})"), "revoked");
    EXPECT_EQ(refusal_server_text(R"({"error":7})"), R"({"error":7})");
    EXPECT_EQ(refusal_server_text(""), "");
    EXPECT_EQ(refusal_server_text(" \r\n\t "), "");
    EXPECT_EQ(refusal_server_text("\n  Unauthorized\r\nmore"), "Unauthorized");
    // Cut at 120 characters, not bytes.
    const std::string long_line(130, 'e');
    EXPECT_EQ(refusal_server_text(long_line), long_line.substr(0, 120));
    std::string accented;
    for (int i = 0; i < 125; ++i)
        accented += "\xC3\xA9";
    EXPECT_EQ(refusal_server_text(accented), accented.substr(0, 240));
}

TEST_F(DeliveryProtocol, ProgressFollowsTheStagesAndTheBytesSent) {
    script({announced(three_parts()), part_ok(ZIP.substr(0, 10)), part_ok(ZIP.substr(10, 10)),
            part_ok(ZIP.substr(20)), completed()});
    ASSERT_TRUE(send().has_value());
    EXPECT_EQ(reports_, (std::vector<std::string>{"announce 0/1", "upload 0/25", "upload 5/25",
                                                  "upload 10/25", "upload 10/25", "upload 15/25",
                                                  "upload 20/25", "upload 20/25", "upload 22/25",
                                                  "upload 25/25", "upload 25/25", "complete 0/1"}));
}

}  // namespace
}  // namespace dalvento
