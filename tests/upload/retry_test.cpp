// Attempts, waits and stops of a send, over the scripted double and a clock that never sleeps.
#include <gtest/gtest.h>

#include "upload/delivery.h"
#include "upload/delivery_fixture.h"

namespace dalvento {
namespace {

using namespace testing::delivery;
using namespace std::chrono_literals;

const std::string UNAVAILABLE =
    "Dalvento isn't taking deliveries right now. The zip is kept; press Send to Dalvento to try "
    "again.";

TEST_F(DeliveryProtocol, APartCutOffIsSentAgainAloneAfterAWait) {
    const Reply cut = failed("the upload stopped: the connection dropped");
    const Reply p1 = part_ok(ZIP.substr(0, 10)), p2 = part_ok(ZIP.substr(10, 10)),
                p3 = part_ok(ZIP.substr(20));
    const struct {
        std::vector<Reply> second_part;  // its answers, in order
        std::vector<std::chrono::milliseconds> waits;
    } cases[] = {
        {{cut, p2}, {2s}},
        {{cut, cut, p2}, {2s, 4s}},
        {{reply(503), failed("no reply: timed out", HttpProblem::timed_out), reply(500), p2},
         {2s, 4s, 8s}},
    };
    for (const auto& c : cases) {
        http_.calls.clear();
        clock_.sleeps.clear();
        script({announced(three_parts()), p1});
        for (const Reply& r : c.second_part)
            script({r});
        script({p3, completed()});
        EXPECT_EQ(send_text(), "received");
        // The first part went once; the second as often as it was answered; then the third.
        std::vector<std::string> urls;
        for (const Call& call : http_.calls)
            if (call.method == "PUT") urls.push_back(call.url.substr(15, 2));
        std::vector<std::string> expected = {"p1"};
        expected.insert(expected.end(), c.second_part.size(), "p2");
        expected.push_back("p3");
        EXPECT_EQ(urls, expected);
        std::chrono::milliseconds total{0};
        for (const auto wait : c.waits)
            total += wait;
        EXPECT_EQ(clock_.slept(), total);
    }
}

TEST_F(DeliveryProtocol, WaitsGrowToThirtySecondsAndAreAtMostAQuarterLonger) {
    for (const double fraction : {0.0, 1.0}) {
        clock_.sleeps.clear();
        clock_.fraction = fraction;
        script({announced({{"url", "http://up.test/whole"}})});
        for (uint32_t i = 0; i < MAX_ATTEMPTS; ++i)
            script({reply(502)});
        EXPECT_EQ(send_text(), UNAVAILABLE);
        // 2 + 4 + 8 + 16 + 30 seconds, each in slices short enough for a stop to be seen.
        EXPECT_EQ(clock_.slept(), std::chrono::milliseconds(fraction == 0 ? 60'000 : 75'000));
        for (const auto slice : clock_.sleeps)
            EXPECT_LE(slice, 100ms);
    }
}

TEST_F(DeliveryProtocol, AnnounceAndCompleteRepeatOnlyWhatTheServiceCannotHaveActedOn) {
    const Reply whole = announced({{"url", "http://up.test/whole"}});
    const struct {
        std::vector<Reply> replies;
        std::string outcome;
        size_t calls;
    } cases[] = {
        {{refused(), refused(), whole, part_ok(ZIP), completed()}, "received", 5},
        {{reply(503), whole, part_ok(ZIP), completed()}, "received", 4},
        {{whole, part_ok(ZIP), reply(503), refused(), completed()}, "received", 5},
        {{whole, part_ok(ZIP), reply(502)}, UNAVAILABLE, 3},
        {{whole, part_ok(ZIP), reply(504)}, UNAVAILABLE, 3},
        {{whole, part_ok(ZIP), failed("no reply: the connection dropped")},
         "Couldn't reach Dalvento: no reply: the connection dropped. The zip is kept; press Send "
         "to Dalvento to try again.",
         3},
        {{reply(502)}, UNAVAILABLE, 1},
    };
    for (const auto& c : cases) {
        http_.calls.clear();
        for (const Reply& r : c.replies)
            script({r});
        EXPECT_EQ(send_text(), c.outcome);
        EXPECT_EQ(http_.calls.size(), c.calls) << c.outcome;
        EXPECT_TRUE(http_.replies.empty()) << c.outcome;
    }
}

TEST_F(DeliveryProtocol, TheWaitIsToldEachSecondAndARecoveredSendSaysNoMore) {
    script({announced(three_parts()), part_ok(ZIP.substr(0, 10)),
            failed("the upload stopped: the connection dropped"), part_ok(ZIP.substr(10, 10)),
            part_ok(ZIP.substr(20)), completed()});
    clock_.fraction = 0.5;  // 2.5 s
    const auto outcome = send();
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->received_at, "2026-03-05T15:00:00Z");
    EXPECT_EQ(reports_,
              (std::vector<std::string>{
                  "announce 0/1", "upload 0/25", "upload 5/25", "upload 10/25", "upload 10/25",
                  "upload 15/25", "upload 20/25",
                  // The failed attempt told its progress; the wait starts from where it was.
                  "upload 20/25; the connection dropped, 3 s (2)",
                  "upload 20/25; the connection dropped, 2 s (2)",
                  "upload 20/25; the connection dropped, 1 s (2)", "upload 20/25", "upload 15/25",
                  "upload 20/25", "upload 20/25", "upload 22/25", "upload 25/25", "upload 25/25",
                  "complete 0/1"}));
}

TEST_F(DeliveryProtocol, AStopEndsTheSendAtOnceInAnExchangeOrAWait) {
    const std::string stopped =
        "Sending stopped. The zip is kept; press Send to Dalvento to try again.";
    // Pressed while a part goes out: the client gives up the exchange.
    script({announced(three_parts()), part_ok(ZIP.substr(0, 10)),
            failed("the upload stopped: stopped", HttpProblem::stopped)});
    http_.on_request = [this] {
        if (puts() == 2) stop_ = true;
    };
    EXPECT_EQ(send_text(), stopped);
    EXPECT_EQ(http_.calls.size(), 3u);
    EXPECT_TRUE(clock_.sleeps.empty());

    // Pressed during a wait: nothing more is sent.
    http_.calls.clear();
    http_.on_request = nullptr;
    stop_ = false;
    script({announced(three_parts()), failed("the upload stopped: the connection dropped")});
    clock_.on_sleep = [this] {
        if (clock_.slept() >= 1s) stop_ = true;
    };
    EXPECT_EQ(send_text(), stopped);
    EXPECT_EQ(http_.calls.size(), 2u);
    EXPECT_EQ(clock_.slept(), 1s);

    // Pressed as an exchange ended well: the next step does not start.
    http_.calls.clear();
    clock_.on_sleep = nullptr;
    stop_ = false;
    script({announced({{"url", "http://up.test/whole"}}), part_ok(ZIP)});
    http_.on_request = [this] {
        if (puts() == 1) stop_ = true;
    };
    EXPECT_EQ(send_text(), stopped);
    EXPECT_EQ(http_.calls.size(), 2u);
}

TEST(RateMeter, MeasuresTheLastTenSecondsOnceThreeHavePassed) {
    RateMeter meter;
    const auto start = std::chrono::steady_clock::time_point{} + 1h;
    meter.add(start, 0);
    meter.add(start + 2s, 2'000'000);
    EXPECT_FALSE(meter.rate());  // too soon to tell
    meter.add(start + 3s, 3'000'000);
    EXPECT_DOUBLE_EQ(*meter.rate(), 1'000'000.0);
    // Faster after a slow start: the old samples fall out of the window.
    for (int s = 4; s <= 20; ++s)
        meter.add(start + std::chrono::seconds(s), 3'000'000 + (s - 3) * 4'000'000ull);
    EXPECT_NEAR(*meter.rate(), 4'000'000.0, 1.0);
    // A part sent again counts from its start: no negative rate.
    meter.add(start + 21s, 1'000'000);
    EXPECT_GE(*meter.rate(), 0.0);
}

}  // namespace
}  // namespace dalvento
