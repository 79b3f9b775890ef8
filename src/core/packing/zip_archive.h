// A zip written entry by entry through the platform seam, with the settings every delivery
// entry shares: deflate at level 6, the ZIP64 field with both sizes in each local header, UTF-8
// names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace dalvento {

// 1980-01-01 00:00:00 as an MS-DOS date and time (date in the high 16 bits).
inline constexpr uint32_t DOS_EPOCH = 0x00210000;

class ZipArchive {
  public:
    // Creates (or empties) the file. Errors read "{path}: {os text}".
    static std::expected<ZipArchive, std::string> create(const std::filesystem::path& path);
    ZipArchive(ZipArchive&&) noexcept;
    ZipArchive& operator=(ZipArchive&&) noexcept;
    ~ZipArchive();  // an unfinished zip is abandoned: its file is closed as it is

    // Ends the entry being written, if any, and starts the next one. The data of a raw entry
    // is written already deflated (one raw deflate stream) and the entry is ended with
    // end_raw_entry; other entries are deflated here as they are written.
    std::expected<void, std::string> begin_entry(std::string_view name, uint32_t dos_date_time,
                                                 bool raw = false);
    std::expected<void, std::string> write(const void* data, size_t size);
    // Ends a raw entry, giving the size and CRC-32 of the data before it was deflated.
    std::expected<void, std::string> end_raw_entry(uint64_t size, uint32_t crc);
    // Ends the last entry, writes the central directory, flushes and closes the file.
    std::expected<void, std::string> finish();
    // Closes the file without completing the zip; the caller deletes it.
    void abandon();

  private:
    struct Impl;
    explicit ZipArchive(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace dalvento
