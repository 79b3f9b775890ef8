// Windows implementation of the platform seam: the product's own.
#include <windows.h>
#define SECURITY_WIN32
#include <security.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>

#include "core/platform/platform.h"
#include "core/platform/wide_text.h"
#include "county/text.h"

namespace dalvento::platform {

namespace {
std::atomic<uint64_t> g_bytes_read{0};

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t FILETIME_UNIX_OFFSET = 116444736000000000LL;

Time from_filetime(const FILETIME& ft) {
    const int64_t ticks =
        (static_cast<int64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) - FILETIME_UNIX_OFFSET;
    using hundred_ns = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;
    return Time(std::chrono::duration_cast<Time::duration>(hundred_ns(ticks)));
}

FILETIME to_filetime(Time time) {
    using hundred_ns = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;
    const int64_t ticks = std::chrono::duration_cast<hundred_ns>(time.time_since_epoch()).count() +
                          FILETIME_UNIX_OFFSET;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFF);
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
    return ft;
}

HANDLE as_handle(intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

}  // namespace

namespace {

// UTF-16 to UTF-8; strict fails on unpaired surrogates, otherwise they become U+FFFD.
std::optional<std::string> narrow_text(std::wstring_view wide, bool strict) {
    if (wide.empty()) return std::string();
    const DWORD flags = strict ? WC_ERR_INVALID_CHARS : 0;
    const int n = WideCharToMultiByte(CP_UTF8, flags, wide.data(), static_cast<int>(wide.size()),
                                      nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::nullopt;
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, flags, wide.data(), static_cast<int>(wide.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

}  // namespace

std::wstring widen(std::string_view text) {
    if (text.empty()) return std::wstring();
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string narrow(std::wstring_view wide) {
    return narrow_text(wide, false).value_or("");
}

std::string os_error_text(int code) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string message;
    if (n > 0 && buffer) message = trim(narrow(std::wstring_view(buffer, n)));
    if (buffer) LocalFree(buffer);
    if (message.empty()) message = "Windows error " + std::to_string(code);
    return message + " (os error " + std::to_string(code) + ")";
}

OsError last_os_error() {
    const int code = static_cast<int>(GetLastError());
    return {code, os_error_text(code)};
}

bool is_in_use(const OsError& error) {
    return error.code == ERROR_SHARING_VIOLATION || error.code == ERROR_LOCK_VIOLATION;
}

bool is_not_found(const OsError& error) {
    return error.code == ERROR_FILE_NOT_FOUND || error.code == ERROR_PATH_NOT_FOUND;
}

std::string path_text(const std::filesystem::path& path) {
    return narrow(path.native());
}

std::optional<std::string> path_text_strict(const std::filesystem::path& path) {
    return narrow_text(path.native(), true);
}

std::filesystem::path path_from_text(std::string_view text) {
    return std::filesystem::path(widen(text));
}

// --- InputFile ---

std::expected<InputFile, OsError> InputFile::open(const std::filesystem::path& path) {
    const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::unexpected(last_os_error());
    return InputFile(reinterpret_cast<intptr_t>(h));
}

InputFile::InputFile(InputFile&& other) noexcept : handle_(other.handle_) {
    other.handle_ = -1;
}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
    if (this != &other) {
        if (handle_ != -1) CloseHandle(as_handle(handle_));
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

InputFile::~InputFile() {
    if (handle_ != -1) CloseHandle(as_handle(handle_));
}

std::expected<size_t, OsError> InputFile::read(void* buffer, size_t size) {
    DWORD got = 0;
    const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    if (!ReadFile(as_handle(handle_), buffer, want, &got, nullptr)) {
        return std::unexpected(last_os_error());
    }
    g_bytes_read += got;
    return static_cast<size_t>(got);
}

std::expected<void, OsError> InputFile::read_exact_at(uint64_t offset, void* buffer, size_t size) {
    auto* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < size) {
        OVERLAPPED at = {};
        const uint64_t position = offset + done;
        at.Offset = static_cast<DWORD>(position & 0xFFFFFFFF);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        const size_t left = size - done;
        const DWORD want = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
        DWORD got = 0;
        if (!ReadFile(as_handle(handle_), out + done, want, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) {
                return std::unexpected(OsError{0, "failed to fill whole buffer"});
            }
            return std::unexpected(last_os_error());
        }
        if (got == 0) return std::unexpected(OsError{0, "failed to fill whole buffer"});
        g_bytes_read += got;
        done += got;
    }
    return {};
}

uint64_t bytes_read_total() {
    return g_bytes_read.load();
}

// --- Reading back from the device ---

namespace {

// Unbuffered reads must start at, and cover, whole sectors; pieces of 1 MiB are whole sectors
// of every device, and VirtualAlloc's memory is aligned far enough for any of them.
constexpr DWORD DEVICE_PIECE_BYTES = 1 << 20;

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

struct PageBuffer {
    unsigned char* data = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, DEVICE_PIECE_BYTES, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ~PageBuffer() {
        if (data) VirtualFree(data, 0, MEM_RELEASE);
    }
};

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::expected<void, OsError> read_pieces(
    HANDLE h, unsigned char* buffer, const std::function<bool(const unsigned char*, size_t)>& use) {
    uint64_t offset = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(h, buffer, DEVICE_PIECE_BYTES, &got, nullptr)) {
            if (GetLastError() == ERROR_HANDLE_EOF) return {};
            return std::unexpected(last_os_error());
        }
        if (got == 0) return {};
        g_bytes_read += got;
        if (auto failed = apply_device_read_hook(offset, buffer, got)) {
            return std::unexpected(*failed);
        }
        if (!use(buffer, got) || got < DEVICE_PIECE_BYTES) return {};
        offset += got;
    }
}

}  // namespace

std::expected<DeviceRead, OsError> read_from_device(
    const std::filesystem::path& path,
    const std::function<bool(const unsigned char* data, size_t size)>& use) {
    PageBuffer buffer;
    if (!buffer.data) return std::unexpected(last_os_error());
    {
        // Whatever of it is still only in the cache goes to the device first. A file that cannot
        // be opened for writing (a write-protected stick) has nothing waiting to be written.
        Handle flushing{CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, SHARE_ALL, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
        if (flushing.h != INVALID_HANDLE_VALUE && !FlushFileBuffers(flushing.h)) {
            return std::unexpected(last_os_error());
        }
    }
    Handle direct{CreateFileW(path.c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                              FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN, nullptr)};
    if (direct.h != INVALID_HANDLE_VALUE) {
        if (auto read = read_pieces(direct.h, buffer.data, use); !read) {
            return std::unexpected(read.error());
        }
        return DeviceRead::uncached;
    }
    if (GetLastError() != ERROR_INVALID_PARAMETER && GetLastError() != ERROR_NOT_SUPPORTED) {
        return std::unexpected(last_os_error());
    }
    // A redirector that refuses unbuffered access: a plain read after the flush above.
    Handle cached{CreateFileW(path.c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr)};
    if (cached.h == INVALID_HANDLE_VALUE) return std::unexpected(last_os_error());
    if (auto read = read_pieces(cached.h, buffer.data, use); !read) {
        return std::unexpected(read.error());
    }
    return DeviceRead::flushed_first;
}

// --- OutputFile ---

std::expected<OutputFile, OsError> OutputFile::create(const std::filesystem::path& path) {
    const HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::unexpected(last_os_error());
    return OutputFile(reinterpret_cast<intptr_t>(h));
}

OutputFile::OutputFile(OutputFile&& other) noexcept : handle_(other.handle_) {
    other.handle_ = -1;
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
    if (this != &other) {
        if (handle_ != -1) CloseHandle(as_handle(handle_));
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

OutputFile::~OutputFile() {
    if (handle_ != -1) CloseHandle(as_handle(handle_));
}

std::expected<void, OsError> OutputFile::write_all(const void* data, size_t size) {
    const auto* in = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD wrote = 0;
        if (!WriteFile(as_handle(handle_), in, want, &wrote, nullptr)) {
            return std::unexpected(last_os_error());
        }
        in += wrote;
        size -= wrote;
    }
    return {};
}

std::expected<void, OsError> OutputFile::write_at(uint64_t offset, const void* data, size_t size) {
    const HANDLE h = as_handle(handle_);
    // A positioned write on a synchronous handle moves the file pointer, so it is put back after.
    LARGE_INTEGER end = {};
    if (!SetFilePointerEx(h, LARGE_INTEGER{}, &end, FILE_CURRENT)) {
        return std::unexpected(last_os_error());
    }
    const auto* in = static_cast<const char*>(data);
    std::expected<void, OsError> result;
    while (size > 0) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD wrote = 0;
        if (!WriteFile(h, in, want, &wrote, &at)) {
            result = std::unexpected(last_os_error());
            break;
        }
        in += wrote;
        offset += wrote;
        size -= wrote;
    }
    if (!SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && result) {
        result = std::unexpected(last_os_error());
    }
    return result;
}

std::expected<void, OsError> OutputFile::close() {
    const HANDLE h = as_handle(handle_);
    handle_ = -1;
    if (!FlushFileBuffers(h)) {
        OsError error = last_os_error();
        CloseHandle(h);
        return std::unexpected(error);
    }
    if (!CloseHandle(h)) return std::unexpected(last_os_error());
    return {};
}

// --- Metadata and folders ---

std::expected<FileInfo, OsError> file_info(const std::filesystem::path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return std::unexpected(last_os_error());
    }
    FileInfo info;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A link: ask the target. Attribute access only, so a file held exclusively still answers.
        const HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return std::unexpected(last_os_error());
        BY_HANDLE_FILE_INFORMATION by;
        const BOOL ok = GetFileInformationByHandle(h, &by);
        const OsError error = ok ? OsError{} : last_os_error();
        CloseHandle(h);
        if (!ok) return std::unexpected(error);
        data.dwFileAttributes = by.dwFileAttributes;
        data.ftLastWriteTime = by.ftLastWriteTime;
        data.nFileSizeHigh = by.nFileSizeHigh;
        data.nFileSizeLow = by.nFileSizeLow;
    }
    info.is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info.is_file = !info.is_directory && !(data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE);
    info.size = static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    info.modified = from_filetime(data.ftLastWriteTime);
    return info;
}

std::expected<std::vector<DirectoryEntry>, OsError> list_directory(
    const std::filesystem::path& folder) {
    WIN32_FIND_DATAW found;
    const std::wstring pattern = (folder / L"*").native();
    const HANDLE h = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                      FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) return std::vector<DirectoryEntry>{};
        return std::unexpected(
            OsError{static_cast<int>(code), os_error_text(static_cast<int>(code))});
    }
    std::vector<DirectoryEntry> entries;
    do {
        const std::wstring_view name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        DirectoryEntry entry;
        entry.path = folder / std::wstring(name);
        entry.name = narrow_text(name, true);
        entries.push_back(std::move(entry));
    } while (FindNextFileW(h, &found));
    const DWORD code = GetLastError();
    FindClose(h);
    if (code != ERROR_NO_MORE_FILES) {
        return std::unexpected(
            OsError{static_cast<int>(code), os_error_text(static_cast<int>(code))});
    }
    return entries;
}

