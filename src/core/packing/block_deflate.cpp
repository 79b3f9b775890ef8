#include "core/packing/block_deflate.h"

#include <zlib.h>

#include <algorithm>
#include <system_error>

namespace dalvento {

constexpr int LEVEL = 6;

// A worker's deflate state, set up once and reset for every block.
class Deflater {
  public:
    Deflater() {
        ready_ = deflateInit2(&z_, LEVEL, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~Deflater() {
        if (ready_) deflateEnd(&z_);
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    void run(DeflateBlock& block) {
        block.output.clear();
        block.error.clear();
        block.crc = static_cast<uint32_t>(crc32_z(0, block.input.data(), block.input.size()));
        if (!ready_) {
            block.error = "deflate could not start (out of memory)";
            return;
        }
        if (deflateReset(&z_) != Z_OK) {
            block.error = "deflate could not be reset";
            return;
        }
        if (!block.dictionary.empty() &&
            deflateSetDictionary(&z_, block.dictionary.data(),
                                 static_cast<uInt>(block.dictionary.size())) != Z_OK) {
            block.error = "deflate refused the dictionary";
            return;
        }
        // Room for incompressible data plus the sync flush's empty stored block; grown if ever
        // short.
        block.output.resize(deflateBound(&z_, static_cast<uLong>(block.input.size())) + 64);
        z_.next_in = block.input.data();
        z_.avail_in = static_cast<uInt>(block.input.size());
        size_t have = 0;
        const int flush = block.last ? Z_FINISH : Z_SYNC_FLUSH;
        for (;;) {
            z_.next_out = block.output.data() + have;
            z_.avail_out = static_cast<uInt>(block.output.size() - have);
            const int rc = deflate(&z_, flush);
            have = block.output.size() - z_.avail_out;
            if (rc == Z_STREAM_END) break;
            if (rc != Z_OK && rc != Z_BUF_ERROR) {
                block.error = "deflate failed (zlib error " + std::to_string(rc) + ")";
                return;
            }
            // A sync flush is complete once deflate leaves output room unused.
            if (z_.avail_out > 0) {
                if (rc == Z_OK && flush == Z_SYNC_FLUSH) break;
                block.error = "deflate made no progress";
                return;
            }
            block.output.resize(block.output.size() * 2);
        }
        block.output.resize(have);
    }

  private:
    z_stream z_{};
    bool ready_ = false;
};

unsigned default_deflate_threads() {
    return std::max(1u, std::thread::hardware_concurrency());
}

DeflatePool::DeflatePool(unsigned threads) {
    if (threads == 0) threads = default_deflate_threads();
    workers_.reserve(threads);
    // With fewer threads than asked for it runs on those it got; with none, deflate() does the
    // work itself.
    try {
        for (unsigned i = 0; i < threads; ++i)
            workers_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
    }
    if (workers_.empty()) alone_ = std::make_unique<Deflater>();
}

DeflatePool::~DeflatePool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
}

void DeflatePool::deflate(DeflateBlock& block) {
    if (alone_) {
        alone_->run(block);
        block.done_ = true;
        return;
    }
    {
        std::lock_guard lock(mutex_);
        block.done_ = false;
        queue_.push_back(&block);
    }
    queued_.notify_one();
}

void DeflatePool::wait(DeflateBlock& block) {
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [&] { return block.done_; });
}

void DeflatePool::work() {
    Deflater deflater;
    for (;;) {
        DeflateBlock* block = nullptr;
        {
            std::unique_lock lock(mutex_);
            // A pool going away leaves the blocks not yet started: no one waits for them.
            queued_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            block = queue_.front();
            queue_.pop_front();
        }
        deflater.run(*block);
        {
            std::lock_guard lock(mutex_);
            block->done_ = true;
        }
        finished_.notify_all();
    }
}

}  // namespace dalvento
