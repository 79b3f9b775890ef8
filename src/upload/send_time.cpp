// The time a send keeps: the real clock with its waits, and the rate of an upload.
#include <mutex>
#include <random>
#include <thread>

#include "upload/delivery.h"

namespace dalvento {

namespace {

class RealSendClock final : public SendClock {
  public:
    std::chrono::steady_clock::time_point now() override {
        return std::chrono::steady_clock::now();
    }
    void sleep(std::chrono::milliseconds duration) override {
        std::this_thread::sleep_for(duration);
    }
    double random_fraction() override {
        std::lock_guard lock(mutex_);
        return std::uniform_real_distribution<double>(0.0, 1.0)(random_);
    }

  private:
    std::mutex mutex_;
    std::mt19937_64 random_{std::random_device{}()};
};

}  // namespace

SendClock& real_send_clock() {
    static RealSendClock clock;
    return clock;
}

void RateMeter::add(std::chrono::steady_clock::time_point at, uint64_t bytes_sent) {
    if (samples_.empty()) started_ = at;
    samples_.emplace_back(at, bytes_sent);
    // Keep one sample from before the window, so that the rate always spans about all of it.
    size_t old = 0;
    while (old + 1 < samples_.size() && at - samples_[old + 1].first >= RATE_WINDOW)
        ++old;
    samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(old));
}

std::optional<double> RateMeter::rate() const {
    if (samples_.size() < 2) return std::nullopt;
    const auto& [first_at, first_bytes] = samples_.front();
    const auto& [last_at, last_bytes] = samples_.back();
    if (last_at - started_ < RATE_SETTLING || last_at <= first_at) return std::nullopt;
    const double seconds = std::chrono::duration<double>(last_at - first_at).count();
    const double bytes =
        last_bytes >= first_bytes ? static_cast<double>(last_bytes - first_bytes) : 0.0;
    return bytes / seconds;
}

}  // namespace dalvento
