// The delivery zip: its name, where it goes, and writing it atomically with NOTE.txt and
// SHA256SUMS.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "county/delivery_unit.h"

namespace dalvento {

// What a finished build gives back.
struct ZipResult {
    std::filesystem::path path;
    std::string sha256;     // the zip's own fingerprint
    uint64_t bytes = 0;     // the zip's size
    size_t file_count = 0;  // member files packed, NOTE.txt and SHA256SUMS not counted
};

// SHA-256 over "{unit fingerprint}  {key}\n" of the selected units with a fingerprint, sorted;
// none when no unit qualifies.
std::optional<std::string> delivery_content_fingerprint(const std::vector<DeliveryUnit>& units);

// "{county key}-{YYYY-MM-DD}-{first 8 digits of the content fingerprint}.zip".
std::string zip_file_name(std::chrono::year_month_day export_date,
                          const std::vector<DeliveryUnit>& units);

// The zip's path in a folder: its name, or "{stem}-2.zip", "{stem}-3.zip", … when taken.
std::filesystem::path choose_zip_path(const std::filesystem::path& folder,
                                      std::chrono::year_month_day export_date,
                                      const std::vector<DeliveryUnit>& units);

// Where the send flow builds its zip: LOCALAPPDATA, else TEMP, else the current folder, then
// dalvento/outbox.
std::filesystem::path outbox_folder();

// Creates the outbox folder with any missing ancestors and gives its path; the error reads
// "{folder}: {os text}".
std::expected<std::filesystem::path, std::string> make_outbox_folder();

// A file time as an MS-DOS date and time (date in the high 16 bits) in local time, to two
// seconds; 1980-01-01 00:00:00 when there is none or it falls outside the years 1980 to 2107.
uint32_t zip_entry_time(std::optional<Time> modified);

// Packs the member files of every unit that goes, then NOTE.txt, then SHA256SUMS, into a
// temporary "{name}.zip.partial" renamed to zip_path when complete.
std::expected<ZipResult, std::string> build_zip(const std::vector<DeliveryUnit>& units,
                                                bool send_everything, std::string_view note_text,
                                                const std::filesystem::path& zip_path);

}  // namespace dalvento
