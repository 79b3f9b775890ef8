// File fingerprints through the hash cache, unit fingerprints, the unchanged test and the
// record of a delivery.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/tracking/state.h"
#include "county/delivery_unit.h"

namespace dalvento {

struct FileHash {
    uint64_t bytes = 0;
    std::string sha256;
};

// Milliseconds since 1970-01-01 UTC, rounded down; 0 for a time before 1970.
int64_t modified_ms(Time time);

// Reads a whole file in 8 KiB pieces and gives its size and SHA-256; the error is the OS text.
std::expected<FileHash, std::string> hash_file(const std::filesystem::path& path);

// A file's fingerprint: from the cache when size and time match (the file is not opened),
// otherwise hashed and stored. The error is the OS text of the failed read.
std::expected<std::string, std::string> file_fingerprint(State& state,
                                                         const std::filesystem::path& path,
                                                         uint64_t size,
                                                         std::optional<Time> modified);

// The unit's fingerprint from its members' fingerprints; none when no member has one.
std::optional<std::string> unit_fingerprint(const DeliveryUnit& unit);

// Sets the unit's fingerprint and its unchanged flag against the delivered fingerprints.
void unit_fingerprint_and_unchanged(DeliveryUnit& unit,
                                    const std::map<std::string, std::string>& sent_hash);

// Records the units that went in this delivery (fingerprints and times), sets last_sent_at and
// empties the one-time selections. The caller saves the State.
void record_delivery(State& state, const std::vector<DeliveryUnit>& units, bool send_everything);

}  // namespace dalvento
