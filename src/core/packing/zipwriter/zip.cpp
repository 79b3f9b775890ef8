// Writes zips over zlib behind minizip's calls, for builds without minizip.
//
// Every entry starts with its local header written with the CRC and sizes still unknown; when
// the entry is closed the writer seeks back and fills them in, so no data descriptors are needed.
// An entry opened with zip64 carries the ZIP64 extended-information field in its local header
// (both sizes there, 0xFFFFFFFF in the 32-bit fields); the central directory uses ZIP64 fields
// only for the values that do not fit, and a ZIP64 end record and locator are written when the
// entry count, the central directory's size or its offset need them. A raw entry takes data
// deflated elsewhere and is given its size and CRC-32 when closed.
#include "minizip/zip.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr uint32_t LOCAL_HEADER_SIGNATURE = 0x04034b50;
constexpr uint32_t CENTRAL_HEADER_SIGNATURE = 0x02014b50;
constexpr uint32_t END_SIGNATURE = 0x06054b50;
constexpr uint32_t ZIP64_END_SIGNATURE = 0x06064b50;
constexpr uint32_t ZIP64_LOCATOR_SIGNATURE = 0x07064b50;
constexpr uint16_t ZIP64_EXTRA_ID = 0x0001;
constexpr uint64_t MAX32 = 0xFFFFFFFF;
constexpr uint64_t MAX16 = 0xFFFF;
constexpr size_t OUT_BUFFER_BYTES = 64 * 1024;

