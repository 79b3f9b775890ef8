#include "export_generator.h"

#include <array>
#include <cstring>
#include <fstream>
#include <random>
#include <vector>

#include "core/platform/platform.h"

namespace dalvento::exportgen {

namespace {

namespace fs = std::filesystem;

// Buffers output and writes it in 1 MiB pieces.
class Writer {
  public:
    static std::expected<Writer, std::string> open(const fs::path& path) {
        auto file = platform::OutputFile::create(path);
        if (!file) return std::unexpected(platform::path_text(path) + ": " + file.error().text);
        return Writer(std::move(*file));
    }
    void bytes(const void* data, size_t size) {
        const auto* p = static_cast<const char*>(data);
        buffer_.insert(buffer_.end(), p, p + size);
        written_ += size;
        if (buffer_.size() >= (1u << 20)) flush();
    }
    void text(std::string_view s) { bytes(s.data(), s.size()); }
    void le32(uint32_t v) { put(v, 4, false); }
    void be32(uint32_t v) { put(v, 4, true); }
    void le16(uint16_t v) { put(v, 2, false); }
    void f64(double d) {
        uint64_t v;
        std::memcpy(&v, &d, 8);
        put(v, 8, false);
    }
    uint64_t written() const { return written_; }
    std::expected<void, std::string> finish() {
        flush();
        if (!error_.empty()) return std::unexpected(error_);
        auto closed = file_.close();
        if (!closed) return std::unexpected(closed.error().text);
        return {};
    }

