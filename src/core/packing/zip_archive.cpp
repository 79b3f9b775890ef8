#include "core/packing/zip_archive.h"

#include <minizip/zip.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/platform/platform.h"

namespace dalvento {

namespace {

// Version made by: host NTFS (11), so that readers take the UTF-8 names as they are, and
// zip format version 4.5, the first with ZIP64.
constexpr uLong VERSION_MADE_BY = (11 << 8) | 45;
constexpr uLong LANGUAGE_ENCODING_FLAG = 1 << 11;
constexpr int DEFLATE_LEVEL = 6;
// Headers are written a field at a time; gathering them keeps the system calls few.
constexpr size_t SINK_BUFFER_BYTES = 1 << 20;

// The zip's file as minizip sees it: a buffered, seekable stream over platform::OutputFile.
// Seeking back only ever patches bytes already written (the sizes in a local header).
struct Sink {
    explicit Sink(platform::OutputFile opened) : file(std::move(opened)) {}

    platform::OutputFile file;
    std::vector<char> buffer;  // bytes after `flushed`, not yet handed to the file
    uint64_t flushed = 0;
    uint64_t position = 0;
    std::optional<platform::OsError> error;
    bool abandoned = false;

    uint64_t entries = 0;  // told before the zip is closed

    uint64_t end() const { return flushed + buffer.size(); }

    // Overwrites bytes already written, wherever they are now, and comes back to where it was.
    bool patch(uint64_t at, const std::string& bytes) {
        const uint64_t back = position;
        position = at;
        const bool wrote = write(bytes.data(), bytes.size());
        position = back;
        return wrote;
    }

    uint64_t field(size_t at, int bytes) const {
        uint64_t v = 0;
        for (int i = bytes - 1; i >= 0; --i) {
            v = v << 8 | static_cast<unsigned char>(buffer[at + static_cast<size_t>(i)]);
        }
        return v;
    }

    // Debian's minizip writes 0xFFFF as the entry count of a zip with 65,535 entries or more but
    // no ZIP64 end record to give the real count, and readers then stop at entry 65,536. The
    // end record is the last thing written, still in the buffer: the missing records go in
    // front of it.
    void add_missing_zip64_end() {
        constexpr size_t END = 22, LOCATOR = 20;
        if (entries < 0xFFFF || buffer.size() < END + LOCATOR) return;
        const size_t end_at = buffer.size() - END;
        if (field(end_at, 4) != 0x06054b50 || field(end_at + 10, 2) != 0xFFFF) return;
        if (field(end_at - LOCATOR, 4) == 0x07064b50) return;
        const uint64_t directory_size = field(end_at + 12, 4);
        const uint64_t directory_at = field(end_at + 16, 4);
        const uint64_t record_at = flushed + end_at;
        std::string added;
        auto put = [&](uint64_t v, int bytes) {
            for (int i = 0; i < bytes; ++i)
                added.push_back(static_cast<char>(v >> (8 * i)));
        };
        put(0x06064b50, 4);
        put(44, 8);
        put(45, 2);
        put(45, 2);
        put(0, 4);
        put(0, 4);
        put(entries, 8);
        put(entries, 8);
        put(directory_size, 8);
        put(directory_at, 8);
        put(0x07064b50, 4);
        put(0, 4);
        put(record_at, 8);
        put(1, 4);
        buffer.insert(buffer.begin() + static_cast<std::ptrdiff_t>(end_at), added.begin(),
                      added.end());
    }

    bool flush() {
        if (buffer.empty()) return true;
        if (auto wrote = file.write_all(buffer.data(), buffer.size()); !wrote) {
            error = wrote.error();
            return false;
        }
        flushed += buffer.size();
        buffer.clear();
        return true;
    }

