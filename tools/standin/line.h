// The line between the stand-in and its clients: how fast request bodies may be read, shared by
// every connection, and the waits a fault makes on it. The faults that act on the wire itself
// (cutting or holding a body, replies that are not what they seem) are in line.cpp beside it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace dalvento::standin {

class Line {
  public:
    // Bytes per second for all connections together; 0: no limit. Waits under the old rate end.
    void set_rate(uint64_t bytes_per_second);
    uint64_t rate() const;
    // How many bytes to read at once, so that each wait stays short at this rate.
    size_t piece() const;
    // Accounts for bytes just read, waiting as long as the rate asks; false once stopped.
    bool take(uint64_t bytes);
    // Waits this long; false when stopped first.
    bool pause(double seconds);
    // Ends every wait now and the ones to come, so that the server can stop.
    void stop();

  private:
    using Clock = std::chrono::steady_clock;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t rate_ = 0;
    // A token bucket: bytes that may be read now without waiting, refilled at the rate up to a
    // small burst; below zero, bytes already read ahead of the rate.
    double tokens_ = 0;
    Clock::time_point filled_;
    uint64_t generation_ = 0;  // counts rate changes
    bool stopped_ = false;
};

}  // namespace dalvento::standin