std::expected<void, OsError> replace_rename(const std::filesystem::path& from,
                                            const std::filesystem::path& to) {
    if (!MoveFileExW(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return std::unexpected(last_os_error());
    }
    return {};
}

std::expected<void, OsError> copy_file_replacing(const std::filesystem::path& from,
                                                 const std::filesystem::path& to) {
    if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) return std::unexpected(last_os_error());
    return {};
}

std::expected<void, OsError> remove_file(const std::filesystem::path& path) {
    if (!DeleteFileW(path.c_str())) return std::unexpected(last_os_error());
    return {};
}

std::expected<void, OsError> create_directories(const std::filesystem::path& path) {
    if (path.empty()) return {};
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return {};
    const std::filesystem::path parent = path.parent_path();
    if (!parent.empty() && parent != path) {
        if (auto made = platform::create_directories(parent); !made) return made;
    }
    if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return std::unexpected(last_os_error());
    }
    return {};
}

std::expected<void, OsError> set_modified(const std::filesystem::path& path, Time time) {
    const HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::unexpected(last_os_error());
    const FILETIME ft = to_filetime(time);
    const BOOL ok = SetFileTime(h, nullptr, nullptr, &ft);
    const OsError error = ok ? OsError{} : last_os_error();
    CloseHandle(h);
    if (!ok) return std::unexpected(error);
    return {};
}