    bool write(const char* data, size_t size) {
        if (error || abandoned) return false;
        if (position == end()) {
            if (buffer.size() + size > SINK_BUFFER_BYTES && !flush()) return false;
            if (size >= SINK_BUFFER_BYTES) {
                if (auto wrote = file.write_all(data, size); !wrote) {
                    error = wrote.error();
                    return false;
                }
                flushed += size;
            } else {
                buffer.insert(buffer.end(), data, data + size);
            }
        } else if (position >= flushed && position + size <= end()) {
            std::memcpy(buffer.data() + (position - flushed), data, size);
        } else {
            if (position + size > flushed && !flush()) return false;
            if (position + size > end()) {
                error = platform::OsError{0, "internal error: write past the end of the zip"};
                return false;
            }
            if (auto wrote = file.write_at(position, data, size); !wrote) {
                error = wrote.error();
                return false;
            }
        }
        position += size;
        return true;
    }
};

voidpf ZCALLBACK sink_open(voidpf opaque, const void*, int) {
    return opaque;
}

uLong ZCALLBACK sink_read(voidpf, voidpf, void*, uLong) {
    return 0;
}

uLong ZCALLBACK sink_write(voidpf opaque, voidpf, const void* buf, uLong size) {
    auto& sink = *static_cast<Sink*>(opaque);
    return sink.write(static_cast<const char*>(buf), size) ? size : 0;
}

ZPOS64_T ZCALLBACK sink_tell(voidpf opaque, voidpf) {
    return static_cast<Sink*>(opaque)->position;
}

long ZCALLBACK sink_seek(voidpf opaque, voidpf, ZPOS64_T offset, int origin) {
    auto& sink = *static_cast<Sink*>(opaque);
    uint64_t target = offset;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR) target = sink.position + offset;
    if (origin == ZLIB_FILEFUNC_SEEK_END) target = sink.end() + offset;
    if (target > sink.end()) return -1;
    sink.position = target;
    return 0;
}

int ZCALLBACK sink_close(voidpf opaque, voidpf) {
    auto& sink = *static_cast<Sink*>(opaque);
    if (sink.abandoned || sink.error) return -1;
    sink.add_missing_zip64_end();
    if (!sink.flush()) return -1;
    if (auto closed = sink.file.close(); !closed) {
        sink.error = closed.error();
        return -1;
    }
    return 0;
}

int ZCALLBACK sink_error(voidpf opaque, voidpf) {
    return static_cast<Sink*>(opaque)->error ? 1 : 0;
}

}  // namespace

struct ZipArchive::Impl {
    Impl(std::filesystem::path zip_path, platform::OutputFile file)
        : path(std::move(zip_path)), sink(std::move(file)) {}

    std::filesystem::path path;
    Sink sink;
    zipFile zip = nullptr;
    uint64_t entries = 0;

    // The entry being written.
    bool in_entry = false;
    bool raw = false;
    uint64_t header_at = 0;
    uint64_t data_at = 0;
    uint64_t written = 0;  // bytes given to write() for a deflated entry

    std::string unended() const {
        return platform::path_text(path) + ": internal error: a raw entry was not ended";
    }

    // Ends the entry and puts both sizes in its local header: 0xFFFFFFFF in the 32-bit fields
    // and the real sizes in the ZIP64 field, the header's last 16 bytes. Minizip fills in only
    // the 32-bit fields of an entry under 4 GiB and leaves zeros in the ZIP64 field, which
    // readers such as 7-Zip take as a damaged header.
    std::expected<void, std::string> end_entry(uint64_t size, uint32_t crc) {
        if (!in_entry) return {};
        in_entry = false;
        const int rc = raw ? zipCloseFileInZipRaw64(zip, size, crc) : zipCloseFileInZip(zip);
        if (rc != ZIP_OK || sink.error) return std::unexpected(failure(rc));
        if (!raw) size = written;
        const uint64_t packed = sink.position - data_at;
        std::string sizes;
        auto put = [&](uint64_t v, int bytes) {
            for (int i = 0; i < bytes; ++i)
                sizes.push_back(static_cast<char>(v >> (8 * i)));
        };
        put(0xFFFFFFFF, 4);
        put(0xFFFFFFFF, 4);
        if (!sink.patch(header_at + 18, sizes)) return std::unexpected(failure(ZIP_ERRNO));
        sizes.clear();
        put(size, 8);
        put(packed, 8);
        if (!sink.patch(data_at - 16, sizes)) return std::unexpected(failure(ZIP_ERRNO));
        return {};
    }

