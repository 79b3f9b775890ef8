#include "core/platform/platform.h"

#include <gtest/gtest.h>

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

#include "core/platform/time_text.h"
#include "core/sources/export_date.h"
#include "support/test_support.h"

namespace dalvento::platform {
namespace {

using dalvento::testing::TempDir;
using dalvento::testing::write_file;

TEST(Platform, OsErrorTextEndsWithTheCode) {
    const auto missing = InputFile::open(TempDir() / "nothing-here.txt");
    ASSERT_FALSE(missing.has_value());
    const OsError& e = missing.error();
    EXPECT_EQ(e.code, 2);  // ENOENT and ERROR_FILE_NOT_FOUND share the number
    EXPECT_TRUE(e.text.ends_with(" (os error 2)")) << e.text;
    EXPECT_GT(e.text.size(), std::string(" (os error 2)").size());
    EXPECT_FALSE(is_in_use(e));
}

TEST(Platform, NonAsciiPathsRoundTripThroughText) {
    TempDir dir;
    const std::string name =
        "Gr\xC3\xBC\xC3\x9F"
        "e-\xE2\x82\xAC.txt";  // Grüße-€.txt
    const auto path = dir.path() / path_from_text(name);
    write_file(path, "hello");
    EXPECT_TRUE(path_text(path).ends_with(name));
    const auto listed = list_directory(dir.path());
    ASSERT_TRUE(listed.has_value());
    ASSERT_EQ(listed->size(), 1u);
    ASSERT_TRUE((*listed)[0].name.has_value());
    EXPECT_EQ(*(*listed)[0].name, name);
    const auto info = file_info(path);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->size, 5u);
    EXPECT_TRUE(info->is_file);
    EXPECT_FALSE(info->is_directory);
}

TEST(Platform, ReadWriteRenameAndRemove) {
    TempDir dir;
    {
        auto out = OutputFile::create(dir / "a.tmp");
        ASSERT_TRUE(out.has_value());
        ASSERT_TRUE(out->write_all("new text", 8).has_value());
        ASSERT_TRUE(out->close().has_value());
    }
    write_file(dir / "a.txt", "old");
    ASSERT_TRUE(replace_rename(dir / "a.tmp", dir / "a.txt").has_value());
    EXPECT_EQ(dalvento::testing::read_file(dir / "a.txt"), "new text");
    EXPECT_FALSE(std::filesystem::exists(dir / "a.tmp"));

    {
        auto in = InputFile::open(dir / "a.txt");
        ASSERT_TRUE(in.has_value());
        char buffer[4];
        ASSERT_TRUE(in->read_exact_at(4, buffer, 4).has_value());
        EXPECT_EQ(std::string(buffer, 4), "text");
        const auto short_read = in->read_exact_at(6, buffer, 4);
        ASSERT_FALSE(short_read.has_value());
        EXPECT_EQ(short_read.error().text, "failed to fill whole buffer");
    }

    ASSERT_TRUE(remove_file(dir / "a.txt").has_value());
    EXPECT_FALSE(remove_file(dir / "a.txt").has_value());
    ASSERT_TRUE(platform::create_directories(dir / "x" / "y" / "z").has_value());
    ASSERT_TRUE(platform::create_directories(dir / "x" / "y" / "z").has_value());
    EXPECT_TRUE(file_info(dir / "x" / "y")->is_directory);
    EXPECT_FALSE(InputFile::open(dir / "x").has_value());
}

Time utc(int y, unsigned m, unsigned d, int hour, int minute = 0) {
    using namespace std::chrono;
    return sys_days(year{y} / m / d) + hours(hour) + minutes(minute);
}

struct LocalCase {
    Time utc;
    LocalDateTime local;
};

void expect_local_times(const std::vector<LocalCase>& cases) {
    for (const auto& c : cases) {
        const auto local = to_local(c.utc);
        ASSERT_TRUE(local.has_value()) << c.local.year;
        EXPECT_EQ(std::tie(local->year, local->month, local->day, local->hour, local->minute),
                  std::tie(c.local.year, c.local.month, c.local.day, c.local.hour, c.local.minute))
            << c.local.year << "-" << c.local.month << "-" << c.local.day << " " << local->hour
            << ":" << local->minute;
        EXPECT_EQ(from_local(c.local), c.utc) << c.local.year;
    }
}

// Before 1970 and after 2038 as well: the Windows C runtime refused the first.
TEST(Platform, LocalTimeFollowsThePinnedZone) {
    set_time_zone("EST5");
    expect_local_times({{utc(2024, 1, 15, 12), {2024, 1, 15, 7, 0, 0}},
                        {utc(1968, 7, 1, 3), {1968, 6, 30, 22, 0, 0}},
                        {utc(2040, 2, 29, 12), {2040, 2, 29, 7, 0, 0}}});
    set_time_zone("IST-5:30");
    expect_local_times({{utc(2024, 1, 15, 20), {2024, 1, 16, 1, 30, 0}}});
    set_time_zone("EST5");
}

// The computer's own zone with its rules for each year. Runs as a test entry of its own with
// the system zone set to US Central: daylight time began on April 2 in 2006, on March 11 in
// 2007, and was kept in 1968 from April to October.
TEST(SystemZone, UsCentralWithTheRulesOfEachYear) {
    if (!get_env("DALVENTO_SYSTEM_ZONE_IS_US_CENTRAL")) GTEST_SKIP() << "needs the US Central zone";
    use_system_time_zone();
#ifdef _WIN32
    DYNAMIC_TIME_ZONE_INFORMATION zone;
    ASSERT_NE(GetDynamicTimeZoneInformation(&zone), TIME_ZONE_ID_INVALID);
    ASSERT_EQ(std::wstring(zone.TimeZoneKeyName), L"Central Standard Time");
#endif
    expect_local_times({{utc(2006, 3, 20, 12), {2006, 3, 20, 6, 0, 0}},
                        {utc(2006, 4, 3, 12), {2006, 4, 3, 7, 0, 0}},
                        {utc(2007, 3, 20, 12), {2007, 3, 20, 7, 0, 0}},
                        {utc(1968, 1, 15, 12), {1968, 1, 15, 6, 0, 0}},
                        {utc(1968, 7, 1, 3), {1968, 6, 30, 22, 0, 0}},
                        {utc(2040, 7, 1, 12), {2040, 7, 1, 7, 0, 0}}});

    // A table last written in 1968 settles the export date; the day is the local one.
    TempDir dir;
    write_file(dir / "tblRESales.txt", "a^b\r\n");
    ASSERT_TRUE(set_modified(dir / "tblRESales.txt", utc(1968, 7, 1, 3)).has_value());
    DeliveryUnit table;
    table.key = "tblRESales.txt";
    table.kind = UnitKind::table;
    table.core = table.selected = true;
    table.total_bytes = 5;
    table.newest_modified = file_info(dir / "tblRESales.txt")->modified;
    const auto date = settle_export_date({table});
    ASSERT_TRUE(date.has_value());
    EXPECT_EQ(date->date, std::chrono::year_month_day(std::chrono::year(1968) / 6 / 30));
    EXPECT_EQ(format_local(utc(2006, 3, 20, 12), "%Y-%m-%d %H:%M"), "2006-03-20 06:00");
}

TEST(Platform, ModifiedTimeCanBeSetAndRead) {
    TempDir dir;
    write_file(dir / "f", "x");
    const Time when =
        std::chrono::sys_days(std::chrono::year{2023} / 6 / 1) + std::chrono::milliseconds(1500);
    ASSERT_TRUE(set_modified(dir / "f", when).has_value());
    EXPECT_EQ(file_info(dir / "f")->modified, when);
}

TEST(Platform, EnvironmentSetAndUnset) {
    set_env("DALVENTO_TEST_VAR", "caf\xC3\xA9");
    EXPECT_EQ(get_env("DALVENTO_TEST_VAR"), "caf\xC3\xA9");
    set_env("DALVENTO_TEST_VAR", std::nullopt);
    EXPECT_EQ(get_env("DALVENTO_TEST_VAR"), std::nullopt);
}

#ifdef _WIN32
TEST(Platform, FileHeldExclusivelyIsInUse) {
    TempDir dir;
    write_file(dir / "OWNER.dbf", "data");
    const HANDLE held = CreateFileW((dir / "OWNER.dbf").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto opened = InputFile::open(dir / "OWNER.dbf");
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error().code, 32);
    EXPECT_TRUE(is_in_use(opened.error()));
    EXPECT_TRUE(file_info(dir / "OWNER.dbf").has_value());
    CloseHandle(held);
    EXPECT_TRUE(InputFile::open(dir / "OWNER.dbf").has_value());
}

TEST(Platform, OurOpenLetsOthersWriteAndDelete) {
    TempDir dir;
    write_file(dir / "t.txt", "data");
    auto ours = InputFile::open(dir / "t.txt");
    ASSERT_TRUE(ours.has_value());
    const HANDLE writer = CreateFileW((dir / "t.txt").c_str(), GENERIC_WRITE | DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(writer, INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
}
#endif

}  // namespace
}  // namespace dalvento::platform

namespace dalvento::platform {
namespace {

// The real read-back path on a real file: sizes on both sides of the 1 MiB piece and the 4 KiB
// alignment, each read back byte for byte, and the seam that stands in for a device giving back
// other bytes or failing.
TEST(DeviceRead, ReadsBackWhatWasWrittenAndTheSeamStandsInForTheDevice) {
    TempDir dir;
    for (const size_t size : {size_t{0}, size_t{1}, size_t{4096}, size_t{(1 << 20) + 4097}}) {
        std::string written(size, '\0');
        for (size_t i = 0; i < size; ++i)
            written[i] = static_cast<char>(i * 7 + i / 4096);
        const auto path = dir / ("file-" + std::to_string(size));
        write_file(path, written);
        std::string back;
        const auto read = read_from_device(path, [&](const unsigned char* data, size_t n) {
            back.append(reinterpret_cast<const char*>(data), n);
            return true;
        });
        ASSERT_TRUE(read.has_value()) << read.error().text;
        EXPECT_EQ(back, written) << size;
        std::printf("%zu bytes read back %s\n", size,
                    *read == DeviceRead::uncached ? "bypassing the cache" : "after a flush");
    }

    const auto path = dir / ("file-" + std::to_string((1 << 20) + 4097));
    set_device_read_hook([](uint64_t offset, unsigned char* data, size_t size) {
        if (offset == 1 << 20 && size > 0) data[0] ^= 1;
        return std::optional<OsError>();
    });
    std::string changed;
    ASSERT_TRUE(read_from_device(path, [&](const unsigned char* data, size_t n) {
                    changed.append(reinterpret_cast<const char*>(data), n);
                    return true;
                }).has_value());
    EXPECT_NE(changed, testing::read_file(path));
    EXPECT_EQ(changed.size(), testing::read_file(path).size());

    set_device_read_hook([](uint64_t, unsigned char*, size_t) {
        return std::optional<OsError>(OsError{5, os_error_text(5)});
    });
    const auto failed = read_from_device(path, [](const unsigned char*, size_t) { return true; });
    set_device_read_hook({});
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().code, 5);

    EXPECT_FALSE(read_from_device(dir / "missing", [](const unsigned char*, size_t) {
                     return true;
                 }).has_value());
}

}  // namespace
}  // namespace dalvento::platform