// --- Environment and user ---

std::optional<std::string> get_env(std::string_view name) {
    const std::wstring wide_name = widen(name);
    const DWORD n = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
    if (n == 0) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
        return std::string();
    }
    std::wstring value(n, L'\0');
    const DWORD got = GetEnvironmentVariableW(wide_name.c_str(), value.data(), n);
    value.resize(got);
    return narrow(value);
}

void set_env(std::string_view name, std::optional<std::string_view> value) {
    const std::wstring wide_name = widen(name);
    if (value) {
        SetEnvironmentVariableW(wide_name.c_str(), widen(*value).c_str());
        _wputenv_s(wide_name.c_str(), widen(*value).c_str());
    } else {
        SetEnvironmentVariableW(wide_name.c_str(), nullptr);
        _wputenv_s(wide_name.c_str(), L"");
    }
}

std::optional<std::string> user_display_name() {
    ULONG size = 0;
    GetUserNameExW(NameDisplay, nullptr, &size);
    if (size == 0) return std::nullopt;
    std::wstring name(size, L'\0');
    if (!GetUserNameExW(NameDisplay, name.data(), &size)) return std::nullopt;
    name.resize(size);
    return narrow(name);
}

// --- Local time ---

// Conversions use the system time zone with its rules for each year (the C runtime would apply
// this year's daylight rule to every year and refuses times before 1970). A zone pinned by
// set_time_zone, for tests, takes its place.
namespace {

std::mutex g_pinned_zone_mutex;
std::optional<TIME_ZONE_INFORMATION> g_pinned_zone;

std::optional<TIME_ZONE_INFORMATION> pinned_zone() {
    std::lock_guard lock(g_pinned_zone_mutex);
    return g_pinned_zone;
}

// A fixed-offset zone from a TZ text such as "EST5", "UTC0" or "IST-5:30"; none for any other.
std::optional<TIME_ZONE_INFORMATION> fixed_zone(std::string_view tz) {
    size_t i = 0;
    while (i < tz.size() && ((tz[i] >= 'A' && tz[i] <= 'Z') || (tz[i] >= 'a' && tz[i] <= 'z')))
        ++i;
    if (i < 3 || i == tz.size()) return std::nullopt;
    int sign = 1;
    if (tz[i] == '+' || tz[i] == '-') sign = tz[i++] == '-' ? -1 : 1;
    int fields[2] = {0, 0};
    for (int field = 0; field < 2 && i < tz.size(); ++field) {
        if (field == 1 && tz[i++] != ':') return std::nullopt;
        const size_t digits_start = i;
        while (i < tz.size() && tz[i] >= '0' && tz[i] <= '9' && i - digits_start < 2)
            fields[field] = fields[field] * 10 + (tz[i++] - '0');
        if (i == digits_start) return std::nullopt;
    }
    if (i != tz.size()) return std::nullopt;
    TIME_ZONE_INFORMATION zone = {};
    // Both count minutes west of Greenwich: UTC = local time + bias.
    zone.Bias = sign * (fields[0] * 60 + fields[1]);
    return zone;
}

// The rules in force in a given year: the pinned zone, or the system zone's rules for that year
// (GetTimeZoneInformationForYear rather than the ...Ex conversions, which Wine lacks). Looking
// up a year's rules reads the registry, so they are kept until the system zone changes.
struct YearRules {
    DYNAMIC_TIME_ZONE_INFORMATION zone = {};
    std::map<WORD, TIME_ZONE_INFORMATION> years;
};
std::mutex g_year_rules_mutex;
YearRules g_year_rules;

std::optional<TIME_ZONE_INFORMATION> zone_for_year(WORD year) {
    if (auto pinned = pinned_zone()) return pinned;
    DYNAMIC_TIME_ZONE_INFORMATION dynamic;
    if (GetDynamicTimeZoneInformation(&dynamic) == TIME_ZONE_ID_INVALID) return std::nullopt;
    std::lock_guard lock(g_year_rules_mutex);
    if (std::memcmp(&dynamic, &g_year_rules.zone, sizeof dynamic) != 0) {
        g_year_rules.zone = dynamic;
        g_year_rules.years.clear();
    }
    if (const auto known = g_year_rules.years.find(year); known != g_year_rules.years.end())
        return known->second;
    TIME_ZONE_INFORMATION zone;
    if (!GetTimeZoneInformationForYear(year, &dynamic, &zone)) return std::nullopt;
    g_year_rules.years.emplace(year, zone);
    return zone;
}

std::optional<SYSTEMTIME> system_time(const FILETIME& ft) {
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&ft, &st)) return std::nullopt;
    return st;
}

}  // namespace

