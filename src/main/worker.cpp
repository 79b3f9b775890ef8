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

bool WorkerBase::notice_due(bool new_stage, bool stage_end) {
    const auto at = clock_ ? clock_() : std::chrono::steady_clock::now();
    if (!new_stage && !stage_end && at - last_notice_ <= NOTICE_INTERVAL) return false;
    last_notice_ = at;
    return true;
}

}  // namespace dalvento
