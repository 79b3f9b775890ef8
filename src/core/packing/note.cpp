#include "core/packing/note.h"

#include <cstddef>
#include <string_view>

#include "core/packing/delivery_plan.h"
#include "core/platform/time_text.h"
#include "county/profile.h"
#include "county/text.h"

namespace dalvento {

namespace {

constexpr std::string_view CRLF = "\r\n";
constexpr std::string_view PACKED_TIME = "%Y-%m-%d %H:%M";
constexpr size_t NAME_COLUMN = 28;
constexpr size_t BYTES_COLUMN = 12;

// Counted in characters (UTF-8 code points), not bytes, so that a name with accented letters
// lines up with the others in an editor.
size_t character_count(std::string_view text) {
    size_t count = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
    }
    return count;
}

std::string pad_right(const std::string& text, size_t width) {
    const size_t length = character_count(text);
    return length >= width ? text : text + std::string(width - length, ' ');
}

std::string pad_left(const std::string& text, size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string packed_time(const std::optional<Time>& time) {
    return time ? format_local(*time, PACKED_TIME) : std::string();
}

void add_section(std::string& note, std::string_view title, const std::vector<std::string>& items) {
    if (items.empty()) return;
    note += CRLF;
    note += title;
    note += CRLF;
    for (const std::string& item : items) {
        note += "  " + item;
        note += CRLF;
    }
}

}  // namespace

std::string note_text(const std::vector<DeliveryUnit>& units, bool send_everything,
                      const NoteInput& input) {
    std::string note;
    note += std::string(county_profile().display_name) + " data delivery\r\n\r\n";
    note += "Sent by: " + given_or(input.sender, "(not given)") + "\r\n";
    note += "Exported: " + format_date(input.export_date.date, "%B %-d, %Y") + " (from " +
            input.export_date.source + ")\r\n";
    note += "Tax year / roll: " + given_or(input.tax_year, "(not given)") + "\r\n";
    note += "Anything unusual: " + given_or(input.unusual, "nothing noted") + "\r\n";
    note += "Packed: " + format_local(input.packed_at, PACKED_TIME) + "\r\n\r\nFiles:\r\n";

    for (const DeliveryUnit& unit : units) {
        if (!goes(unit, send_everything)) continue;
        for (const UnitFile& file : unit.files) {
            note += "  " + pad_right(file.name, NAME_COLUMN) + " " +
                    pad_left(std::to_string(file.bytes), BYTES_COLUMN) + " bytes  modified " +
                    packed_time(file.modified) + (unit.core ? "" : "  (extra)") + "\r\n";
        }
    }

    std::vector<std::string> identical, not_selected, problems;
    for (const DeliveryUnit& unit : units) {
        const bool found = unit.total_bytes.has_value();
        if (unit.selected && is_ready(unit) && !goes(unit, send_everything)) {
            identical.push_back(pad_right(unit_label(unit), NAME_COLUMN) + " " +
                                unit.sha256.value_or("?") + "  " + packed_time(unit.last_sent));
        }
        if (found && !unit.selected) not_selected.push_back(unit_label(unit));
        if (found && unit.selected) {
            for (const UnitMessage& m : unit.messages) {
                if (m.blocking) problems.push_back(unit.key + ": " + m.text);
            }
        }
    }
    add_section(note, "Not included, identical to the copy already delivered (SHA-256, last sent):",
                identical);
    add_section(note, "Not included, not selected:", not_selected);
    add_section(note, "Not included, has a problem:", problems);

    note += "\r\nPacked by Dalvento " DALVENTO_VERSION "\r\n";
    return note;
}

std::string sha256sums_line(const std::string& sha256, const std::string& name) {
    return sha256 + "  " + name + "\r\n";
}

}  // namespace dalvento
