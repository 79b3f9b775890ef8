// Deflate on every core: a stream is cut into fixed-size blocks, each deflated on its own with
// the 32 KiB before it as its dictionary and ended on a byte boundary with a sync flush (the last
// with the stream's final block), so that the blocks' outputs, joined in order, are one raw
// deflate stream. The bytes depend only on the data and the block size, never on how many
// threads did the work.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dalvento {

inline constexpr size_t DEFLATE_BLOCK_BYTES = 1 << 20;
inline constexpr size_t DEFLATE_WINDOW_BYTES = 32 * 1024;

// One block of a stream, filled by the caller, deflated by the pool.
struct DeflateBlock {
    std::vector<unsigned char> dictionary;  // up to 32 KiB just before the block in its stream
    std::vector<unsigned char> input;
    bool last = false;  // the stream's last block: ends the stream

    // Set by the pool, to be read once DeflatePool::wait has returned.
    std::vector<unsigned char> output;
    uint32_t crc = 0;   // CRC-32 of input alone
    std::string error;  // empty when deflated

  private:
    friend class DeflatePool;
    bool done_ = false;
};

class Deflater;

class DeflatePool {
  public:
    // threads 0: one per core.
    explicit DeflatePool(unsigned threads);
    ~DeflatePool();  // finishes the blocks being deflated, drops those not yet started
    DeflatePool(const DeflatePool&) = delete;
    DeflatePool& operator=(const DeflatePool&) = delete;

    unsigned threads() const { return std::max(1u, static_cast<unsigned>(workers_.size())); }

    // Queues a block; it must stay alive and untouched until wait() has returned for it.
    void deflate(DeflateBlock& block);
    // Returns once the block is deflated (or failed, with its error set).
    void wait(DeflateBlock& block);

  private:
    void work();

    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable finished_;
    std::deque<DeflateBlock*> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
    std::unique_ptr<Deflater> alone_;  // when no thread could be had
};

// The number of deflate threads to use by default: one per core, at least one.
unsigned default_deflate_threads();

}  // namespace dalvento
