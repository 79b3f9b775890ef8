// POSIX implementation of the platform seam: lets everything build and run natively on Linux.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/platform/platform.h"
#include "county/text.h"

namespace dalvento::platform {

namespace {
std::atomic<uint64_t> g_bytes_read{0};

Time from_timespec(const struct timespec& ts) {
    using namespace std::chrono;
    return Time(
        duration_cast<system_clock::duration>(seconds(ts.tv_sec) + nanoseconds(ts.tv_nsec)));
}
}  // namespace

std::string os_error_text(int code) {
    char buffer[256] = {};
    // The GNU variant may return a static text instead of filling the buffer.
    const char* message = strerror_r(code, buffer, sizeof buffer);
    return std::string(message) + " (os error " + std::to_string(code) + ")";
}

OsError last_os_error() {
    const int code = errno;
    return {code, os_error_text(code)};
}

bool is_in_use(const OsError& error) {
    return error.code == 32 || error.code == 33;
}

bool is_not_found(const OsError& error) {
    return error.code == ENOENT || error.code == ENOTDIR;
}

std::string path_text(const std::filesystem::path& path) {
    return utf8_with_replacement(path.native());
}

std::optional<std::string> path_text_strict(const std::filesystem::path& path) {
    if (!is_valid_utf8(path.native())) return std::nullopt;
    return path.native();
}

std::filesystem::path path_from_text(std::string_view text) {
    return std::filesystem::path(std::string(text));
}

// --- InputFile ---

std::expected<InputFile, OsError> InputFile::open(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(last_os_error());
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return std::unexpected(OsError{EISDIR, os_error_text(EISDIR)});
    }
    return InputFile(fd);
}

InputFile::InputFile(InputFile&& other) noexcept : handle_(other.handle_) {
    other.handle_ = -1;
}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
    if (this != &other) {
        if (handle_ >= 0) ::close(static_cast<int>(handle_));
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

InputFile::~InputFile() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

std::expected<size_t, OsError> InputFile::read(void* buffer, size_t size) {
    for (;;) {
        const ssize_t n = ::read(static_cast<int>(handle_), buffer, size);
        if (n >= 0) {
            g_bytes_read += static_cast<uint64_t>(n);
            return static_cast<size_t>(n);
        }
        if (errno != EINTR) return std::unexpected(last_os_error());
    }
}

std::expected<void, OsError> InputFile::read_exact_at(uint64_t offset, void* buffer, size_t size) {
    auto* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(static_cast<int>(handle_), out + done, size - done,
                                  static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(last_os_error());
        }
        if (n == 0) return std::unexpected(OsError{0, "failed to fill whole buffer"});
        g_bytes_read += static_cast<uint64_t>(n);
        done += static_cast<size_t>(n);
    }
    return {};
}

uint64_t bytes_read_total() {
    return g_bytes_read.load();
}

// --- Reading back from the device ---

namespace {

// O_DIRECT wants the buffer, the offset and the length aligned to the device's logical block;
// 4 KiB covers the 512-byte and 4 KiB blocks of every device in use.
constexpr size_t DEVICE_ALIGNMENT = 4096;
constexpr size_t DEVICE_PIECE_BYTES = 1 << 20;

struct AlignedBuffer {
    unsigned char* data =
        static_cast<unsigned char*>(std::aligned_alloc(DEVICE_ALIGNMENT, DEVICE_PIECE_BYTES));
    ~AlignedBuffer() { std::free(data); }
};

struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

enum class PieceResult { more, end, refused };

// Reads the file from the start in aligned pieces. With O_DIRECT a file system may still refuse
// the read itself (EINVAL): that is told apart, so the caller can fall back before any piece
// went to `use`.
std::expected<PieceResult, OsError> read_pieces(
    int fd, unsigned char* buffer, bool direct,
    const std::function<bool(const unsigned char*, size_t)>& use) {
    uint64_t offset = 0;
    for (;;) {
        size_t have = 0;
        // A piece is filled whole before it goes on, so that every read starts aligned.
        while (have < DEVICE_PIECE_BYTES) {
            const ssize_t n = ::pread(fd, buffer + have, DEVICE_PIECE_BYTES - have,
                                      static_cast<off_t>(offset + have));
            if (n < 0) {
                if (errno == EINTR) continue;
                if (direct && errno == EINVAL && offset == 0 && have == 0) {
                    return PieceResult::refused;
                }
                return std::unexpected(last_os_error());
            }
            if (n == 0) break;
            g_bytes_read += static_cast<uint64_t>(n);
            have += static_cast<size_t>(n);
            if (direct && have % DEVICE_ALIGNMENT != 0) break;  // only the file's end is short
        }
        if (have == 0) return PieceResult::end;
        if (auto failed = apply_device_read_hook(offset, buffer, have)) {
            return std::unexpected(*failed);
        }
        if (!use(buffer, have)) return PieceResult::end;
        if (have < DEVICE_PIECE_BYTES) return PieceResult::end;
        offset += have;
    }
}

}  // namespace