  private:
    explicit Writer(platform::OutputFile file) : file_(std::move(file)) {}
    void put(uint64_t v, int n, bool big_endian) {
        char b[8];
        for (int i = 0; i < n; ++i) {
            const int shift = big_endian ? 8 * (n - 1 - i) : 8 * i;
            b[i] = static_cast<char>((v >> shift) & 0xFF);
        }
        bytes(b, static_cast<size_t>(n));
    }
    void flush() {
        if (buffer_.empty()) return;
        auto done = file_.write_all(buffer_.data(), buffer_.size());
        if (!done && error_.empty()) error_ = done.error().text;
        buffer_.clear();
    }
    platform::OutputFile file_;
    std::vector<char> buffer_;
    uint64_t written_ = 0;
    std::string error_;
};

constexpr const char* STREETS[] = {"MAIN ST",   "OAK AVE",   "RIVER RD", "CEDAR LN",
                                   "HILL ST",   "LAKE DR",   "PINE CT",  "MILL RD",
                                   "CHURCH ST", "QUARRY RD", "ELM ST",   "VALDEX HWY"};
constexpr const char* NAMES[] = {"SMITH JOHN",         "GARCIA MARIA", "JOHNSON LEE",
                                 "NGUYEN ANH",         "BROWN PAT",    "MILLER CHRIS",
                                 "DAVIS ROBIN",        "WILSON JAMIE", "MOORE TAYLOR",
                                 "QUARNELL FARMS LLC", "ANDERSON KIM", "THOMAS ALEX"};

std::string field_value(std::mt19937& rng, unsigned column, uint64_t row) {
    switch (column % 6) {
        case 0:
            return std::to_string(100000 + row);
        case 1:
            return NAMES[rng() % std::size(NAMES)];
        case 2:
            return std::to_string(rng() % 9000 + 100) + " " + STREETS[rng() % std::size(STREETS)];
        case 3:
            return std::to_string(rng() % 500000) + "." + std::to_string(rng() % 100);
        case 4:
            return "20" + std::to_string(10 + rng() % 16) + "-0" + std::to_string(1 + rng() % 9) +
                   "-1" + std::to_string(rng() % 10);
        default:
            return (rng() % 4 == 0) ? "" : std::to_string(rng() % 100);
    }
}

std::expected<uint64_t, std::string> write_table_file(const fs::path& path, unsigned fields,
                                                      uint64_t bytes, uint32_t seed) {
    auto w = Writer::open(path);
    if (!w) return std::unexpected(w.error());
    std::mt19937 rng(seed);
    std::string line;
    for (unsigned c = 0; c < fields; ++c) {
        if (c) line += '^';
        line += "Field" + std::to_string(c + 1);
    }
    line += "\r\n";
    w->text(line);
    for (uint64_t row = 1; w->written() < bytes; ++row) {
        line.clear();
        for (unsigned c = 0; c < fields; ++c) {
            if (c) line += '^';
            line += field_value(rng, c, row);
        }
        line += "\r\n";
        w->text(line);
    }
    const uint64_t written = w->written();
    if (auto done = w->finish(); !done) return std::unexpected(done.error());
    return written;
}

// The OWNER shapefile set: square parcels in .shp/.shx, their attributes in .dbf.
std::expected<uint64_t, std::string> write_owner_layer(const fs::path& folder,
                                                       const ExportSpec& shape) {
    constexpr uint32_t record_content = 128;  // polygon: type, box, counts, 1 part, 5 points
    constexpr uint32_t dbf_record = 1 + 20 + 60 + 12;
    const uint64_t per_record = 8 + record_content + 8 + dbf_record;
    const uint64_t records = std::max<uint64_t>(1, shape.layer_bytes / per_record);
    std::mt19937 rng(shape.seed * 7919u + 17u);
    uint64_t total = 0;

    auto shp = Writer::open(folder / "OWNER.shp");
    if (!shp) return std::unexpected(shp.error());
    auto shx = Writer::open(folder / "OWNER.shx");
    if (!shx) return std::unexpected(shx.error());
    const auto header = [&](Writer& w, uint64_t file_bytes) {
        w.be32(9994);
        for (int i = 0; i < 5; ++i)
            w.be32(0);
        w.be32(static_cast<uint32_t>(file_bytes / 2));
        w.le32(1000);
        w.le32(5);
        const double box[] = {1500000, 600000, 1600000, 700000, 0, 0, 0, 0};
        for (double d : box)
            w.f64(d);
    };
    header(*shp, 100 + records * (8 + record_content));
    header(*shx, 100 + records * 8);
    uint64_t offset = 100;
    for (uint64_t i = 0; i < records; ++i) {
        const double x = 1500000 + static_cast<double>(rng() % 100000);
        const double y = 600000 + static_cast<double>(rng() % 100000);
        const double s = 50 + static_cast<double>(rng() % 200);
        shp->be32(static_cast<uint32_t>(i + 1));
        shp->be32(record_content / 2);
        shp->le32(5);
        for (double d : {x, y, x + s, y + s})
            shp->f64(d);
        shp->le32(1);
        shp->le32(5);
        shp->le32(0);
        const double pts[5][2] = {{x, y}, {x, y + s}, {x + s, y + s}, {x + s, y}, {x, y}};
        for (const auto& p : pts)
            shp->f64(p[0]), shp->f64(p[1]);
        shx->be32(static_cast<uint32_t>(offset / 2));
        shx->be32(record_content / 2);
        offset += 8 + record_content;
    }
    total += shp->written() + shx->written();
    if (auto d = shp->finish(); !d) return std::unexpected(d.error());
    if (auto d = shx->finish(); !d) return std::unexpected(d.error());

    auto dbf = Writer::open(folder / "OWNER.dbf");
    if (!dbf) return std::unexpected(dbf.error());
    struct Field {
        const char* name;
        char type;
        uint8_t length;
        uint8_t decimals;
    };
    constexpr Field fields[] = {
        {"PARCEL_ID", 'C', 20, 0}, {"OWNER", 'C', 60, 0}, {"ACRES", 'N', 12, 3}};
    const uint8_t header_head[4] = {0x03, 126, 3, 5};
    dbf->bytes(header_head, 4);
    dbf->le32(static_cast<uint32_t>(records));
    dbf->le16(static_cast<uint16_t>(32 + 32 * std::size(fields) + 1));
    dbf->le16(dbf_record);
    const char zeros[32] = {};
    dbf->bytes(zeros, 20);
    for (const Field& f : fields) {
        char descriptor[32] = {};
        std::strncpy(descriptor, f.name, 10);
        descriptor[11] = f.type;
        descriptor[16] = static_cast<char>(f.length);
        descriptor[17] = static_cast<char>(f.decimals);
        dbf->bytes(descriptor, 32);
    }
    dbf->text("\x0D");
    char record[dbf_record];
    for (uint64_t i = 0; i < records; ++i) {
        std::memset(record, ' ', sizeof record);
        const std::string id = "Q" + std::to_string(100000 + i);
        const char* owner = NAMES[rng() % std::size(NAMES)];
        const std::string acres =
            std::to_string(rng() % 400) + "." + std::to_string(100 + rng() % 900);
        std::memcpy(record + 1, id.data(), std::min<size_t>(id.size(), 20));
        std::memcpy(record + 21, owner, std::strlen(owner));
        std::memcpy(record + 81 + (12 - acres.size()), acres.data(), acres.size());
        dbf->bytes(record, sizeof record);
    }
    dbf->text("\x1A");
    total += dbf->written();
    if (auto d = dbf->finish(); !d) return std::unexpected(d.error());

    const std::pair<const char*, std::string> small_files[] = {
        {"OWNER.prj",
         "PROJCS[\"NAD_1983_StatePlane_Valdex_North_FIPS_4501_Feet\",GEOGCS[\"GCS_North_American_"
         "1983\","
         "DATUM[\"D_North_American_1983\",SPHEROID[\"GRS_1980\",6378137.0,298.257222101]],"
         "PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\",0.0174532925199433]],"
         "PROJECTION[\"Lambert_Conformal_Conic\"],UNIT[\"Foot_US\",0.3048006096012192]]"},
        {"OWNER.cpg", "UTF-8"},
        {"OWNER.shp.xml",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<metadata xml:lang=\"en\"><Esri>" +
             (shape.crea_date.empty() ? std::string()
                                      : "<CreaDate>" + shape.crea_date + "</CreaDate>") +
             "<CreaTime>14070000</CreaTime><ArcGISFormat>1.0</ArcGISFormat>"
             "<SyncOnce>TRUE</SyncOnce></Esri><dataIdInfo><idCitation><resTitle>OWNER</resTitle>"
             "</idCitation></dataIdInfo></metadata>\r\n"},
    };
    for (const auto& [name, content] : small_files) {
        auto w = Writer::open(folder / name);
        if (!w) return std::unexpected(w.error());
        w->text(content);
        total += w->written();
        if (auto d = w->finish(); !d) return std::unexpected(d.error());
    }
    return total;
}

std::expected<uint64_t, std::string> write_other_files(const fs::path& folder,
                                                       const ExportSpec& shape) {
    constexpr const char* EXTENSIONS[] = {"pdf", "xlsx", "csv", "docx"};
    std::mt19937 rng(shape.seed * 31u + 5u);
    uint64_t total = 0;
    std::vector<char> content;
    for (int i = 0; i < shape.other_files; ++i) {
        const char* ext = EXTENSIONS[i % std::size(EXTENSIONS)];
        std::string name = "file_" + std::to_string(10000 + i) + "." + ext;
        auto w = Writer::open(folder / name);
        if (!w) return std::unexpected(w.error());
        if (std::string_view(ext) == "pdf") w->text("%PDF-1.7\n");
        content.resize(4096);
        while (w->written() < shape.other_file_bytes) {
            for (char& c : content)
                c = static_cast<char>(rng());
            w->bytes(content.data(), static_cast<size_t>(std::min<uint64_t>(
                                         content.size(), shape.other_file_bytes - w->written())));
        }
        total += w->written();
        if (auto d = w->finish(); !d) return std::unexpected(d.error());
    }
    return total;
}

std::expected<void, std::string> stamp(const fs::path& folder,
                                       const std::optional<Time>& modified) {
    if (!modified) return {};
    auto entries = platform::list_directory(folder);
    if (!entries) return std::unexpected(entries.error().text);
    for (const auto& entry : *entries) {
        if (auto done = platform::set_modified(entry.path, *modified); !done) {
            return std::unexpected(done.error().text);
        }
    }
    return {};
}

// --- breaking a written export ---

constexpr std::pair<BrokenForm, std::string_view> FORM_NAMES[] = {
    {BrokenForm::none, "none"},
    {BrokenForm::shp_cut, "shp-cut"},
    {BrokenForm::shx_cut, "shx-cut"},
    {BrokenForm::dbf_cut, "dbf-cut"},
    {BrokenForm::dbf_records_dropped, "dbf-records-dropped"},
    {BrokenForm::shp_bad_length, "shp-bad-length"},
    {BrokenForm::shx_bad_file_code, "shx-bad-file-code"},
    {BrokenForm::shx_other_shape_type, "shx-other-shape-type"},
    {BrokenForm::table_last_line_cut, "table-last-line-cut"},
    {BrokenForm::table_trailer_line, "table-trailer-line"},
};

std::expected<std::string, std::string> read_bytes(const fs::path& path, uint64_t offset,
                                                   size_t size) {
    auto file = platform::InputFile::open(path);
    if (!file) return std::unexpected(platform::path_text(path) + ": " + file.error().text);
    std::string bytes(size, '\0');
    if (auto read = file->read_exact_at(offset, bytes.data(), size); !read) {
        return std::unexpected(platform::path_text(path) + ": " + read.error().text);
    }
    return bytes;
}

std::expected<uint64_t, std::string> size_of(const fs::path& path) {
    const auto info = platform::file_info(path);
    if (!info) return std::unexpected(platform::path_text(path) + ": " + info.error().text);
    return info->size;
}

std::expected<void, std::string> write_bytes(const fs::path& path, uint64_t offset,
                                             std::string_view bytes) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) return std::unexpected(platform::path_text(path) + ": could not write to it");
    return {};
}

