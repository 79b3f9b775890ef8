#include "main/worker.h"

#include <algorithm>
#include <system_error>
#include <thread>

namespace dalvento {

std::expected<void, std::string> start_detached_thread(std::function<void()> work) {
    try {
        std::thread(std::move(work)).detach();
    } catch (const std::system_error& error) {
        return std::unexpected(std::string(error.what()));
    }
    return {};
}

uint64_t whole_percent(uint64_t done, uint64_t total) {
    if (total == 0) return 0;
    return static_cast<uint64_t>(static_cast<unsigned __int128>(std::min(done, total)) * 100 /
                                 total);
}

WorkerBase::WorkerBase(std::function<void()> notice, SteadyClockFn clock)
    : notice_(std::move(notice)), clock_(std::move(clock)) {
    last_notice_ = clock_ ? clock_() : std::chrono::steady_clock::now();
}

void WorkerBase::report(std::string_view stage, uint64_t done, uint64_t total) {
    {
        std::lock_guard lock(mutex_);
        progress_ = WorkProgress{std::string(stage), done, total};
    }
    const auto at = clock_ ? clock_() : std::chrono::steady_clock::now();
    // A new stage is always heard, so that a short one shows however quickly it follows the
    // stage before; within a stage notices are spaced out.
    const bool new_stage = stage != last_stage_;
    if (!new_stage && done != total && at - last_notice_ <= NOTICE_INTERVAL) return;
    last_stage_ = std::string(stage);
    last_notice_ = at;
    fire_notice();
}

WorkProgress WorkerBase::progress() const {
    std::lock_guard lock(mutex_);
    return progress_;
}

}  // namespace dalvento