    // The text for a failed zip call: the file error behind it when there was one.
    std::string failure(int code) const {
        if (sink.error) return platform::path_text(path) + ": " + sink.error->text;
        return platform::path_text(path) + ": the zip could not be written (zip error " +
               std::to_string(code) + ")";
    }
};

ZipArchive::ZipArchive(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ZipArchive::ZipArchive(ZipArchive&&) noexcept = default;
ZipArchive& ZipArchive::operator=(ZipArchive&&) noexcept = default;

ZipArchive::~ZipArchive() {
    if (impl_) abandon();
}

std::expected<ZipArchive, std::string> ZipArchive::create(const std::filesystem::path& path) {
    auto file = platform::OutputFile::create(path);
    if (!file) return std::unexpected(platform::path_text(path) + ": " + file.error().text);
    auto impl = std::make_unique<Impl>(path, std::move(*file));
    impl->sink.buffer.reserve(SINK_BUFFER_BYTES);

    zlib_filefunc64_def functions{};
    functions.zopen64_file = sink_open;
    functions.zread_file = sink_read;
    functions.zwrite_file = sink_write;
    functions.ztell64_file = sink_tell;
    functions.zseek64_file = sink_seek;
    functions.zclose_file = sink_close;
    functions.zerror_file = sink_error;
    functions.opaque = &impl->sink;
    const std::string name = platform::path_text(path);
    impl->zip = zipOpen2_64(name.c_str(), APPEND_STATUS_CREATE, nullptr, &functions);
    if (impl->zip == nullptr) return std::unexpected(impl->failure(ZIP_INTERNALERROR));
    return ZipArchive(std::move(impl));
}

std::expected<void, std::string> ZipArchive::begin_entry(std::string_view name,
                                                         uint32_t dos_date_time, bool raw) {
    if (impl_->in_entry && impl_->raw) return std::unexpected(impl_->unended());
    if (auto ended = impl_->end_entry(0, 0); !ended) return ended;
    zip_fileinfo info{};
    info.dosDate = dos_date_time;
    const std::string entry_name(name);
    impl_->header_at = impl_->sink.position;
    const int rc = zipOpenNewFileInZip4_64(
        impl_->zip, entry_name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
        DEFLATE_LEVEL, raw ? 1 : 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
        VERSION_MADE_BY, LANGUAGE_ENCODING_FLAG, 1);
    if (rc != ZIP_OK) return std::unexpected(impl_->failure(rc));
    ++impl_->entries;
    impl_->in_entry = true;
    impl_->raw = raw;
    impl_->data_at = impl_->sink.position;
    impl_->written = 0;
    return {};
}

std::expected<void, std::string> ZipArchive::end_raw_entry(uint64_t size, uint32_t crc) {
    if (!impl_->in_entry || !impl_->raw) {
        return std::unexpected(platform::path_text(impl_->path) +
                               ": internal error: no raw entry to end");
    }
    return impl_->end_entry(size, crc);
}

std::expected<void, std::string> ZipArchive::write(const void* data, size_t size) {
    if (!impl_->raw) impl_->written += size;
    const auto* in = static_cast<const char*>(data);
    while (size > 0) {
        const unsigned piece = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
        const int rc = zipWriteInFileInZip(impl_->zip, in, piece);
        if (rc != ZIP_OK) return std::unexpected(impl_->failure(rc));
        in += piece;
        size -= piece;
    }
    return {};
}

std::expected<void, std::string> ZipArchive::finish() {
    if (impl_->in_entry && impl_->raw) {
        std::string error = impl_->unended();
        abandon();
        return std::unexpected(std::move(error));
    }
    if (auto ended = impl_->end_entry(0, 0); !ended) {
        abandon();
        return ended;
    }
    impl_->sink.entries = impl_->entries;
    const int rc = zipClose(impl_->zip, nullptr);
    impl_->zip = nullptr;
    std::expected<void, std::string> result;
    if (rc != ZIP_OK || impl_->sink.error) result = std::unexpected(impl_->failure(rc));
    impl_.reset();
    return result;
}

void ZipArchive::abandon() {
    if (!impl_) return;
    impl_->sink.abandoned = true;
    if (impl_->zip != nullptr) zipClose(impl_->zip, nullptr);
    impl_.reset();  // closes the file
}

}  // namespace dalvento
