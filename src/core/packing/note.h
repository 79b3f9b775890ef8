// The two texts a delivery zip carries for its receivers: the cover note NOTE.txt and the
// SHA256SUMS checksum list. Both are UTF-8 with CRLF line ends.
#pragma once

#include <string>
#include <vector>

#include "core/sources/export_date.h"
#include "county/delivery_unit.h"

namespace dalvento {

// What the note says beyond the unit list: the delivery dialog's texts, the export date and the
// moment of packing (read once by the caller).
struct NoteInput {
    std::string sender;
    std::string tax_year;
    std::string unusual;
    ExportDate export_date;
    Time packed_at;
};

// The full NOTE.txt text for the units of a delivery.
std::string note_text(const std::vector<DeliveryUnit>& units, bool send_everything,
                      const NoteInput& input);

// One SHA256SUMS line: "{sha256}  {name}\r\n".
std::string sha256sums_line(const std::string& sha256, const std::string& name);

}  // namespace dalvento
