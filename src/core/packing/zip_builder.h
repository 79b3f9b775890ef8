// The delivery zip: its name, where it goes, and writing it atomically with NOTE.txt and
// SHA256SUMS.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
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

// How a build runs. The zip's bytes are the same whatever the thread count.
struct PackOptions {
    unsigned threads = 0;  // deflate threads; 0: one per core
    // Called on the building thread as the sources are read: bytes read so far, and the total
    // the scan found (a file that grew since may take it past the total).
    std::function<void(uint64_t read, uint64_t total)> progress;
    // Set from another thread to stop the build: it then fails with PACKING_STOPPED and leaves
    // neither the zip nor its partial.
    const std::atomic<bool>* stop = nullptr;
};

inline constexpr std::string_view PACKING_STOPPED = "Packing was stopped.";

// Packs the member files of every unit that goes, then NOTE.txt, then SHA256SUMS, into a
// temporary "{name}.zip.partial" renamed to zip_path when complete. Member files are deflated
// block by block on every core and read once, for their data and their SHA-256 alike.
std::expected<ZipResult, std::string> build_zip(const std::vector<DeliveryUnit>& units,
                                                bool send_everything, std::string_view note_text,
                                                const std::filesystem::path& zip_path,
                                                const PackOptions& options = {});

}  // namespace dalvento
