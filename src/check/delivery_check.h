// dalvento-check's checks: a delivery zip read as a receiver would, every member streamed out
// once through core's zip reader and checked on the way, in constant memory and without writing
// anything to disk.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace dalvento {

// One line of the report: a member, a shapefile set or the zip, and what was found.
struct Finding {
    std::string subject;
    std::string text;  // "ok", or what is wrong and what it means for the receiver
    bool ok = false;
};

struct CheckReport {
    std::string zip_name;
    std::vector<Finding> findings;
    size_t members = 0;
    size_t problems = 0;
    // Not a readable zip, or not a delivery: nothing more could be checked.
    bool unreadable = false;
};

// Checks the zip at `zip`: every member's CRC-32 and size, SHA256SUMS, NOTE.txt, the shapefile
// sets and the parcel tables, and the delivery's naming rules.
CheckReport check_delivery(const std::filesystem::path& zip);

// The report as lines: one per finding, then "{n} members checked, {k} problems".
std::string report_text(const CheckReport& report);

// The same as one JSON object.
std::string report_json(const CheckReport& report);

// 0: the delivery is whole; 1: problems were found; 2: not a readable zip or not a delivery.
int exit_status(const CheckReport& report);

}  // namespace dalvento
