// Core's zip reader: the central directory of a zip, then each member's data streamed out
// through fixed buffers, inflated and checked against its CRC-32 and sizes as it goes, so that
// a zip of any size is read in constant memory. Understands ZIP64 wherever a zip uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dalvento {

// One member as the zip's central directory describes it.
struct ZipMember {
    std::string name;
    uint64_t size = 0;       // its data, inflated
    uint64_t packed = 0;     // its data as stored
    uint64_t header_at = 0;  // where its local header starts
    uint32_t crc = 0;
    uint32_t dos_date_time = 0;
    uint16_t method = 0;
    uint16_t flags = 0;
};

class ZipReader {
  public:
    // Opens the zip sharing it, and reads its end records and central directory. The error says
    // why the file is no readable zip (cut short, not a zip, damaged directory).
    static std::expected<ZipReader, std::string> open(const std::filesystem::path& path);
    ZipReader(ZipReader&&) noexcept;
    ZipReader& operator=(ZipReader&&) noexcept;
    ~ZipReader();

    // The members in the order their data lies in the file.
    const std::vector<ZipMember>& members() const;
    // The zip's size in bytes.
    uint64_t bytes() const;

    // Streams a member's data through `use` in pieces, inflated, and checks its local header,
    // size and CRC-32 on the way. The error says what is wrong with the member; `use` has then
    // seen part of it.
    std::expected<void, std::string> read_member(
        const ZipMember& member, const std::function<void(const unsigned char*, size_t)>& use);

  private:
    struct Impl;
    explicit ZipReader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace dalvento
