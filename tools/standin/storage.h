// What the stand-in keeps on disk: each part streamed to its file and hashed as it arrives, and
// the zip put together from the parts at complete.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/sha256.h"

namespace dalvento::standin {

// A file written under a ".partial" name and put in place only when whole.
class PartialFile {
  public:
    explicit PartialFile(std::filesystem::path path);
    ~PartialFile();  // removes the partial file unless kept
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    bool ok() const { return fd_ >= 0 && !failed_; }
    // Writes and hashes a piece.
    void write(const char* data, size_t size);
    uint64_t bytes() const { return bytes_; }
    std::string sha256() { return digest_.finish_hex(); }  // once
    // Closes the file and gives it its own name; false when something failed on the way.
    bool keep();

  private:
    std::filesystem::path path_, partial_;
    int fd_ = -1;
    bool failed_ = false;
    bool kept_ = false;
    uint64_t bytes_ = 0;
    Sha256 digest_;
};

// Copies the parts 1..count of a folder (files named by number) into out, in order. The error
// names the part that is missing.
std::expected<void, std::string> append_parts(const std::filesystem::path& folder, uint64_t count,
                                              PartialFile& out);

}  // namespace dalvento::standin
