// A send's clock for tests: the waits between attempts pass at once.
#pragma once

#include <chrono>
#include <functional>
#include <vector>

#include "upload/delivery.h"

namespace dalvento::testing::delivery {

// Time that passes only when the send sleeps; every sleep is recorded.
class TestClock final : public SendClock {
  public:
    // Written by the thread that sends; read by the test once the send has ended.
    std::chrono::steady_clock::time_point at{std::chrono::hours(1)};
    std::vector<std::chrono::milliseconds> sleeps;
    double fraction = 0;             // what random_fraction gives
    std::function<void()> on_sleep;  // e.g. a stop pressed during a wait

    std::chrono::steady_clock::time_point now() override { return at; }
    void sleep(std::chrono::milliseconds duration) override {
        sleeps.push_back(duration);
        at += duration;
        if (on_sleep) on_sleep();
    }
    double random_fraction() override { return fraction; }

    std::chrono::milliseconds slept() const {
        std::chrono::milliseconds total{0};
        for (const auto d : sleeps)
            total += d;
        return total;
    }
};

struct Call {
    std::string method, url;
    std::vector<std::string> headers;
    std::string body;
};

}  // namespace dalvento::testing::delivery
