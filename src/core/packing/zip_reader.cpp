#include "core/packing/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <optional>

#include "core/platform/platform.h"

namespace dalvento {

namespace {

constexpr uint32_t LOCAL_HEADER = 0x04034b50;
constexpr uint32_t CENTRAL_HEADER = 0x02014b50;
constexpr uint32_t END_RECORD = 0x06054b50;
constexpr uint32_t ZIP64_END_RECORD = 0x06064b50;
constexpr uint32_t ZIP64_END_LOCATOR = 0x07064b50;
constexpr size_t END_RECORD_BYTES = 22;
constexpr size_t ZIP64_END_RECORD_BYTES = 56;
constexpr size_t ZIP64_LOCATOR_BYTES = 20;
constexpr size_t CENTRAL_HEADER_BYTES = 46;
constexpr size_t LOCAL_HEADER_BYTES = 30;
constexpr size_t LONGEST_COMMENT = 0xFFFF;
constexpr uint16_t ZIP64_FIELD = 0x0001;
constexpr uint16_t ENCRYPTED = 1 << 0;
constexpr uint16_t SIZES_AFTER_DATA = 1 << 3;
constexpr uint16_t STORED = 0;
constexpr uint16_t DEFLATED = 8;
constexpr size_t PIECE_BYTES = 1 << 20;
constexpr size_t DIRECTORY_PIECE_BYTES = 64 << 10;

uint64_t le(const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

const unsigned char* bytes_of(const std::string& s, size_t at = 0) {
    return reinterpret_cast<const unsigned char*>(s.data()) + at;
}

// The ZIP64 field's values for the 32-bit fields that defer to it, in the order the format
// gives them; false when the field is too short for them.
struct Zip64Wanted {
    uint64_t* size = nullptr;
    uint64_t* packed = nullptr;
    uint64_t* header_at = nullptr;
};
bool take_zip64_field(const std::string& extra, const Zip64Wanted& wanted) {
    for (size_t at = 0; at + 4 <= extra.size();) {
        const auto id = static_cast<uint16_t>(le(bytes_of(extra, at), 2));
        const size_t length = le(bytes_of(extra, at + 2), 2);
        if (at + 4 + length > extra.size()) return false;
        if (id == ZIP64_FIELD) {
            size_t field = at + 4;
            for (uint64_t* value : {wanted.size, wanted.packed, wanted.header_at}) {
                if (value == nullptr) continue;
                if (field + 8 > at + 4 + length) return false;
                *value = le(bytes_of(extra, field), 8);
                field += 8;
            }
            return true;
        }
        at += 4 + length;
    }
    return wanted.size == nullptr && wanted.packed == nullptr && wanted.header_at == nullptr;
}

// The central directory read front to back through one small buffer.
class DirectoryCursor {
  public:
    DirectoryCursor(platform::InputFile& file, uint64_t at, uint64_t end)
        : file_(file), at_(at), end_(end) {}

    uint64_t left() const { return end_ - at_; }

    std::expected<std::string, std::string> take(size_t size) {
        if (size > left()) return std::unexpected(std::string("the zip's directory is cut short"));
        std::string out(size, '\0');
        size_t have = 0;
        while (have < size) {
            if (buffered_ == buffer_.size()) {
                const size_t piece = static_cast<size_t>(
                    std::min<uint64_t>(DIRECTORY_PIECE_BYTES, end_ - (at_ + have)));
                buffer_.assign(piece, '\0');
                buffered_ = 0;
                if (auto read = file_.read_exact_at(at_ + have, buffer_.data(), piece); !read) {
                    return std::unexpected("the zip's directory can't be read: " +
                                           read.error().text);
                }
            }
            const size_t n = std::min(size - have, buffer_.size() - buffered_);
            out.replace(have, n, buffer_, buffered_, n);
            buffered_ += n;
            have += n;
        }
        at_ += size;
        return out;
    }

  private:
    platform::InputFile& file_;
    uint64_t at_;
    uint64_t end_;
    std::string buffer_;
    size_t buffered_ = 0;
};

}  // namespace

struct ZipReader::Impl {
    explicit Impl(platform::InputFile opened) : file(std::move(opened)) {}

