// Reading a written zip back from the device it was written to, to learn whether the device
// gives back what was written: a failing stick, one pulled too early, or one smaller than it
// claims (whose writes wrap onto earlier data) all pass the writing and fail here.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace dalvento {

// Why a read-back failed; `reason` is absent when the bytes simply differ.
struct ReadBackFailure {
    std::optional<std::string> reason;
    bool stopped = false;  // the stop flag was set
};

struct ReadBackOptions {
    // Bytes read back so far and the zip's written size, on the reading thread.
    std::function<void(uint64_t read, uint64_t total)> progress;
    const std::atomic<bool>* stop = nullptr;
};

// Reads the zip back bypassing the system's file cache and compares its size and SHA-256 with
// those of the bytes written.
std::expected<void, ReadBackFailure> read_back_zip(const std::filesystem::path& zip,
                                                   std::string_view written_sha256,
                                                   uint64_t written_bytes,
                                                   const ReadBackOptions& options = {});

}  // namespace dalvento
