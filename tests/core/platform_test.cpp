#include "core/platform/platform.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

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

TEST(Platform, LocalTimeFollowsThePinnedZone) {
    set_time_zone("EST5");
    const Time noon_utc =
        std::chrono::sys_days(std::chrono::year{2024} / 1 / 15) + std::chrono::hours(12);
    const auto local = to_local(noon_utc);
    ASSERT_TRUE(local.has_value());
    EXPECT_EQ(local->year, 2024);
    EXPECT_EQ(local->day, 15);
    EXPECT_EQ(local->hour, 7);
    const auto back = from_local(*local);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, noon_utc);
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
