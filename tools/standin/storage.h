// What the stand-in keeps on disk: the zip received in place, each part written straight to its
// offset in "{zip}.partial" and hashed as it arrives, and given the zip's own name once complete
// finds it whole. No part is copied a second time.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>

#include "core/platform/sha256.h"

namespace dalvento::standin {

// Where a zip is received until complete puts it in place.
std::filesystem::path receiving_path(const std::filesystem::path& zip);

// One part's bytes going to their place in the zip being received: [offset, offset + expected).
// Every byte is hashed; bytes past the part's end are not written, so a part of the wrong size
// cannot spoil its neighbour.
class PartWriter {
  public:
    PartWriter(const std::filesystem::path& file, uint64_t offset, uint64_t expected);
    ~PartWriter();
    PartWriter(const PartWriter&) = delete;
    PartWriter& operator=(const PartWriter&) = delete;

    void write(const char* data, size_t size);
    uint64_t bytes() const { return bytes_; }
    // Written whole, with as many bytes as the part should have.
    bool fits() const { return ok() && bytes_ == expected_; }
    // Stored without a failure, whatever its size.
    bool ok() const { return fd_ >= 0 && !failed_; }
    std::string sha256() { return digest_.finish_hex(); }  // once

  private:
    int fd_ = -1;
    bool failed_ = false;
    uint64_t offset_ = 0, expected_ = 0, bytes_ = 0;
    Sha256 digest_;
};

struct FileDigest {
    uint64_t bytes = 0;
    std::string sha256;
};

// The size and SHA-256 of a whole file; the error says what failed. (The program's own hash_file
// is not at hand: the Windows build builds the stand-in with no more of the core than SHA-256.)
std::expected<FileDigest, std::string> digest_file(const std::filesystem::path& file);

}  // namespace dalvento::standin
