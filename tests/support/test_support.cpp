#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>

#include "core/platform/platform.h"
#include "core/tracking/state_file.h"

namespace dalvento::testing {

namespace {
std::string unique_name() {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    return "dalvento-test-" + std::to_string(rd()) + "-" + std::to_string(now % 1000000) + "-" +
           std::to_string(counter++);
}
}  // namespace

TempDir::TempDir() : path_(std::filesystem::temp_directory_path() / unique_name()) {
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempDir::operator/(std::string_view name) const {
    return path_ / platform::path_from_text(name);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value)
    : name_(std::move(name)), old_(platform::get_env(name_)) {
    platform::set_env(name_, value ? std::optional<std::string_view>(*value) : std::nullopt);
}

ScopedEnv::~ScopedEnv() {
    platform::set_env(name_, old_ ? std::optional<std::string_view>(*old_) : std::nullopt);
}

IsolatedEnvironment::IsolatedEnvironment()
    : appdata_("APPDATA", platform::path_text(dir_ / "appdata")),
      home_("HOME", platform::path_text(dir_ / "home")),
      localappdata_("LOCALAPPDATA", platform::path_text(dir_ / "localappdata")),
      temp_("TEMP", platform::path_text(dir_ / "temp")) {
    // The system's temporary folder follows TEMP, so it must exist.
    std::filesystem::create_directories(dir_ / "temp");
    platform::set_time_zone("EST5");
}

IsolatedEnvironment::~IsolatedEnvironment() = default;

void write_file(const std::filesystem::path& path, std::string_view content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    ASSERT_TRUE(out.good()) << "could not write " << platform::path_text(path);
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

Time local_time(int year, int month, int day, int hour, int minute, int second) {
    const auto t = platform::from_local({year, month, day, hour, minute, second});
    EXPECT_TRUE(t.has_value());
    return t.value_or(Time{});
}

void set_modified(const std::filesystem::path& path, Time time) {
    const auto done = platform::set_modified(path, time);
    ASSERT_TRUE(done.has_value()) << done.error().text;
}

State saved_state() {
    auto loaded = StateFile().load(std::chrono::milliseconds(0));
    if (!loaded) {
        ADD_FAILURE() << loaded.error();
        return {};
    }
    return std::move(*loaded);
}

std::string text(const std::filesystem::path& path) {
    return platform::path_text(path);
}

DeliveryUnit unit_of_files(std::string key, UnitKind kind, bool core, std::vector<UnitFile> files) {
    DeliveryUnit u;
    u.key = std::move(key);
    u.kind = kind;
    u.core = core;
    u.files = std::move(files);
    uint64_t total = 0;
    for (const UnitFile& f : u.files)
        total += f.bytes;
    u.total_bytes = total;
    u.selected = true;
    return u;
}

std::string empty_layer_member(std::string_view extension) {
    if (extension == "dbf") {
        std::string dbf(33, '\0');
        dbf[0] = 0x03;
        dbf[8] = 33;  // header length, little-endian
        dbf[10] = 1;  // record length: the deletion flag alone
        dbf[32] = 0x0D;
        return dbf;
    }
    std::string header(100, '\0');
    header[2] = 0x27, header[3] = 0x0A;      // file code 9994, big-endian
    header[27] = 50;                         // length in 16-bit words, big-endian
    header[28] = '\xE8', header[29] = 0x03;  // version 1000, little-endian
    header[32] = 5;                          // polygons
    return header;
}

}  // namespace dalvento::testing
