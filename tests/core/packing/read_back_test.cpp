#include "core/packing/read_back.h"

#include <gtest/gtest.h>

#include "core/platform/platform.h"
#include "core/platform/sha256.h"
#include "support/test_support.h"

namespace dalvento {
namespace {

using testing::TempDir;

TEST(ReadBack, ComparesWhatTheDeviceGivesWithWhatWasWritten) {
    TempDir dir;
    const std::string written(3 << 20, 'z');
    testing::write_file(dir / "a.zip", written);
    const std::string sha = sha256_hex(written);

    uint64_t last_read = 0, last_total = 0;
    ReadBackOptions options;
    options.progress = [&](uint64_t read, uint64_t total) { last_read = read, last_total = total; };
    EXPECT_TRUE(read_back_zip(dir / "a.zip", sha, written.size(), options).has_value());
    EXPECT_EQ(last_read, written.size());
    EXPECT_EQ(last_total, written.size());

    // Fewer bytes than were written: the stick lost the end.
    const auto shorter = read_back_zip(dir / "a.zip", sha, written.size() + 10);
    ASSERT_FALSE(shorter.has_value());
    EXPECT_EQ(shorter.error().reason, "it reads back as 3,145,728 bytes, 3,145,738 were written");

    struct Case {
        const char* what;
        platform::DeviceReadHook hook;
        std::optional<std::string> reason;
    };
    const std::string io_error = platform::os_error_text(5);
    const Case cases[] = {
        {"a wrapped write: other bytes at the start",
         [](uint64_t offset, unsigned char* data, size_t) {
             if (offset == 0) data[100] = 'y';
             return std::optional<platform::OsError>();
         },
         std::nullopt},
        {"a read error half-way",
         [](uint64_t offset, unsigned char*, size_t) {
             if (offset > 0)
                 return std::optional<platform::OsError>({5, platform::os_error_text(5)});
             return std::optional<platform::OsError>();
         },
         io_error},
    };
    for (const Case& c : cases) {
        platform::set_device_read_hook(c.hook);
        const auto back = read_back_zip(dir / "a.zip", sha, written.size());
        platform::set_device_read_hook({});
        ASSERT_FALSE(back.has_value()) << c.what;
        EXPECT_EQ(back.error().reason, c.reason) << c.what;
        EXPECT_FALSE(back.error().stopped) << c.what;
    }

    std::atomic<bool> stop = true;
    options.stop = &stop;
    const auto stopped = read_back_zip(dir / "a.zip", sha, written.size(), options);
    ASSERT_FALSE(stopped.has_value());
    EXPECT_TRUE(stopped.error().stopped);
}

}  // namespace
}  // namespace dalvento
