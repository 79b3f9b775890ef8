#include "core/sources/cutoff_checks.h"

#include <algorithm>
#include <array>
#include <optional>

#include "core/platform/platform.h"
#include "county/profile.h"

namespace dalvento {

namespace {

constexpr const char* CUT_OFF = "; the export looks cut off. Export the layer again.";
constexpr const char* UNFINISHED = "; the export may not have finished. Export the layer again.";
constexpr const char* DAMAGED = "; the file is damaged. Export the layer again.";

constexpr uint32_t SHAPEFILE_CODE = 9994;
constexpr uint32_t SHAPEFILE_VERSION = 1000;
constexpr uint64_t SHAPEFILE_HEADER_BYTES = 100;
constexpr uint64_t INDEX_ENTRY_BYTES = 8;
constexpr uint64_t DBF_HEADER_BYTES = 32;
constexpr uint64_t DBF_SMALLEST_HEADER_LENGTH = DBF_HEADER_BYTES + 1;  // no fields, terminator
constexpr unsigned char DBF_END_OF_FILE = 0x1A;

uint32_t big_endian_32(const unsigned char* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

uint32_t little_endian_32(const unsigned char* p) {
    return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | uint32_t{p[0]};
}

uint16_t little_endian_16(const unsigned char* p) {
    return static_cast<uint16_t>(p[1] << 8 | p[0]);
}

std::string shape_type_text(uint32_t type) {
    switch (type) {
        case 0:
            return "null shapes";
        case 1:
            return "points";
        case 3:
            return "lines";
        case 5:
            return "polygons";
        case 8:
            return "multipoints";
        case 11:
            return "points with heights";
        case 13:
            return "lines with heights";
        case 15:
            return "polygons with heights";
        case 18:
            return "multipoints with heights";
        case 21:
            return "points with measures";
        case 23:
            return "lines with measures";
        case 25:
            return "polygons with measures";
        case 28:
            return "multipoints with measures";
        case 31:
            return "multipatches";
        default:
            return "shapes of type " + std::to_string(type);
    }
}

// "1 record", "10,212 records".
std::string counted(uint64_t count, const std::string& thing) {
    return count_text(count) + " " + thing + (count == 1 ? "" : "s");
}

void add_problem(DeliveryUnit& unit, std::string text) {
    unit.messages.push_back(UnitMessage{std::move(text), true});
}

// Reads size bytes at offset; a failure becomes the member's reading message.
bool read_at(DeliveryUnit& unit, const MemberRead& read, const UnitFile& file, uint64_t offset,
             void* buffer, size_t size) {
    if (auto got = read(file, offset, buffer, size); !got) {
        add_problem(unit, file.name + ": can't read it: " + got.error());
        return false;
    }
    return true;
}

std::string size_fault(const UnitFile& file, uint64_t declared) {
    if (file.bytes < declared) {
        return file.name + " is shorter than its header says (" + count_text(file.bytes) + " of " +
               count_text(declared) + " bytes)" + CUT_OFF;
    }
    return file.name + " is longer than its header says (" + count_text(file.bytes) +
           " bytes, the header says " + count_text(declared) + ")" + UNFINISHED;
}

// What a .shp or .shx header says, once it has been found sound enough to compare.
struct ShapeHeader {
    uint32_t shape_type = 0;
    bool whole = false;  // the file is as long as its header says
};

std::optional<ShapeHeader> check_shape_header(DeliveryUnit& unit, const MemberRead& read,
                                              const UnitFile& file) {
    if (file.bytes < SHAPEFILE_HEADER_BYTES) {
        add_problem(unit, file.name + " is shorter than a shapefile header (" +
                              count_text(file.bytes) + " of 100 bytes)" + CUT_OFF);
        return std::nullopt;
    }
    std::array<unsigned char, SHAPEFILE_HEADER_BYTES> header;
    if (!read_at(unit, read, file, 0, header.data(), header.size())) return std::nullopt;
    const uint32_t code = big_endian_32(&header[0]);
    if (code != SHAPEFILE_CODE) {
        add_problem(unit, file.name + " doesn't start like a shapefile (file code " +
                              std::to_string(code) + ", not 9994)" + DAMAGED);
        return std::nullopt;
    }
    const uint32_t version = little_endian_32(&header[28]);
    if (version != SHAPEFILE_VERSION) {
        add_problem(unit, file.name + " has shapefile version " + std::to_string(version) +
                              ", not 1000" + DAMAGED);
        return std::nullopt;
    }
    ShapeHeader out;
    out.shape_type = little_endian_32(&header[32]);
    const uint64_t declared = uint64_t{big_endian_32(&header[24])} * 2;  // 16-bit words
    out.whole = declared == file.bytes;
    if (!out.whole) add_problem(unit, size_fault(file, declared));
    return out;
}

// The number of records a .dbf holds when it is as long as its header says.
std::optional<uint64_t> check_dbf(DeliveryUnit& unit, const MemberRead& read,
                                  const UnitFile& file) {
    if (file.bytes < DBF_HEADER_BYTES) {
        add_problem(unit, file.name + " is shorter than a table header (" + count_text(file.bytes) +
                              " of 32 bytes)" + CUT_OFF);
        return std::nullopt;
    }
    std::array<unsigned char, DBF_HEADER_BYTES> header;
    if (!read_at(unit, read, file, 0, header.data(), header.size())) return std::nullopt;
    const uint64_t records = little_endian_32(&header[4]);
    const uint64_t header_length = little_endian_16(&header[8]);
    const uint64_t record_length = little_endian_16(&header[10]);
    if (header_length < DBF_SMALLEST_HEADER_LENGTH || record_length == 0) {
        add_problem(unit, file.name + " doesn't start like a dBASE table (header length " +
                              std::to_string(header_length) + ", record length " +
                              std::to_string(record_length) + ")" + DAMAGED);
        return std::nullopt;
    }
    const uint64_t declared = header_length + records * record_length;
    if (file.bytes == declared) return records;
    if (file.bytes == declared + 1) {
        unsigned char last = 0;
        if (!read_at(unit, read, file, declared, &last, 1)) return std::nullopt;
        if (last == DBF_END_OF_FILE) return records;
    }
    add_problem(unit, size_fault(file, declared));
    return std::nullopt;
}

// The first member with the given extension that was read and holds bytes.
const UnitFile* member(const DeliveryUnit& unit, std::string_view extension) {
    for (const UnitFile& file : unit.files) {
        const auto split = split_layer_file_name(file.name);
        if (split && split->extension == extension) return file.bytes > 0 ? &file : nullptr;
    }
    return nullptr;
}

}  // namespace

std::expected<void, std::string> read_member_on_disk(const UnitFile& file, uint64_t offset,
                                                     void* buffer, size_t size) {
    auto opened = platform::InputFile::open(file.path);
    if (!opened) return std::unexpected(opened.error().text);
    if (auto read = opened->read_exact_at(offset, buffer, size); !read) {
        return std::unexpected(read.error().text);
    }
    return {};
}

void check_layer_consistency(DeliveryUnit& unit, const MemberRead& read) {
    const UnitFile* shp = member(unit, "shp");
    const UnitFile* shx = member(unit, "shx");
    const UnitFile* dbf = member(unit, "dbf");
    if (!shp || !shx || !dbf) return;  // the sibling, reading and empty checks have spoken

    // Each comparison runs only on files that passed their own checks, so that one cut-off file
    // gives one message rather than a cascade.
    const auto shp_header = check_shape_header(unit, read, *shp);
    const auto shx_header = check_shape_header(unit, read, *shx);
    if (shp_header && shx_header && shp_header->shape_type != shx_header->shape_type) {
        add_problem(unit, shp->name + " holds " + shape_type_text(shp_header->shape_type) +
                              " but " + shx->name + " indexes " +
                              shape_type_text(shx_header->shape_type) +
                              "; the files don't belong together. Export the layer again.");
    }

    std::optional<uint64_t> shapes;
    if (shx_header && shx_header->whole) {
        const uint64_t entries_bytes = shx->bytes - SHAPEFILE_HEADER_BYTES;
        if (entries_bytes % INDEX_ENTRY_BYTES != 0) {
            add_problem(unit, shx->name + " ends part-way through an index entry (" +
                                  count_text(shx->bytes) + " bytes)" + CUT_OFF);
        } else {
            shapes = entries_bytes / INDEX_ENTRY_BYTES;
        }
    }
    if (shapes && *shapes > 0 && shp_header && shp_header->whole) {
        std::array<unsigned char, INDEX_ENTRY_BYTES> entry;
        if (read_at(unit, read, *shx, shx->bytes - INDEX_ENTRY_BYTES, entry.data(), entry.size())) {
            // Offset and content length in 16-bit words; each record has an 8-byte header.
            const uint64_t end =
                uint64_t{big_endian_32(&entry[0])} * 2 + 8 + uint64_t{big_endian_32(&entry[4])} * 2;
            if (end > shp->bytes) {
                add_problem(unit, shx->name + " indexes shapes past the end of " + shp->name +
                                      " (the last ends at byte " + count_text(end) + " of " +
                                      count_text(shp->bytes) + ")" + CUT_OFF);
            }
        }
    }

    const auto records = check_dbf(unit, read, *dbf);
    if (records && shapes && *records != *shapes) {
        add_problem(unit, dbf->name + " holds " + counted(*records, "record") + " but " +
                              shx->name + " indexes " + counted(*shapes, "shape") + CUT_OFF);
    }
}

void check_table_end(DeliveryUnit& unit, const UnitFile& file, uint64_t fields,
                     const MemberRead& read) {
    if (file.bytes == 0) return;
    const uint64_t window = std::min(file.bytes, TABLE_END_BYTES);
    std::array<char, TABLE_END_BYTES> buffer;
    if (auto got = read(file, file.bytes - window, buffer.data(), window); !got) {
        unit.messages.push_back({"can't read it: " + got.error(), true});
        return;
    }
    // Line ends and blank lines at the end are no record, as blank lines are none at the start.
    size_t end = window;
    while (end > 0 && (buffer[end - 1] == '\n' || buffer[end - 1] == '\r'))
        --end;
    size_t start = end;
    while (start > 0 && buffer[start - 1] != '\n')
        --start;
    const bool whole_line_seen = start > 0 || window == file.bytes;
    if (end == 0 || !whole_line_seen) return;  // a last line longer than the window: no verdict

    uint64_t found = 1;
    for (size_t i = start; i < end; ++i) {
        if (buffer[i] == '^') ++found;
    }
    if (found != fields) {
        unit.messages.push_back({"the last line has " + count_text(found) +
                                     (found == 1 ? " field, not " : " fields, not ") +
                                     count_text(fields) +
                                     "; if the export was cut off, export it again.",
                                 false});
    }
}

std::string count_text(uint64_t count) {
    std::string digits = std::to_string(count);
    for (size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, 1, ',');
    return digits;
}

}  // namespace dalvento
