// Reading back the two texts and the name a delivery zip carries, as the packing side writes
// them: NOTE.txt's export date and file list, SHA256SUMS's lines, and the zip's own name.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dalvento {

// One line of NOTE.txt's file list.
struct NoteListing {
    std::string name;
    uint64_t bytes = 0;
    bool extra = false;  // "(extra)": not one of the county's core units
};

struct DeliveryNote {
    std::chrono::year_month_day export_date;
    std::vector<NoteListing> files;
};

// NOTE.txt as the program writes it; the error names the first line that reads otherwise.
std::expected<DeliveryNote, std::string> read_delivery_note(std::string_view text);

struct SumsLine {
    std::string sha256;
    std::string name;
};

// SHA256SUMS as the program writes it; the error names the first line that reads otherwise.
std::expected<std::vector<SumsLine>, std::string> read_sums(std::string_view text);

// The export date a delivery zip's name carries: "{county key}-{YYYY-MM-DD}-{tag}.zip", the tag
// the first 8 hex digits of the content fingerprint or nothing, perhaps with "-{n}" before
// ".zip" when the folder held that name already. None when the name follows no such rule.
std::optional<std::chrono::year_month_day> zip_name_date(std::string_view zip_name);

}  // namespace dalvento
