// The operating-system calls the core needs, with one implementation for Windows (the product)
// and one for POSIX systems. Nothing above this seam includes a system header.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dalvento::platform {

using Time = std::chrono::system_clock::time_point;

// A failed system call: the system's error number and its text as people read it.
struct OsError {
    int code = 0;
    std::string text;  // "{message} (os error {code})"
};

// "{message} (os error {code})" for a system error number.
std::string os_error_text(int code);

// The calling thread's last system error (errno, or GetLastError on Windows).
OsError last_os_error();

// True when the error says another program holds the file (Windows errors 32 and 33).
bool is_in_use(const OsError& error);

// True when the error says the file or a folder on its path does not exist.
bool is_not_found(const OsError& error);

// A path as UTF-8 text, invalid sequences replaced. The one way paths become text.
std::string path_text(const std::filesystem::path& path);

// A path as UTF-8 text; absent when it is not valid text (no replacement).
std::optional<std::string> path_text_strict(const std::filesystem::path& path);

// A path from UTF-8 text.
std::filesystem::path path_from_text(std::string_view text);

// A file opened for reading, sharing read, write and delete with other programs.
class InputFile {
  public:
    static std::expected<InputFile, OsError> open(const std::filesystem::path& path);
    InputFile(InputFile&& other) noexcept;
    InputFile& operator=(InputFile&& other) noexcept;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    // Reads up to size bytes; 0 means the end of the file. Interrupted reads are retried.
    std::expected<size_t, OsError> read(void* buffer, size_t size);
    // Reads exactly size bytes from the given offset; a short file is an error.
    std::expected<void, OsError> read_exact_at(uint64_t offset, void* buffer, size_t size);

  private:
    explicit InputFile(intptr_t handle) : handle_(handle) {}
    intptr_t handle_ = -1;
};

// A file created (or truncated) for writing.
class OutputFile {
  public:
    static std::expected<OutputFile, OsError> create(const std::filesystem::path& path);
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    std::expected<void, OsError> write_all(const void* data, size_t size);
    // Overwrites bytes already written, counted from the start of the file; write_all goes on
    // at the end as before.
    std::expected<void, OsError> write_at(uint64_t offset, const void* data, size_t size);
    // Flushes to disk and closes; the destructor closes without reporting.
    std::expected<void, OsError> close();

  private:
    explicit OutputFile(intptr_t handle) : handle_(handle) {}
    intptr_t handle_ = -1;
};

// How a read-back reached the device.
enum class DeviceRead : uint8_t {
    uncached,      // the system's file cache was bypassed (no buffering, O_DIRECT)
    flushed_first  // the file system refused that: a plain read after a flush, and on POSIX
                   // after its cached pages were dropped
};

// Reads a whole file back from its device rather than from the system's file cache, to learn
// what the device really holds: Windows flushes it, then reads it without buffering in sector-
// aligned pieces; POSIX reads it with O_DIRECT, or where the file system refuses that, fsyncs
// it and drops its cached pages first. Each piece goes to `use` in order; `use` giving false
// ends the read early.
std::expected<DeviceRead, OsError> read_from_device(
    const std::filesystem::path& path,
    const std::function<bool(const unsigned char* data, size_t size)>& use);

// For tests: sits between the device and read_from_device, and may change the bytes of a piece
// read at `offset` or fail the read with an error. Empty removes it.
using DeviceReadHook =
    std::function<std::optional<OsError>(uint64_t offset, unsigned char* data, size_t size)>;
void set_device_read_hook(DeviceReadHook hook);

// Runs the hook, if any, over a piece read_from_device has just read.
std::optional<OsError> apply_device_read_hook(uint64_t offset, unsigned char* data, size_t size);

// Bytes read through InputFile since the process started (for measuring what a scan reads).
uint64_t bytes_read_total();

struct FileInfo {
    uint64_t size = 0;
    std::optional<Time> modified;  // last-write time
    bool is_file = false;
    bool is_directory = false;
};

// Size, last-write time and kind of a path, following links.
std::expected<FileInfo, OsError> file_info(const std::filesystem::path& path);

struct DirectoryEntry {
    std::filesystem::path path;
    std::optional<std::string> name;  // absent when the name is not valid text
};

// The entries of a folder, one level, in the order the file system lists them.
std::expected<std::vector<DirectoryEntry>, OsError> list_directory(
    const std::filesystem::path& folder);

// Renames from over to, replacing a file already there.
std::expected<void, OsError> replace_rename(const std::filesystem::path& from,
                                            const std::filesystem::path& to);

// Copies a file over another, replacing it.
std::expected<void, OsError> copy_file_replacing(const std::filesystem::path& from,
                                                 const std::filesystem::path& to);

std::expected<void, OsError> remove_file(const std::filesystem::path& path);

// Creates the folder and any missing ancestors; an existing folder is fine.
std::expected<void, OsError> create_directories(const std::filesystem::path& path);

// Sets a file's last-write time.
std::expected<void, OsError> set_modified(const std::filesystem::path& path, Time time);

// An environment variable as UTF-8; absent when unset.
std::optional<std::string> get_env(std::string_view name);

// Sets (or, with no value, removes) an environment variable. Used by tests and tools.
void set_env(std::string_view name, std::optional<std::string_view> value);

// The signed-in user's full display name as the system knows it; absent when it has none.
std::optional<std::string> user_display_name();

struct LocalDateTime {
    int year = 1970;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// The time in the computer's time zone; absent when the system cannot convert it.
std::optional<LocalDateTime> to_local(Time time);

// The instant a local date and time names; absent when the system cannot convert it.
std::optional<Time> from_local(const LocalDateTime& local);

// Pins the process's time zone (a TZ text such as "EST5"); tests pin it with this. On Windows only
// fixed offsets are understood ("EST5", "UTC0", "IST-5:30"); any other text leaves the system
// zone in force.
void set_time_zone(std::string_view tz);

// Undoes set_time_zone: local times follow the computer's own time zone again.
void use_system_time_zone();

}  // namespace dalvento::platform