    platform::InputFile file;
    uint64_t size = 0;
    uint64_t directory_at = 0;  // members' data lies before it
    std::vector<ZipMember> members;
    std::vector<unsigned char> in = std::vector<unsigned char>(PIECE_BYTES);
    std::vector<unsigned char> out = std::vector<unsigned char>(PIECE_BYTES);

    std::expected<void, std::string> read_at(uint64_t at, void* buffer, size_t bytes) {
        if (at > size || bytes > size - at) {
            return std::unexpected(std::string("it runs past the end of the zip"));
        }
        if (auto read = file.read_exact_at(at, buffer, bytes); !read) {
            return std::unexpected("it can't be read: " + read.error().text);
        }
        return {};
    }

    std::expected<void, std::string> read_directory();
};

std::expected<void, std::string> ZipReader::Impl::read_directory() {
    const std::string cut_short =
        "no zip directory at its end: the file is cut short or is not a zip";
    if (size < END_RECORD_BYTES) return std::unexpected(cut_short);
    const size_t tail_bytes =
        static_cast<size_t>(std::min<uint64_t>(size, END_RECORD_BYTES + LONGEST_COMMENT));
    std::string tail(tail_bytes, '\0');
    if (auto read = file.read_exact_at(size - tail_bytes, tail.data(), tail_bytes); !read) {
        return std::unexpected("it can't be read: " + read.error().text);
    }
    // The end record is the last one whose comment reaches exactly to the end of the file.
    std::optional<size_t> end;
    for (size_t at = tail_bytes - END_RECORD_BYTES + 1; at-- > 0;) {
        if (le(bytes_of(tail, at), 4) != END_RECORD) continue;
        if (at + END_RECORD_BYTES + le(bytes_of(tail, at + 20), 2) == tail_bytes) {
            end = at;
            break;
        }
    }
    if (!end) return std::unexpected(cut_short);
    const uint64_t end_at = size - tail_bytes + *end;
    const unsigned char* record = bytes_of(tail, *end);
    if (le(record + 4, 2) != 0 || le(record + 6, 2) != 0) {
        return std::unexpected(std::string("it is one part of a split zip"));
    }
    uint64_t entries = le(record + 10, 2);
    uint64_t directory_bytes = le(record + 12, 4);
    directory_at = le(record + 16, 4);

    const bool zip64_locator =
        end_at >= ZIP64_LOCATOR_BYTES &&
        (*end >= ZIP64_LOCATOR_BYTES
             ? le(bytes_of(tail, *end - ZIP64_LOCATOR_BYTES), 4) == ZIP64_END_LOCATOR
             : false);
    if (zip64_locator) {
        const uint64_t record_at = le(bytes_of(tail, *end - ZIP64_LOCATOR_BYTES + 8), 8);
        unsigned char zip64[ZIP64_END_RECORD_BYTES];
        if (record_at > end_at || end_at - record_at < ZIP64_END_RECORD_BYTES ||
            !file.read_exact_at(record_at, zip64, sizeof zip64) ||
            le(zip64, 4) != ZIP64_END_RECORD) {
            return std::unexpected(std::string("its ZIP64 end record is missing or damaged"));
        }
        entries = le(zip64 + 32, 8);
        directory_bytes = le(zip64 + 40, 8);
        directory_at = le(zip64 + 48, 8);
    } else if (entries == 0xFFFF || directory_bytes == 0xFFFFFFFF || directory_at == 0xFFFFFFFF) {
        return std::unexpected(std::string("its ZIP64 end record is missing or damaged"));
    }
    if (directory_at > end_at || directory_bytes > end_at - directory_at) {
        return std::unexpected(
            std::string("its directory lies outside the file: the file is cut short or damaged"));
    }

    DirectoryCursor cursor(file, directory_at, directory_at + directory_bytes);
    for (uint64_t i = 0; i < entries; ++i) {
        const std::string damaged = "its directory is damaged at entry " + std::to_string(i + 1);
        auto head = cursor.take(CENTRAL_HEADER_BYTES);
        if (!head) return std::unexpected(damaged + " (" + head.error() + ")");
        const unsigned char* h = bytes_of(*head);
        if (le(h, 4) != CENTRAL_HEADER) return std::unexpected(damaged);
        ZipMember member;
        member.flags = static_cast<uint16_t>(le(h + 8, 2));
        member.method = static_cast<uint16_t>(le(h + 10, 2));
        member.dos_date_time = static_cast<uint32_t>(le(h + 14, 2) << 16 | le(h + 12, 2));
        member.crc = static_cast<uint32_t>(le(h + 16, 4));
        member.packed = le(h + 20, 4);
        member.size = le(h + 24, 4);
        const size_t name_bytes = le(h + 28, 2), extra_bytes = le(h + 30, 2),
                     comment_bytes = le(h + 32, 2);
        member.header_at = le(h + 42, 4);
        auto name = cursor.take(name_bytes);
        auto extra = name ? cursor.take(extra_bytes) : name;
        auto comment = extra ? cursor.take(comment_bytes) : extra;
        if (!comment) return std::unexpected(damaged + " (" + comment.error() + ")");
        member.name = std::move(*name);
        Zip64Wanted wanted;
        if (member.size == 0xFFFFFFFF) wanted.size = &member.size;
        if (member.packed == 0xFFFFFFFF) wanted.packed = &member.packed;
        if (member.header_at == 0xFFFFFFFF) wanted.header_at = &member.header_at;
        if (!take_zip64_field(*extra, wanted)) {
            return std::unexpected(damaged + " (" + member.name + ": its ZIP64 field is short)");
        }
        if (member.header_at >= directory_at) {
            return std::unexpected(damaged + " (" + member.name + " starts past the members)");
        }
        members.push_back(std::move(member));
    }
    if (cursor.left() != 0) {
        return std::unexpected(std::string("its directory holds more than its end record counts"));
    }
    std::stable_sort(members.begin(), members.end(), [](const ZipMember& a, const ZipMember& b) {
        return a.header_at < b.header_at;
    });
    return {};
}

ZipReader::ZipReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ZipReader::ZipReader(ZipReader&&) noexcept = default;
ZipReader& ZipReader::operator=(ZipReader&&) noexcept = default;
ZipReader::~ZipReader() = default;

std::expected<ZipReader, std::string> ZipReader::open(const std::filesystem::path& path) {
    const auto info = platform::file_info(path);
    if (!info) return std::unexpected(info.error().text);
    if (!info->is_file) return std::unexpected(std::string("it is not a file"));
    auto file = platform::InputFile::open(path);
    if (!file) return std::unexpected(file.error().text);
    auto impl = std::make_unique<Impl>(std::move(*file));
    impl->size = info->size;
    if (auto read = impl->read_directory(); !read) return std::unexpected(read.error());
    return ZipReader(std::move(impl));
}

const std::vector<ZipMember>& ZipReader::members() const {
    return impl_->members;
}

uint64_t ZipReader::bytes() const {
    return impl_->size;
}

std::expected<void, std::string> ZipReader::read_member(
    const ZipMember& member, const std::function<void(const unsigned char*, size_t)>& use) {
    Impl& zip = *impl_;
    unsigned char head[LOCAL_HEADER_BYTES];
    if (auto read = zip.read_at(member.header_at, head, sizeof head); !read) return read;
    if (le(head, 4) != LOCAL_HEADER) {
        return std::unexpected(std::string("its header in the zip is missing or damaged"));
    }
    const size_t name_bytes = le(head + 26, 2), extra_bytes = le(head + 28, 2);
    std::string name_and_extra(name_bytes + extra_bytes, '\0');
    if (auto read = zip.read_at(member.header_at + LOCAL_HEADER_BYTES, name_and_extra.data(),
                                name_and_extra.size());
        !read) {
        return read;
    }
    if (name_and_extra.compare(0, name_bytes, member.name) != 0) {
        return std::unexpected("its header in the zip names " +
                               name_and_extra.substr(0, name_bytes));
    }
    if (member.flags & ENCRYPTED) return std::unexpected(std::string("it is encrypted"));
    if (!(member.flags & SIZES_AFTER_DATA)) {
        uint64_t packed = le(head + 18, 4), size = le(head + 22, 4);
        Zip64Wanted wanted;
        if (size == 0xFFFFFFFF) wanted.size = &size;
        if (packed == 0xFFFFFFFF) wanted.packed = &packed;
        if (!take_zip64_field(name_and_extra.substr(name_bytes), wanted) || size != member.size ||
            packed != member.packed) {
            return std::unexpected(
                std::string("its header in the zip gives other sizes than the zip's directory"));
        }
    }
    const uint64_t data_at = member.header_at + LOCAL_HEADER_BYTES + name_and_extra.size();
    if (data_at > zip.directory_at || member.packed > zip.directory_at - data_at) {
        return std::unexpected(std::string("its data runs past the end of the members"));
    }
    if (member.method != STORED && member.method != DEFLATED) {
        return std::unexpected("it is compressed with method " + std::to_string(member.method) +
                               ", which this reader doesn't know");
    }

    uLong crc = crc32(0, nullptr, 0);
    uint64_t size = 0;
    auto give = [&](const unsigned char* data, size_t bytes) {
        crc = crc32_z(crc, data, bytes);
        size += bytes;
        use(data, bytes);
    };
    z_stream z{};
    const bool deflated = member.method == DEFLATED;
    if (deflated && inflateInit2(&z, -MAX_WBITS) != Z_OK) {
        return std::unexpected(std::string("the inflater could not be started"));
    }
    struct InflateEnd {
        z_stream* z;
        ~InflateEnd() {
            if (z) inflateEnd(z);
        }
    } ending{deflated ? &z : nullptr};

    bool stream_ended = !deflated;
    uint64_t offset = 0;
    while (offset < member.packed) {
        const size_t piece =
            static_cast<size_t>(std::min<uint64_t>(PIECE_BYTES, member.packed - offset));
        if (auto read = zip.read_at(data_at + offset, zip.in.data(), piece); !read) return read;
        offset += piece;
        if (!deflated) {
            give(zip.in.data(), piece);
            continue;
        }
        if (stream_ended) {
            return std::unexpected(std::string("it holds more data than it inflates to"));
        }
        z.next_in = zip.in.data();
        z.avail_in = static_cast<uInt>(piece);
        while (z.avail_in > 0 && !stream_ended) {
            z.next_out = zip.out.data();
            z.avail_out = static_cast<uInt>(zip.out.size());
            const int rc = inflate(&z, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
                return std::unexpected(std::string("its data doesn't inflate (") +
                                       (z.msg ? z.msg : "damaged") + ")");
            }
            give(zip.out.data(), zip.out.size() - z.avail_out);
            stream_ended = rc == Z_STREAM_END;
            if (size > member.size) break;
        }
        if (size > member.size) break;
        if (stream_ended && z.avail_in > 0) {
            return std::unexpected(std::string("it holds more data than it inflates to"));
        }
    }
    // The end of a deflate stream may still be inside the inflater's window.
    while (deflated && !stream_ended && size <= member.size) {
        z.next_out = zip.out.data();
        z.avail_out = static_cast<uInt>(zip.out.size());
        const int rc = inflate(&z, Z_NO_FLUSH);
        const size_t got = zip.out.size() - z.avail_out;
        give(zip.out.data(), got);
        stream_ended = rc == Z_STREAM_END;
        if (got == 0 && !stream_ended) break;
    }
    if (!stream_ended) return std::unexpected(std::string("its data ends early"));
    if (size != member.size) {
        return std::unexpected("it inflates to " + std::to_string(size) + " bytes, not the " +
                               std::to_string(member.size) + " the zip's directory gives");
    }
    if (static_cast<uint32_t>(crc) != member.crc) {
        return std::unexpected(std::string("its CRC-32 doesn't match its data"));
    }
    return {};
}

}  // namespace dalvento