std::expected<void, std::string> cut_to(const fs::path& path, uint64_t size) {
    std::error_code error;
    fs::resize_file(path, size, error);
    if (error) return std::unexpected(platform::path_text(path) + ": " + error.message());
    return {};
}

uint32_t be32_at(std::string_view b, size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(b.data() + at);
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

uint32_t le_at(std::string_view b, size_t at, int n) {
    const auto* p = reinterpret_cast<const unsigned char*>(b.data() + at);
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

std::string be32_bytes(uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

std::string le32_bytes(uint32_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
            static_cast<char>(v >> 24)};
}

bool is_layer_form(BrokenForm form) {
    return form != BrokenForm::none && form != BrokenForm::table_last_line_cut &&
           form != BrokenForm::table_trailer_line;
}

}  // namespace

std::string_view broken_form_name(BrokenForm form) {
    for (const auto& [f, name] : FORM_NAMES) {
        if (f == form) return name;
    }
    return "none";
}

std::optional<BrokenForm> broken_form_from_name(std::string_view name) {
    for (const auto& [form, n] : FORM_NAMES) {
        if (n == name) return form;
    }
    return std::nullopt;
}

std::expected<void, std::string> break_layer(const fs::path& folder, std::string_view stem,
                                             BrokenForm form) {
    const fs::path shp = folder / platform::path_from_text(std::string(stem) + ".shp");
    const fs::path shx = folder / platform::path_from_text(std::string(stem) + ".shx");
    const fs::path dbf = folder / platform::path_from_text(std::string(stem) + ".dbf");
    switch (form) {
        case BrokenForm::shp_cut: {
            // Half-way into the content of the last shape the index names.
            const auto shx_size = size_of(shx);
            if (!shx_size) return std::unexpected(shx_size.error());
            if (*shx_size < 108) return std::unexpected("no shape to cut in " + std::string(stem));
            const auto entry = read_bytes(shx, *shx_size - 8, 8);
            if (!entry) return std::unexpected(entry.error());
            return cut_to(shp, uint64_t{be32_at(*entry, 0)} * 2 + 8 + be32_at(*entry, 4));
        }
        case BrokenForm::shx_cut: {
            const auto size = size_of(shx);
            if (!size) return std::unexpected(size.error());
            return cut_to(shx, *size - 4);
        }
        case BrokenForm::dbf_cut:
        case BrokenForm::dbf_records_dropped: {
            const auto header = read_bytes(dbf, 0, 32);
            if (!header) return std::unexpected(header.error());
            const uint32_t records = le_at(*header, 4, 4);
            const uint64_t header_length = le_at(*header, 8, 2);
            const uint64_t record_length = le_at(*header, 10, 2);
            if (records == 0) return std::unexpected("no record to drop in " + std::string(stem));
            if (form == BrokenForm::dbf_cut) {
                return cut_to(dbf,
                              header_length + (records - 1) * record_length + record_length / 2);
            }
            const uint32_t kept = records - std::max<uint32_t>(1, records / 10);
            if (auto done = write_bytes(dbf, 4, le32_bytes(kept)); !done) return done;
            return cut_to(dbf, header_length + kept * record_length);
        }
        case BrokenForm::shp_bad_length: {
            const auto header = read_bytes(shp, 0, 100);
            if (!header) return std::unexpected(header.error());
            return write_bytes(shp, 24, be32_bytes(be32_at(*header, 24) - 64));
        }
        case BrokenForm::shx_bad_file_code:
            return write_bytes(shx, 0, std::string(4, '\0'));
        case BrokenForm::shx_other_shape_type: {
            const auto header = read_bytes(shp, 0, 100);
            if (!header) return std::unexpected(header.error());
            return write_bytes(shx, 32, le32_bytes(le_at(*header, 32, 4) == 1 ? 5 : 1));
        }
        default:
            return std::unexpected("not a way to break a layer: " +
                                   std::string(broken_form_name(form)));
    }
}

std::expected<void, std::string> break_table(const fs::path& table_path, BrokenForm form) {
    const auto size = size_of(table_path);
    if (!size) return std::unexpected(size.error());
    if (form == BrokenForm::table_trailer_line) {
        return write_bytes(table_path, *size, "** END OF REPORT **\r\n");
    }
    if (form != BrokenForm::table_last_line_cut) {
        return std::unexpected("not a way to break a table: " +
                               std::string(broken_form_name(form)));
    }
    // Just after the middle `^` of the last line, its line end gone with the rest.
    const uint64_t window = std::min<uint64_t>(*size, 64 * 1024);
    const auto tail = read_bytes(table_path, *size - window, static_cast<size_t>(window));
    if (!tail) return std::unexpected(tail.error());
    size_t end = tail->size();
    while (end > 0 && ((*tail)[end - 1] == '\n' || (*tail)[end - 1] == '\r'))
        --end;
    if (end == 0) return std::unexpected(platform::path_text(table_path) + ": no line to cut");
    const size_t start = tail->rfind('\n', end == 0 ? 0 : end - 1) + 1;  // npos + 1 is 0
    std::vector<size_t> carets;
    for (size_t i = start; i < end; ++i) {
        if ((*tail)[i] == '^') carets.push_back(i);
    }
    const size_t cut = carets.empty() ? start + (end - start) / 2 : carets[carets.size() / 2] + 1;
    return cut_to(table_path, *size - window + cut);
}

std::expected<void, std::string> write_table(const fs::path& path, unsigned fields, uint64_t bytes,
                                             uint32_t seed) {
    if (auto made = platform::create_directories(path.parent_path()); !made) {
        return std::unexpected(platform::path_text(path.parent_path()) + ": " + made.error().text);
    }
    auto written = write_table_file(path, fields, bytes, seed);
    if (!written) return std::unexpected(written.error());
    return {};
}

std::expected<GeneratedExport, std::string> generate_exports(const fs::path& root,
                                                             const ExportSpec& shape) {
    GeneratedExport out;
    out.layers_folder = root / "arcgis";
    out.tables_folder = root / "parcels";
    out.other_folder = root / "other";
    for (const auto& folder : {out.layers_folder, out.tables_folder, out.other_folder}) {
        if (auto made = platform::create_directories(folder); !made) {
            return std::unexpected(platform::path_text(folder) + ": " + made.error().text);
        }
    }

    auto layer = write_owner_layer(out.layers_folder, shape);
    if (!layer) return std::unexpected(layer.error());
    out.total_bytes += *layer;

    // Shares of the table bytes, roughly as in a real county export.
    constexpr double SHARES[] = {0.40, 0.15, 0.25, 0.15, 0.05};
    size_t table = 0;
    for (const ProfileUnit& unit : county_profile().units) {
        if (unit.kind != UnitKind::table) continue;
        const uint64_t bytes = static_cast<uint64_t>(static_cast<double>(shape.table_bytes) *
                                                     SHARES[table % std::size(SHARES)]);
        auto written = write_table_file(out.tables_folder / std::string(unit.name),
                                        unit.expected_fields.value_or(8), bytes,
                                        shape.seed * 101u + static_cast<uint32_t>(table));
        if (!written) return std::unexpected(written.error());
        out.total_bytes += *written;
        ++table;
    }

    auto others = write_other_files(out.other_folder, shape);
    if (!others) return std::unexpected(others.error());
    out.total_bytes += *others;

    if (shape.broken != BrokenForm::none) {
        const std::vector<fs::path> touched =
            is_layer_form(shape.broken)
                ? std::vector<fs::path>{out.layers_folder / "OWNER.shp",
                                        out.layers_folder / "OWNER.shx",
                                        out.layers_folder / "OWNER.dbf"}
                : std::vector<fs::path>{out.tables_folder / "tblREProperty.txt"};
        for (const fs::path& path : touched)
            out.total_bytes -= size_of(path).value_or(0);
        auto broken = is_layer_form(shape.broken)
                          ? break_layer(out.layers_folder, "OWNER", shape.broken)
                          : break_table(out.tables_folder / "tblREProperty.txt", shape.broken);
        if (!broken) return std::unexpected(broken.error());
        for (const fs::path& path : touched)
            out.total_bytes += size_of(path).value_or(0);
    }

    for (const auto& folder : {out.layers_folder, out.tables_folder, out.other_folder}) {
        if (auto done = stamp(folder, shape.modified); !done) return std::unexpected(done.error());
    }
    return out;
}

}  // namespace dalvento::exportgen
