#include "main/worker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dalvento {
namespace {

TEST(Worker, NoticesAreThrottledWithinAStageOnly) {
    using namespace std::chrono_literals;
    auto clock_now = std::chrono::steady_clock::time_point{} + 1h;
    std::vector<std::string> heard;
    Worker<std::string> worker(
        [&] {
            const WorkProgress p = worker.progress();
            heard.push_back(p.stage + " " + std::to_string(p.done) + "/" + std::to_string(p.total) +
                            (worker.outcome() ? " done" : ""));
        },
        [&] { return clock_now; });

    // Each step's time since the one before, and what the window hears by then.
    struct Step {
        std::chrono::milliseconds after;
        std::string stage;
        uint64_t done, total;
    };
    const std::vector<Step> steps = {
        {0ms, "announce", 0, 1},     // a stage's start is heard at once
        {10ms, "upload", 10, 100},   // and so is the next one's, however soon
        {200ms, "upload", 20, 100},  // exactly 200 ms: still too soon
        {1ms, "upload", 30, 100},    // past it
        {50ms, "upload", 40, 100},   // too soon
        {0ms, "upload", 100, 100},   // a stage's end always
        {1ms, "complete", 0, 1},     // the complete stage right after the last part
        {150ms, "complete", 0, 1},   // too soon
        {0ms, "announce", 0, 1},     // announced again after a 404
    };
    for (const Step& step : steps) {
        clock_now += step.after;
        worker.report({step.stage, step.done, step.total});
        EXPECT_EQ(worker.progress().done, step.done);  // written even without a notice
    }
    EXPECT_FALSE(worker.wait_for_end(0ms));
    worker.finish("received");
    EXPECT_TRUE(worker.wait_for_end(0ms));
    EXPECT_EQ(heard, (std::vector<std::string>{"announce 0/1", "upload 10/100", "upload 30/100",
                                               "upload 100/100", "complete 0/1", "announce 0/1",
                                               "announce 0/1 done"}));
}

}  // namespace
}  // namespace dalvento
