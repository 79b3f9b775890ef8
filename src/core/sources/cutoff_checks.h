// Checks that catch an export cut off part-way (still being written, an interrupted copy, a full
// disk): a shapefile set whose headers and sizes disagree, a table whose last line stops inside a
// record. They read headers and file ends only, never whole files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>

#include "county/delivery_unit.h"

namespace dalvento {

// The most a layer check reads: the .shp and .shx headers, the .shx's last entry, the .dbf header
// and the .dbf's last byte.
inline constexpr uint64_t LAYER_CHECK_MAX_BYTES = 100 + 100 + 8 + 32 + 1;

// The most a table-end check reads: the table's last 8 KiB.
inline constexpr uint64_t TABLE_END_BYTES = 8 * 1024;

// Reads `size` bytes of a member file from `offset`; the error is the OS text. The scan reads the
// file on disk; the receiver's checker answers from what it kept of a member streamed out of a
// zip (its first LAYER_HEAD_BYTES and its last TABLE_END_BYTES).
using MemberRead = std::function<std::expected<void, std::string>(
    const UnitFile& file, uint64_t offset, void* buffer, size_t size)>;

// The most the checks read from the start of a member: a shapefile header.
inline constexpr uint64_t LAYER_HEAD_BYTES = 100;

// MemberRead from the file at the member's path.
std::expected<void, std::string> read_member_on_disk(const UnitFile& file, uint64_t offset,
                                                     void* buffer, size_t size);

// Checks the .shp, .shx and .dbf members of a read layer against their headers and each other;
// adds one blocking message per fault. Does nothing unless all three were read and hold bytes.
void check_layer_consistency(DeliveryUnit& unit, const MemberRead& read = read_member_on_disk);

// Checks that a table's last line has the field count its first lines settled on; adds a thing to
// check when it has not.
void check_table_end(DeliveryUnit& unit, const UnitFile& file, uint64_t fields,
                     const MemberRead& read = read_member_on_disk);

// A count with thousands separators: 41,922,048.
std::string count_text(uint64_t count);

}  // namespace dalvento
