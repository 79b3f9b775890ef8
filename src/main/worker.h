// Long work beside the window: packing a zip, sending it. The work runs on a thread of its own and
// shares one record with the window's thread: a stop flag the work checks often, its progress
// under one mutex, and one outcome. It wakes the window's thread with the work notice: at every
// change of stage, at the end of a stage, at most once per NOTICE_INTERVAL in between, and once
// the outcome is stored.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace dalvento {

// Within a stage the window hears at most one progress notice per this interval, and always the
// stage's start and end.
inline constexpr std::chrono::milliseconds NOTICE_INTERVAL{200};

using SteadyClockFn = std::function<std::chrono::steady_clock::time_point()>;

// Starts work on a new thread that is never joined; an error text when no thread can be had.
using StartWorker = std::function<std::expected<void, std::string>(std::function<void()> work)>;

// The default StartWorker: a detached std::thread.
std::expected<void, std::string> start_detached_thread(std::function<void()> work);

// Progress as the work last reported it.
struct WorkProgress {
    std::string stage;  // the work's own name for it; empty before the first report
    uint64_t done = 0;
    uint64_t total = 0;
};

// What the notice throttle compares: a progress type of another work gives its own overload.
inline const std::string& work_stage(const WorkProgress& progress) {
    return progress.stage;
}

// done × 100 ÷ total, rounded down and at most 100; 0 when total is 0.
uint64_t whole_percent(uint64_t done, uint64_t total);

// The part of the shared record that does not depend on what the work gives.
class WorkerBase {
  public:
    // `notice` wakes the window's thread; it is called on the work's thread, possibly after the
    // window is gone. `clock` is for the notice throttle; the steady clock when empty.
    explicit WorkerBase(std::function<void()> notice, SteadyClockFn clock = {});
    WorkerBase(const WorkerBase&) = delete;
    WorkerBase& operator=(const WorkerBase&) = delete;

    // On the work's thread: the flag to check.
    const std::atomic<bool>& stop_flag() const { return stop_; }

    // On the window's thread.
    void stop() { stop_ = true; }

  protected:
    // Under the mutex, for a report: whether it is to be heard now. A new stage always is, and so
    // is a stage's end; within a stage notices are spaced out.
    bool notice_due(bool new_stage, bool stage_end);
    // Wakes the window's thread, whatever the stage and however soon.
    void fire_notice() const {
        if (notice_) notice_();
    }

    mutable std::mutex mutex_;
    std::condition_variable ended_;

  private:
    std::atomic<bool> stop_ = false;
    std::function<void()> notice_;
    SteadyClockFn clock_;
    std::chrono::steady_clock::time_point last_notice_;
};

// The shared record of work that gives an Outcome and reports Progress: a record with done and
// total, and a stage that work_stage() gives.
template <typename Outcome, typename Progress = WorkProgress>
class Worker : public WorkerBase {
  public:
    using WorkerBase::WorkerBase;

    // On the work's thread.
    void report(Progress progress) {
        bool due = false;
        {
            std::lock_guard lock(mutex_);
            const bool new_stage = !last_stage_ || !(*last_stage_ == work_stage(progress));
            due = notice_due(new_stage, progress.done == progress.total);
            if (due) last_stage_ = work_stage(progress);
            progress_ = std::move(progress);
        }
        if (due) fire_notice();
    }

    // On the window's thread.
    Progress progress() const {
        std::lock_guard lock(mutex_);
        return progress_;
    }

    // Runs `work` on a thread from `start_thread` and stores what it gives. The work must give an
    // outcome whatever happens (it catches what it throws): the window waits for one.
    static std::expected<std::shared_ptr<Worker>, std::string> start(
        const StartWorker& start_thread, std::function<void()> notice,
        std::function<Outcome(Worker&)> work) {
        auto worker = std::make_shared<Worker>(std::move(notice));
        const auto started =
            start_thread([worker, work = std::move(work)] { worker->finish(work(*worker)); });
        if (!started) return std::unexpected(started.error());
        return worker;
    }

    // On the work's thread, once: stores the outcome, then fires the notice.
    void finish(Outcome outcome) {
        {
            std::lock_guard lock(mutex_);
            outcome_ = std::move(outcome);
        }
        ended_.notify_all();
        fire_notice();
    }

    // On the window's thread: a copy of the outcome, once there is one.
    std::optional<Outcome> outcome() const {
        std::lock_guard lock(mutex_);
        return outcome_;
    }

    // Waits up to `limit` for the outcome; true when it is there.
    bool wait_for_end(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return ended_.wait_for(lock, limit, [&] { return outcome_.has_value(); });
    }

  private:
    std::optional<Outcome> outcome_;
    Progress progress_{};
    // Of the last notice.
    std::optional<std::decay_t<decltype(work_stage(std::declval<Progress>()))>> last_stage_;
};

}  // namespace dalvento
