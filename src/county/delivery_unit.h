// The delivery unit: one map layer, parcel table or other file, with its member files and what
// the checks found about it. Every other module works on lists of these.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "county/profile.h"

namespace dalvento {

using Time = std::chrono::system_clock::time_point;

// One member file as read from disk.
struct UnitFile {
    std::string name;  // as on disk
    std::filesystem::path path;
    std::optional<std::string> sha256;  // absent for an empty file
    uint64_t bytes = 0;
    std::optional<Time> modified;
};

// A problem (blocking: the unit cannot go) or a thing to check (the unit can still go).
struct UnitMessage {
    std::string text;
    bool blocking = false;

    bool operator==(const UnitMessage&) const = default;
};

struct DeliveryUnit {
    std::optional<uint64_t> total_bytes;  // absent for a placeholder
    std::string key;
    std::string description;
    std::vector<UnitFile> files;
    std::vector<UnitMessage> messages;
    std::optional<std::filesystem::path> folder;
    std::optional<std::string> sha256;
    std::optional<Time> newest_modified;
    std::optional<Time> last_sent;
    bool core = false;
    bool unchanged = false;
    bool selected = false;
    UnitKind kind = UnitKind::file;
};

// Found on disk and without a blocking message: the unit may go.
bool is_ready(const DeliveryUnit& unit);

// The going test: selected, ready, and either sent again on purpose or not unchanged.
bool goes(const DeliveryUnit& unit, bool send_everything);

// True when any message of the unit is blocking.
bool has_blocking_message(const DeliveryUnit& unit);

// What a list shows for the unit: "{key} (layer, {n} files)", "{key} (layer)" or the key.
std::string unit_label(const DeliveryUnit& unit);

}  // namespace dalvento