std::expected<DeviceRead, OsError> read_from_device(
    const std::filesystem::path& path,
    const std::function<bool(const unsigned char* data, size_t size)>& use) {
    AlignedBuffer buffer;
    if (buffer.data == nullptr) return std::unexpected(OsError{ENOMEM, os_error_text(ENOMEM)});
    {
        // Whatever of it is still only in memory goes to the device first.
        Descriptor flushing{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
        if (flushing.fd < 0) return std::unexpected(last_os_error());
        if (::fsync(flushing.fd) != 0 && errno != EINVAL) return std::unexpected(last_os_error());
    }
    Descriptor direct{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT)};
    if (direct.fd >= 0) {
        auto read = read_pieces(direct.fd, buffer.data, true, use);
        if (!read) return std::unexpected(read.error());
        if (*read != PieceResult::refused) return DeviceRead::uncached;
    } else if (errno != EINVAL) {
        return std::unexpected(last_os_error());
    }

    // No O_DIRECT here (tmpfs, some network and FUSE file systems): the cached pages are
    // dropped, so the reads below go to the device wherever the file system has one.
    Descriptor cached{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (cached.fd < 0) return std::unexpected(last_os_error());
    if (::fsync(cached.fd) != 0 && errno != EINVAL) return std::unexpected(last_os_error());
    (void)::posix_fadvise(cached.fd, 0, 0, POSIX_FADV_DONTNEED);
    auto read = read_pieces(cached.fd, buffer.data, false, use);
    if (!read) return std::unexpected(read.error());
    return DeviceRead::flushed_first;
}

// --- OutputFile ---

std::expected<OutputFile, OsError> OutputFile::create(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return std::unexpected(last_os_error());
    return OutputFile(fd);
}

OutputFile::OutputFile(OutputFile&& other) noexcept : handle_(other.handle_) {
    other.handle_ = -1;
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        if (handle_ >= 0) ::close(static_cast<int>(handle_));
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

OutputFile::~OutputFile() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

std::expected<void, OsError> OutputFile::write_all(const void* data, size_t size) {
    const auto* in = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(static_cast<int>(handle_), in, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(last_os_error());
        }
        in += n;
        size -= static_cast<size_t>(n);
    }
    return {};
}

std::expected<void, OsError> OutputFile::write_at(uint64_t offset, const void* data, size_t size) {
    const auto* in = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(static_cast<int>(handle_), in, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(last_os_error());
        }
        in += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return {};
}

std::expected<void, OsError> OutputFile::close() {
    const int fd = static_cast<int>(handle_);
    handle_ = -1;
    if (::fsync(fd) != 0 && errno != EINVAL) {
        OsError error = last_os_error();
        ::close(fd);
        return std::unexpected(error);
    }
    if (::close(fd) != 0) return std::unexpected(last_os_error());
    return {};
}

// --- Metadata and folders ---

std::expected<FileInfo, OsError> file_info(const std::filesystem::path& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::unexpected(last_os_error());
    FileInfo info;
    info.size = static_cast<uint64_t>(st.st_size);
    info.modified = from_timespec(st.st_mtim);
    info.is_file = S_ISREG(st.st_mode);
    info.is_directory = S_ISDIR(st.st_mode);
    return info;
}

std::expected<std::vector<DirectoryEntry>, OsError> list_directory(
    const std::filesystem::path& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return std::unexpected(last_os_error());
    std::vector<DirectoryEntry> entries;
    errno = 0;
    while (const struct dirent* e = ::readdir(dir)) {
        const std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        DirectoryEntry entry;
        entry.path = folder / std::string(name);
        if (is_valid_utf8(name)) entry.name = std::string(name);
        entries.push_back(std::move(entry));
    }
    const int code = errno;
    ::closedir(dir);
    if (code != 0) return std::unexpected(OsError{code, os_error_text(code)});
    return entries;
}

std::expected<void, OsError> replace_rename(const std::filesystem::path& from,
                                            const std::filesystem::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return std::unexpected(last_os_error());
    return {};
}

std::expected<void, OsError> copy_file_replacing(const std::filesystem::path& from,
                                                 const std::filesystem::path& to) {
    std::error_code ec;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) return std::unexpected(OsError{ec.value(), os_error_text(ec.value())});
    return {};
}