std::optional<LocalDateTime> to_local(Time time) {
    const auto utc = system_time(to_filetime(std::chrono::floor<std::chrono::seconds>(time)));
    if (!utc) return std::nullopt;
    const auto zone = zone_for_year(utc->wYear);
    SYSTEMTIME local;
    if (!zone || !SystemTimeToTzSpecificLocalTime(&*zone, &*utc, &local)) return std::nullopt;
    return LocalDateTime{local.wYear, local.wMonth,  local.wDay,
                         local.wHour, local.wMinute, local.wSecond};
}

std::optional<Time> from_local(const LocalDateTime& local) {
    const auto in_range = [](int v, int low, int high) { return v >= low && v <= high; };
    if (!in_range(local.year, 1601, 30827) || !in_range(local.month, 1, 12) ||
        !in_range(local.day, 1, 31) || !in_range(local.hour, 0, 23) ||
        !in_range(local.minute, 0, 59) || !in_range(local.second, 0, 59)) {
        return std::nullopt;
    }
    SYSTEMTIME wall = {};
    wall.wYear = static_cast<WORD>(local.year);
    wall.wMonth = static_cast<WORD>(local.month);
    wall.wDay = static_cast<WORD>(local.day);
    wall.wHour = static_cast<WORD>(local.hour);
    wall.wMinute = static_cast<WORD>(local.minute);
    wall.wSecond = static_cast<WORD>(local.second);
    const auto zone = zone_for_year(wall.wYear);
    SYSTEMTIME utc;
    if (!zone || !TzSpecificLocalTimeToSystemTime(&*zone, &wall, &utc)) return std::nullopt;
    FILETIME ft;
    if (!SystemTimeToFileTime(&utc, &ft)) return std::nullopt;
    // Time counts nanoseconds in 64 bits: about the years 1678 to 2262.
    const int64_t ticks = static_cast<int64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
    constexpr int64_t reach = std::numeric_limits<int64_t>::max() / 100;
    if (ticks - FILETIME_UNIX_OFFSET > reach || ticks - FILETIME_UNIX_OFFSET < -reach)
        return std::nullopt;
    return from_filetime(ft);
}

void set_time_zone(std::string_view tz) {
    const auto zone = fixed_zone(tz);
    std::lock_guard lock(g_pinned_zone_mutex);
    g_pinned_zone = zone;
}

void use_system_time_zone() {
    std::lock_guard lock(g_pinned_zone_mutex);
    g_pinned_zone.reset();
}

}  // namespace dalvento::platform