// Little-endian fields appended to a byte string.
struct Bytes {
    std::string data;
    void u16(uint64_t v) {
        for (int i = 0; i < 2; ++i)
            data.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
    void u32(uint64_t v) {
        for (int i = 0; i < 4; ++i)
            data.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
    void u64(uint64_t v) {
        for (int i = 0; i < 8; ++i)
            data.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
    void text(const std::string& s) { data += s; }
};

struct Entry {
    std::string name;
    uint16_t version_made_by = 0;
    uint16_t version_needed = 20;
    uint16_t flag = 0;
    uint16_t method = 0;
    uint32_t dos_date = 0;
    uint32_t crc = 0;
    uint64_t compressed = 0;
    uint64_t uncompressed = 0;
    uint64_t local_header_offset = 0;
    uint16_t internal_fa = 0;
    uint32_t external_fa = 0;
};

struct Writer {
    zlib_filefunc64_def io{};
    voidpf stream = nullptr;
    std::vector<Entry> entries;
    bool in_entry = false;
    bool zip64 = false;           // of the open entry
    uint64_t zip64_extra_at = 0;  // where the open entry's ZIP64 field starts
    bool deflating = false;
    bool raw = false;  // the open entry's data comes already deflated
    z_stream z{};
    unsigned char out[OUT_BUFFER_BYTES];
};

bool write_raw(Writer& w, const void* data, size_t size) {
    const auto* p = static_cast<const char*>(data);
    // The file functions take uLong, which is 32 bits on Windows.
    while (size > 0) {
        const uLong chunk = size > 0x40000000 ? 0x40000000 : static_cast<uLong>(size);
        if (w.io.zwrite_file(w.io.opaque, w.stream, p, chunk) != chunk) return false;
        p += chunk;
        size -= chunk;
    }
    return true;
}

bool write_bytes(Writer& w, const Bytes& b) {
    return write_raw(w, b.data.data(), b.data.size());
}

uint64_t tell(Writer& w) {
    return w.io.ztell64_file(w.io.opaque, w.stream);
}

bool seek(Writer& w, uint64_t at) {
    return w.io.zseek64_file(w.io.opaque, w.stream, at, ZLIB_FILEFUNC_SEEK_SET) == 0;
}

// Sends the compressed bytes waiting in the buffer to the file.
bool flush_out(Writer& w) {
    const size_t have = OUT_BUFFER_BYTES - w.z.avail_out;
    if (have > 0 && !write_raw(w, w.out, have)) return false;
    w.entries.back().compressed += have;
    w.z.next_out = w.out;
    w.z.avail_out = OUT_BUFFER_BYTES;
    return true;
}

int close_entry(Writer& w) {
    if (!w.in_entry) return ZIP_PARAMERROR;
    w.in_entry = false;
    Entry& e = w.entries.back();
    int err = ZIP_OK;
    if (w.deflating) {
        w.z.next_in = nullptr;
        w.z.avail_in = 0;
        for (;;) {
            const int rc = deflate(&w.z, Z_FINISH);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
                err = rc;
                break;
            }
            if (!flush_out(w)) {
                err = ZIP_ERRNO;
                break;
            }
            if (rc == Z_STREAM_END) break;
        }
        if (w.z.data_type == Z_TEXT) e.internal_fa |= 1;
        deflateEnd(&w.z);
        w.deflating = false;
    }
    if (err != ZIP_OK) return err;

    if (!w.zip64 && (e.compressed >= MAX32 || e.uncompressed >= MAX32)) return ZIP_BADZIPFILE;
    const uint64_t end = tell(w);
    Bytes crc;
    crc.u32(e.crc);
    if (!w.zip64) {
        crc.u32(e.compressed);
        crc.u32(e.uncompressed);
    }
    if (!seek(w, e.local_header_offset + 14) || !write_bytes(w, crc)) return ZIP_ERRNO;
    if (w.zip64) {
        Bytes sizes;
        sizes.u64(e.uncompressed);
        sizes.u64(e.compressed);
        if (!seek(w, w.zip64_extra_at + 4) || !write_bytes(w, sizes)) return ZIP_ERRNO;
    }
    if (!seek(w, end)) return ZIP_ERRNO;
    return ZIP_OK;
}

void append_central_header(Bytes& b, const Entry& e) {
    Bytes extra;
    if (e.uncompressed >= MAX32) extra.u64(e.uncompressed);
    if (e.compressed >= MAX32) extra.u64(e.compressed);
    if (e.local_header_offset >= MAX32) extra.u64(e.local_header_offset);
    b.u32(CENTRAL_HEADER_SIGNATURE);
    b.u16(e.version_made_by);
    b.u16(e.version_needed);
    b.u16(e.flag);
    b.u16(e.method);
    b.u32(e.dos_date);
    b.u32(e.crc);
    b.u32(e.compressed >= MAX32 ? MAX32 : e.compressed);
    b.u32(e.uncompressed >= MAX32 ? MAX32 : e.uncompressed);
    b.u16(e.name.size());
    b.u16(extra.data.empty() ? 0 : extra.data.size() + 4);
    b.u16(0);  // comment
    b.u16(0);  // disk number
    b.u16(e.internal_fa);
    b.u32(e.external_fa);
    b.u32(e.local_header_offset >= MAX32 ? MAX32 : e.local_header_offset);
    b.text(e.name);
    if (!extra.data.empty()) {
        b.u16(ZIP64_EXTRA_ID);
        b.u16(extra.data.size());
        b.text(extra.data);
    }
}

}  // namespace

extern "C" {

zipFile zipOpen2_64(const void* pathname, int append, zipcharpc* globalcomment,
                    zlib_filefunc64_def* pzlib_filefunc_def) {
    (void)globalcomment;
    if (append != APPEND_STATUS_CREATE || pzlib_filefunc_def == nullptr) return nullptr;
    auto* w = new (std::nothrow) Writer;
    if (w == nullptr) return nullptr;
    w->io = *pzlib_filefunc_def;
    w->stream = w->io.zopen64_file(w->io.opaque, pathname,
                                   ZLIB_FILEFUNC_MODE_WRITE | ZLIB_FILEFUNC_MODE_CREATE);
    if (w->stream == nullptr) {
        delete w;
        return nullptr;
    }
    return w;
}

int zipOpenNewFileInZip4_64(zipFile file, const char* filename, const zip_fileinfo* zipfi,
                            const void* extrafield_local, uInt size_extrafield_local,
                            const void* extrafield_global, uInt size_extrafield_global,
                            const char* comment, int method, int level, int raw, int windowBits,
                            int memLevel, int strategy, const char* password, uLong crcForCrypting,
                            uLong versionMadeBy, uLong flagBase, int zip64) {
    (void)extrafield_local;
    (void)extrafield_global;
    (void)crcForCrypting;
    if (file == nullptr) return ZIP_PARAMERROR;
    if (size_extrafield_local > 0 || size_extrafield_global > 0 ||
        (comment != nullptr && comment[0] != '\0') || password != nullptr) {
        return ZIP_PARAMERROR;
    }
    if (method != 0 && method != Z_DEFLATED) return ZIP_PARAMERROR;
    auto& w = *static_cast<Writer*>(file);
    if (w.in_entry) {
        const int err = close_entry(w);
        if (err != ZIP_OK) return err;
    }
    Entry e;
    e.name = filename != nullptr ? filename : "-";
    if (e.name.size() > MAX16) return ZIP_PARAMERROR;
    e.method = static_cast<uint16_t>(method);
    e.flag = static_cast<uint16_t>(flagBase);
    if (method == Z_DEFLATED) {
        // The deflate option bits: maximum, fast, super fast.
        if (level == 8 || level == 9) e.flag |= 2;
        if (level == 2) e.flag |= 4;
        if (level == 1) e.flag |= 6;
    }
    if (zipfi != nullptr) {
        e.dos_date = zipfi->dosDate;
        if (e.dos_date == 0) {
            const tm_zip& t = zipfi->tmz_date;
            const uInt year = t.tm_year >= 1980 ? t.tm_year - 1980
                              : t.tm_year >= 80 ? t.tm_year - 80
                                                : t.tm_year;
            e.dos_date =
                static_cast<uint32_t>(((year << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday) << 16 |
                                      (t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2));
        }
        e.internal_fa = static_cast<uint16_t>(zipfi->internal_fa);
        e.external_fa = static_cast<uint32_t>(zipfi->external_fa);
    }
    e.version_needed = zip64 ? 45 : 20;
    e.version_made_by = static_cast<uint16_t>(versionMadeBy);
    if (zip64 && (e.version_made_by & 0xFF) < 45) {
        e.version_made_by = static_cast<uint16_t>((e.version_made_by & 0xFF00) | 45);
    }
    e.local_header_offset = tell(w);

    Bytes h;
    h.u32(LOCAL_HEADER_SIGNATURE);
    h.u16(e.version_needed);
    h.u16(e.flag);
    h.u16(e.method);
    h.u32(e.dos_date);
    h.u32(0);  // CRC, filled in at close
    h.u32(zip64 ? MAX32 : 0);
    h.u32(zip64 ? MAX32 : 0);
    h.u16(e.name.size());
    h.u16(zip64 ? 20 : 0);
    h.text(e.name);
    if (zip64) {
        h.u16(ZIP64_EXTRA_ID);
        h.u16(16);
        h.u64(0);  // original size, filled in at close
        h.u64(0);  // compressed size, filled in at close
    }
    w.entries.push_back(std::move(e));
    w.zip64 = zip64 != 0;
    w.zip64_extra_at = w.entries.back().local_header_offset + 30 + w.entries.back().name.size();
    w.in_entry = true;
    w.raw = raw != 0;
    if (!write_bytes(w, h)) return ZIP_ERRNO;

    w.z = z_stream{};
    w.z.next_out = w.out;
    w.z.avail_out = OUT_BUFFER_BYTES;
    if (method == Z_DEFLATED && !w.raw) {
        if (windowBits > 0) windowBits = -windowBits;
        const int rc = deflateInit2(&w.z, level, Z_DEFLATED, windowBits, memLevel, strategy);
        if (rc != Z_OK) return rc;
        w.deflating = true;
    }
    return ZIP_OK;
}

int zipWriteInFileInZip(zipFile file, const void* buf, unsigned len) {
    if (file == nullptr) return ZIP_PARAMERROR;
    auto& w = *static_cast<Writer*>(file);
    if (!w.in_entry) return ZIP_PARAMERROR;
    Entry& e = w.entries.back();
    if (w.raw) {
        e.compressed += len;
        return write_raw(w, buf, len) ? ZIP_OK : ZIP_ERRNO;
    }
    e.crc = static_cast<uint32_t>(crc32(e.crc, static_cast<const Bytef*>(buf), len));
    e.uncompressed += len;
    if (!w.deflating) {
        e.compressed += len;
        return write_raw(w, buf, len) ? ZIP_OK : ZIP_ERRNO;
    }
    w.z.next_in = static_cast<Bytef*>(const_cast<void*>(buf));
    w.z.avail_in = len;
    while (w.z.avail_in > 0) {
        if (w.z.avail_out == 0 && !flush_out(w)) return ZIP_ERRNO;
        const int rc = deflate(&w.z, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_BUF_ERROR) return rc;
    }
    return ZIP_OK;
}

int zipCloseFileInZipRaw64(zipFile file, ZPOS64_T uncompressed_size, uLong crc32) {
    if (file == nullptr) return ZIP_PARAMERROR;
    auto& w = *static_cast<Writer*>(file);
    if (w.in_entry && w.raw) {
        w.entries.back().uncompressed = uncompressed_size;
        w.entries.back().crc = static_cast<uint32_t>(crc32);
    }
    return close_entry(w);
}

int zipCloseFileInZip(zipFile file) {
    if (file == nullptr) return ZIP_PARAMERROR;
    return close_entry(*static_cast<Writer*>(file));
}

int zipClose(zipFile file, const char* global_comment) {
    if (file == nullptr) return ZIP_PARAMERROR;
    auto* w = static_cast<Writer*>(file);
    int err = ZIP_OK;
    if (w->in_entry) err = close_entry(*w);
    if (w->deflating) deflateEnd(&w->z);

    if (err == ZIP_OK) {
        const uint64_t directory_at = tell(*w);
        Bytes b;
        for (const Entry& e : w->entries) {
            append_central_header(b, e);
            // Keep the memory held for the directory bounded with many entries.
            if (b.data.size() >= (1u << 20)) {
                if (!write_bytes(*w, b)) err = ZIP_ERRNO;
                b.data.clear();
                if (err != ZIP_OK) break;
            }
        }
        const uint64_t count = w->entries.size();
        if (err == ZIP_OK && !write_bytes(*w, b)) err = ZIP_ERRNO;
        if (err == ZIP_OK) {
            const uint64_t end_at = tell(*w);
            const uint64_t directory_size = end_at - directory_at;
            Bytes tail;
            if (count >= MAX16 || directory_size >= MAX32 || directory_at >= MAX32) {
                tail.u32(ZIP64_END_SIGNATURE);
                tail.u64(44);  // size of the rest of this record
                tail.u16(45);
                tail.u16(45);
                tail.u32(0);
                tail.u32(0);
                tail.u64(count);
                tail.u64(count);
                tail.u64(directory_size);
                tail.u64(directory_at);
                tail.u32(ZIP64_LOCATOR_SIGNATURE);
                tail.u32(0);
                tail.u64(end_at);
                tail.u32(1);
            }
            const std::string comment = global_comment != nullptr ? global_comment : "";
            tail.u32(END_SIGNATURE);
            tail.u16(0);
            tail.u16(0);
            tail.u16(count >= MAX16 ? MAX16 : count);
            tail.u16(count >= MAX16 ? MAX16 : count);
            tail.u32(directory_size >= MAX32 ? MAX32 : directory_size);
            tail.u32(directory_at >= MAX32 ? MAX32 : directory_at);
            tail.u16(comment.size() > MAX16 ? MAX16 : comment.size());
            tail.text(comment.substr(0, MAX16));
            if (!write_bytes(*w, tail)) err = ZIP_ERRNO;
        }
    }
    if (w->io.zclose_file(w->io.opaque, w->stream) != 0 && err == ZIP_OK) err = ZIP_ERRNO;
    delete w;
    return err;
}

}  // extern "C"
