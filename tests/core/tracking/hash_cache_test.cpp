#include "core/tracking/hash_cache.h"

#include <gtest/gtest.h>

#include <chrono>

#include "core/platform/platform.h"
#include "core/platform/sha256.h"
#include "core/platform/time_text.h"
#include "support/test_support.h"

namespace dalvento {
namespace {

using namespace std::chrono;
using testing::IsolatedEnvironment;
using testing::TempDir;
using testing::write_file;

const std::string EMPTY_SHA256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

Time at(int64_t ns) {
    return Time(duration_cast<Time::duration>(nanoseconds(ns)));
}

TEST(HashCache, ModifiedMsRoundsDownAndStopsAt1970) {
    EXPECT_EQ(modified_ms(at(0)), 0);
    EXPECT_EQ(modified_ms(at(1'999'999)), 1);
    EXPECT_EQ(modified_ms(at(1'700'000'000'123'900'000)), 1'700'000'000'123);
    EXPECT_EQ(modified_ms(at(-1)), 0);
    EXPECT_EQ(modified_ms(at(-86'400'000'000'000)), 0);
}

TEST(HashCache, HashFileDigestsAndErrors) {
    TempDir dir;
    write_file(dir / "empty", "");
    write_file(dir / "abc", "abc");
    const auto empty = hash_file(dir / "empty");
    ASSERT_TRUE(empty.has_value()) << empty.error();
    EXPECT_EQ(empty->bytes, 0u);
    EXPECT_EQ(empty->sha256, EMPTY_SHA256);
    const auto abc = hash_file(dir / "abc");
    ASSERT_TRUE(abc.has_value());
    EXPECT_EQ(abc->bytes, 3u);
    EXPECT_EQ(abc->sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    // Several MB, not a multiple of the 8 KiB piece.
    const size_t size = 3 * 1024 * 1024 + 4321;
    std::string big(size, '\0');
    for (size_t i = 0; i < size; ++i)
        big[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
    write_file(dir / "big.bin", big);
    const auto hashed = hash_file(dir / "big.bin");
    ASSERT_TRUE(hashed.has_value());
    EXPECT_EQ(hashed->bytes, size);
    // Computed independently with Python:
    //   hashlib.sha256(bytes(((i*131 + i//7) & 0xFF) for i in range(3*1024*1024+4321)))
    EXPECT_EQ(hashed->sha256, "47eb391497222f2fe77494ef1a81e9e79768a54a6fad4414e26ffcb7e324a4bf");

    const auto missing = hash_file(dir / "missing");
    ASSERT_FALSE(missing.has_value());
    EXPECT_TRUE(missing.error().ends_with(" (os error 2)")) << missing.error();
}

TEST(HashCache, FileFingerprintUsesTheCacheOnlyWhileSizeAndTimeHold) {
    TempDir dir;
    State state;
    const auto path = dir / "tblRESales.txt";
    write_file(path, "first^version\n");
    const Time when = sys_days(year{2024} / 3 / 5) + hours(9) + milliseconds(250);
    testing::set_modified(path, when);
    const int64_t when_ms = modified_ms(when);

    const auto first = file_fingerprint(state, path, 14, when);
    ASSERT_TRUE(first.has_value()) << first.error();
    EXPECT_EQ(*first, sha256_hex("first^version\n"));
    const std::string key = platform::path_text(path);
    ASSERT_EQ(state.hash_cache.size(), 1u);
    EXPECT_EQ(state.hash_cache.at(key), (CachedHash{14, when_ms, *first}));

    // Same size, same time, different content: the cache is trusted and nothing is read.
    write_file(path, "other^version\n");
    testing::set_modified(path, when);
    const uint64_t read_before = platform::bytes_read_total();
    EXPECT_EQ(file_fingerprint(state, path, 14, when), *first);
    EXPECT_EQ(platform::bytes_read_total(), read_before);
    // Not even opened: the answer comes back for a file that is gone.
    std::filesystem::remove(path);
    EXPECT_EQ(file_fingerprint(state, path, 14, when), *first);
    write_file(path, "other^version\n");

    // A new time (touched) or a new size is hashed again and replaces the entry.
    const Time later = when + seconds(1);
    const auto touched = file_fingerprint(state, path, 14, later);
    ASSERT_TRUE(touched.has_value());
    EXPECT_EQ(*touched, sha256_hex("other^version\n"));
    EXPECT_EQ(state.hash_cache.at(key), (CachedHash{14, modified_ms(later), *touched}));
    write_file(path, "other^version, longer\n");
    const auto longer = file_fingerprint(state, path, 22, later);
    ASSERT_TRUE(longer.has_value());
    EXPECT_EQ(*longer, sha256_hex("other^version, longer\n"));
    EXPECT_EQ(state.hash_cache.at(key).size, 22u);

    // A failed read leaves the cache exactly as it was and gives the OS text.
    std::filesystem::remove(path);
    const State before = state;
    const auto failed = file_fingerprint(state, path, 99, later);
    ASSERT_FALSE(failed.has_value());
    EXPECT_TRUE(failed.error().ends_with(" (os error 2)")) << failed.error();
    EXPECT_EQ(state, before);

    // Times before 1970 are stored as 0.
    write_file(dir / "old.txt", "x");
    const Time before_1970 = sys_days(year{1965} / 1 / 1);
    ASSERT_TRUE(file_fingerprint(state, dir / "old.txt", 1, before_1970).has_value());
    EXPECT_EQ(state.hash_cache.at(platform::path_text(dir / "old.txt")).modified_ms, 0);
}

UnitFile member(std::string name, std::optional<std::string> sha256) {
    return UnitFile{std::move(name), {}, std::move(sha256), 1, std::nullopt};
}

TEST(HashCache, UnitFingerprintForms) {
    const std::string a = sha256_hex("a"), b = sha256_hex("b"), c = sha256_hex("c"),
                      d = sha256_hex("d");

    DeliveryUnit layer;
    layer.kind = UnitKind::layer;
    layer.files = {member("a.shp", a), member("a.dbf", b), member("a.shx", c), member("a.prj", d)};
    // Sorted by the whole line, i.e. by the member's fingerprint first.
    std::vector<std::string> lines = {a + "  a.shp\n", b + "  a.dbf\n", c + "  a.shx\n",
                                      d + "  a.prj\n"};
    std::sort(lines.begin(), lines.end());
    const std::string expected_layer = sha256_hex(lines[0] + lines[1] + lines[2] + lines[3]);
    EXPECT_EQ(unit_fingerprint(layer), expected_layer);
    std::reverse(layer.files.begin(), layer.files.end());
    EXPECT_EQ(unit_fingerprint(layer), expected_layer);
    // Members without a fingerprint (empty files) take no part.
    layer.files.push_back(member("a.sbn", std::nullopt));
    EXPECT_EQ(unit_fingerprint(layer), expected_layer);

    DeliveryUnit table;
    table.kind = UnitKind::table;
    table.files = {member("tblRESales.txt", a)};
    EXPECT_EQ(unit_fingerprint(table), a);
    DeliveryUnit other = table;
    other.kind = UnitKind::file;
    EXPECT_EQ(unit_fingerprint(other), sha256_hex(a + "  tblRESales.txt\n"));
    DeliveryUnit single_layer = table;
    single_layer.kind = UnitKind::layer;
    EXPECT_EQ(unit_fingerprint(single_layer), sha256_hex(a + "  tblRESales.txt\n"));
    table.files.push_back(member("second.txt", b));
    // SHA-256 of "b" (3e23...) sorts before that of "a" (ca97...).
    EXPECT_EQ(unit_fingerprint(table), sha256_hex(b + "  second.txt\n" + a + "  tblRESales.txt\n"));

    DeliveryUnit empty;
    empty.kind = UnitKind::layer;
    EXPECT_EQ(unit_fingerprint(empty), std::nullopt);
    empty.files = {member("a.shp", std::nullopt), member("a.dbf", std::nullopt)};
    EXPECT_EQ(unit_fingerprint(empty), std::nullopt);
}

TEST(HashCache, UnchangedOnlyForAnEqualRecordUnderTheExactKey) {
    DeliveryUnit unit;
    unit.key = "tblRESales.txt";
    unit.kind = UnitKind::table;
    unit.files = {member("tblRESales.txt", sha256_hex("x"))};

    unit_fingerprint_and_unchanged(unit, {});
    EXPECT_EQ(unit.sha256, sha256_hex("x"));
    EXPECT_FALSE(unit.unchanged);

    unit_fingerprint_and_unchanged(unit, {{"tblRESales.txt", sha256_hex("x")}});
    EXPECT_TRUE(unit.unchanged);
    unit_fingerprint_and_unchanged(unit, {{"tblRESales.txt", sha256_hex("y")}});
    EXPECT_FALSE(unit.unchanged);
    unit_fingerprint_and_unchanged(unit, {{"TBLRESALES.TXT", sha256_hex("x")}});
    EXPECT_FALSE(unit.unchanged);

    // A unit whose files are all empty has no fingerprint and is never unchanged.
    unit.files = {member("tblRESales.txt", std::nullopt)};
    unit.unchanged = true;
    unit_fingerprint_and_unchanged(unit, {{"tblRESales.txt", ""}});
    EXPECT_EQ(unit.sha256, std::nullopt);
    EXPECT_FALSE(unit.unchanged);
}

DeliveryUnit ready_unit(std::string key, std::optional<std::string> sha256) {
    DeliveryUnit unit;
    unit.key = std::move(key);
    unit.kind = UnitKind::file;
    unit.total_bytes = 1;
    unit.selected = true;
    unit.sha256 = std::move(sha256);
    return unit;
}

TEST(HashCache, RecordDeliveryRecordsOnlyTheUnitsThatWent) {
    IsolatedEnvironment env;
    State state;
    state.sent_hash = {{"same", "old-same"}, {"unselected", "old-unselected"}};
    state.sent_at = {{"same", 1000}, {"unselected", 2000}, {"blocked", 3000}};
    state.include_once = {{"changed", true}};

    std::vector<DeliveryUnit> units;
    units.push_back(ready_unit("changed", sha256_hex("new")));
    units.push_back(ready_unit("same", "old-same"));
    units.back().unchanged = true;
    units.push_back(ready_unit("unselected", sha256_hex("u")));
    units.back().selected = false;
    units.push_back(ready_unit("blocked", sha256_hex("b")));
    units.back().messages = {{"file is empty", true}};
    units.push_back(ready_unit("Docs/empty.pdf", std::nullopt));  // goes, but has no fingerprint

    const int64_t before = unix_seconds(system_clock::now());
    const std::string minute_before = format_local(system_clock::now(), "%Y-%m-%d %H:%M");
    record_delivery(state, units, false);
    const std::string minute_after = format_local(system_clock::now(), "%Y-%m-%d %H:%M");
    const int64_t after = unix_seconds(system_clock::now());

    EXPECT_EQ(state.sent_hash,
              (std::map<std::string, std::string>{{"changed", sha256_hex("new")},
                                                  {"same", "old-same"},
                                                  {"unselected", "old-unselected"}}));
    ASSERT_EQ(state.sent_at.size(), 4u);
    EXPECT_GE(state.sent_at.at("changed"), before);
    EXPECT_LE(state.sent_at.at("changed"), after);
    EXPECT_EQ(state.sent_at.at("same"), 1000);
    EXPECT_EQ(state.sent_at.at("unselected"), 2000);
    EXPECT_EQ(state.sent_at.at("blocked"), 3000);
    EXPECT_FALSE(state.sent_at.contains("Docs/empty.pdf"));
    ASSERT_TRUE(state.last_sent_at.has_value());
    EXPECT_TRUE(*state.last_sent_at == minute_before || *state.last_sent_at == minute_after)
        << *state.last_sent_at;
    EXPECT_EQ(state.last_sent_at->size(), 16u);
    EXPECT_TRUE(state.include_once.empty());

    // Sending everything again records the unchanged unit too.
    record_delivery(state, units, true);
    EXPECT_GE(state.sent_at.at("same"), before);
    EXPECT_EQ(state.sent_hash.at("same"), "old-same");
    EXPECT_EQ(state.sent_at.at("unselected"), 2000);
}

}  // namespace
}  // namespace dalvento