std::expected<void, OsError> remove_file(const std::filesystem::path& path) {
    if (::unlink(path.c_str()) != 0) return std::unexpected(last_os_error());
    return {};
}

std::expected<void, OsError> create_directories(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) return std::unexpected(OsError{ec.value(), os_error_text(ec.value())});
    return {};
}

std::expected<void, OsError> set_modified(const std::filesystem::path& path, Time time) {
    using namespace std::chrono;
    const auto ns = duration_cast<nanoseconds>(time.time_since_epoch()).count();
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    times[1].tv_nsec = static_cast<long>(ns % 1'000'000'000);
    if (times[1].tv_nsec < 0) times[1].tv_sec -= 1, times[1].tv_nsec += 1'000'000'000;
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) return std::unexpected(last_os_error());
    return {};
}

// --- Environment and user ---

std::optional<std::string> get_env(std::string_view name) {
    const char* value = std::getenv(std::string(name).c_str());
    if (!value) return std::nullopt;
    return std::string(value);
}

void set_env(std::string_view name, std::optional<std::string_view> value) {
    if (value) {
        ::setenv(std::string(name).c_str(), std::string(*value).c_str(), 1);
    } else {
        ::unsetenv(std::string(name).c_str());
    }
}

std::optional<std::string> user_display_name() {
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &found) != 0 || !found) {
        return std::nullopt;
    }
    // The full name is the first comma-separated field of the GECOS entry.
    std::string gecos = found->pw_gecos ? found->pw_gecos : "";
    const size_t comma = gecos.find(',');
    if (comma != std::string::npos) gecos.resize(comma);
    if (trim(gecos).empty()) return std::nullopt;
    return gecos;
}

// --- Local time ---

std::optional<LocalDateTime> to_local(Time time) {
    using namespace std::chrono;
    const auto secs = floor<seconds>(time).time_since_epoch().count();
    const time_t t = static_cast<time_t>(secs);
    struct tm tm;
    if (!localtime_r(&t, &tm)) return std::nullopt;
    return LocalDateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                         tm.tm_hour,        tm.tm_min,     tm.tm_sec};
}

std::optional<Time> from_local(const LocalDateTime& local) {
    struct tm tm = {};
    tm.tm_year = local.year - 1900;
    tm.tm_mon = local.month - 1;
    tm.tm_mday = local.day;
    tm.tm_hour = local.hour;
    tm.tm_min = local.minute;
    tm.tm_sec = local.second;
    tm.tm_isdst = -1;
    errno = 0;
    const time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1) && errno != 0) return std::nullopt;
    return std::chrono::system_clock::from_time_t(t);
}

namespace {
// TZ as the process found it, kept by the first set_time_zone so that it can be put back.
std::optional<std::optional<std::string>> g_original_tz;
}  // namespace

void set_time_zone(std::string_view tz) {
    if (!g_original_tz) g_original_tz = get_env("TZ");
    ::setenv("TZ", std::string(tz).c_str(), 1);
    ::tzset();
}

void use_system_time_zone() {
    if (!g_original_tz) return;
    if (*g_original_tz)
        ::setenv("TZ", g_original_tz->value().c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

}  // namespace dalvento::platform
