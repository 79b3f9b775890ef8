#include "core/sources/unit_checks.h"

#include <gtest/gtest.h>

#include <chrono>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "core/platform/platform.h"
#include "core/platform/sha256.h"
#include "core/sources/cutoff_checks.h"
#include "core/tracking/hash_cache.h"
#include "layer_fixtures.h"
#include "support/test_support.h"

namespace dalvento {
namespace {

using namespace std::chrono;
using testing::TempDir;
using testing::write_file;

const std::string IN_USE =
    "file is in use; close ArcGIS Pro (or the program holding it) and check again";
const std::string LOCKED =
    "an ArcGIS lock file sits next to it; is ArcGIS Pro still open on this layer?";
const std::string NOT_USUAL_56 = "doesn't look like the usual export (expected 56 fields per line)";
const std::string NOT_DELIMITED = "doesn't look like a ^-delimited export";
const std::string LAST_LINE_55_OF_56 =
    "the last line has 55 fields, not 56; if the export was cut off, export it again.";

// One line of the given number of `^`-separated fields.
std::string fields(unsigned count) {
    std::string line = "f";
    for (unsigned i = 1; i < count; ++i)
        line += "^f";
    return line;
}

std::string lines(unsigned count, unsigned field_count, std::string_view ending = "\n") {
    std::string out;
    const std::string one = fields(field_count) + std::string(ending);
    for (unsigned i = 0; i < count; ++i)
        out += one;
    return out;
}

std::vector<std::string> names(const DeliveryUnit& unit) {
    std::vector<std::string> out;
    for (const UnitFile& f : unit.files)
        out.push_back(f.name);
    return out;
}

TEST(UnitChecks, LayerMissingSiblingsAndCpg) {
    TempDir dir;
    State state;
    auto members = layer_files(dir.path(), {{"OWNER.shp", "shape"}, {"OWNER.dbf", "table!"}});
    testing::set_modified(members[0].path, sys_days(year{2024} / 5 / 2));
    testing::set_modified(members[1].path, sys_days(year{2024} / 5 / 1));

    const DeliveryUnit unit = check_layer_unit("OWNER", owner(), dir.path(), members, false, state);
    EXPECT_EQ(unit.messages, (Messages{{"missing .shx, .prj", true}, {NO_CPG, false}}));
    EXPECT_EQ(unit.key, "OWNER");
    EXPECT_EQ(unit.description, "parcel map");
    EXPECT_EQ(unit.kind, UnitKind::layer);
    EXPECT_TRUE(unit.core);
    EXPECT_TRUE(unit.selected);
    EXPECT_EQ(unit.folder, dir.path());
    EXPECT_EQ(names(unit), (std::vector<std::string>{"OWNER.dbf", "OWNER.shp"}));
    EXPECT_EQ(unit.total_bytes, 11u);
    EXPECT_EQ(unit.newest_modified, Time(sys_days(year{2024} / 5 / 2)));
    EXPECT_FALSE(is_ready(unit));
    std::vector<std::string> sums = {sha256_hex("table!") + "  OWNER.dbf\n",
                                     sha256_hex("shape") + "  OWNER.shp\n"};
    std::sort(sums.begin(), sums.end());
    EXPECT_EQ(unit.sha256, sha256_hex(sums[0] + sums[1]));
    EXPECT_FALSE(unit.unchanged);
}

TEST(UnitChecks, LayerMessagesComeInTheirOrder) {
    TempDir dir;
    State state;
    auto members = layer_files(
        dir.path(),
        {{"OWNER.shx", "index"}, {"OWNER.sbx", ""}, {"OWNER.shp", "shape"}, {"OWNER.sbn", ""}});
    members.push_back({"OWNER.dbf", dir / "OWNER.dbf"});  // listed, then deleted before the read

    const DeliveryUnit unit = check_layer_unit("OWNER", owner(), dir.path(), members, true, state);
    ASSERT_EQ(unit.messages.size(), 5u);
    EXPECT_EQ(unit.messages[0], (UnitMessage{"missing .prj", true}));
    EXPECT_EQ(unit.messages[1], (UnitMessage{NO_CPG, false}));
    EXPECT_EQ(unit.messages[2], (UnitMessage{LOCKED, false}));
    EXPECT_TRUE(unit.messages[3].text.starts_with("OWNER.dbf: can't read it: "))
        << unit.messages[3].text;
    EXPECT_TRUE(unit.messages[3].text.ends_with(" (os error 2)")) << unit.messages[3].text;
    EXPECT_TRUE(unit.messages[3].blocking);
    EXPECT_EQ(unit.messages[4], (UnitMessage{"empty: OWNER.sbn, OWNER.sbx", true}));
    EXPECT_EQ(names(unit),
              (std::vector<std::string>{"OWNER.sbn", "OWNER.sbx", "OWNER.shp", "OWNER.shx"}));
    EXPECT_EQ(unit.total_bytes, 10u);

    // Nothing readable: still found, with a total of 0 and no fingerprint.
    const DeliveryUnit gone = check_layer_unit(
        "Parcels2", nullptr, dir.path(), {{"Parcels2.shp", dir / "Parcels2.shp"}}, false, state);
    EXPECT_EQ(gone.total_bytes, 0u);
    EXPECT_TRUE(gone.files.empty());
    EXPECT_EQ(gone.sha256, std::nullopt);
    EXPECT_EQ(gone.newest_modified, std::nullopt);
}

TEST(UnitChecks, CompleteLayerWithLockCanGo) {
    TempDir dir;
    State state;
    // Listed in no particular order, names of mixed case: byte order puts capitals first.
    const std::string shp = testing::empty_layer_member("shp");
    const std::string dbf = testing::empty_layer_member("dbf");
    auto members = layer_files(dir.path(), {{"OWNER.shp", shp},
                                            {"owner.shx", shp},
                                            {"OWNER.cpg", "UTF-8"},
                                            {"OWNER.PRJ", "4444"},
                                            {"OWNER.dbf", dbf}});
    const DeliveryUnit unit = check_layer_unit("OWNER", owner(), dir.path(), members, true, state);
    EXPECT_EQ(unit.messages, (Messages{{LOCKED, false}}));
    EXPECT_TRUE(is_ready(unit));
    EXPECT_EQ(names(unit), (std::vector<std::string>{"OWNER.PRJ", "OWNER.cpg", "OWNER.dbf",
                                                     "OWNER.shp", "owner.shx"}));
    EXPECT_EQ(unit.total_bytes, 2 * shp.size() + dbf.size() + 9);

    // An other layer: plain description, not core, selected only when the user said so.
    auto extra = layer_files(dir / "b", {{"Roads.shp", shp},
                                         {"Roads.shx", shp},
                                         {"Roads.dbf", dbf},
                                         {"Roads.prj", "p"},
                                         {"Roads.cpg", "c"}});
    // Two folders of the same name share a group; equal names then go by path.
    auto second = layer_files(dir / "a", {{"Roads.shp", shp}});
    extra.push_back(second[0]);
    const DeliveryUnit roads = check_layer_unit("Roads", nullptr, dir / "b", extra, false, state);
    EXPECT_EQ(roads.description, "layer");
    EXPECT_FALSE(roads.core);
    EXPECT_FALSE(roads.selected);
    EXPECT_TRUE(roads.messages.empty());
    ASSERT_EQ(roads.files.size(), 6u);
    EXPECT_EQ(roads.files[3].path, dir / "a" / "Roads.shp");
    EXPECT_EQ(roads.files[4].path, dir / "b" / "Roads.shp");
    state.include["Roads"] = true;
    EXPECT_TRUE(check_layer_unit("Roads", nullptr, dir / "b", extra, false, state).selected);
}

TEST(UnitChecks, RescanOfUnchangedFilesReadsOnlyHeadersAndTouchKeepsUnchanged) {
    TempDir dir;
    State state;
    // A real set under the core name: the rescan reads its headers and nothing else.
    std::vector<std::pair<std::string, std::string>> files;
    for (const char* extension : {".shp", ".shx", ".dbf", ".prj"})
        files.push_back({"OWNER" + std::string(extension),
                         testing::read_file(real_sets() / ("nc" + std::string(extension)))});
    files.push_back({"OWNER.cpg", "c"});
    auto members = layer_files(dir.path(), files);
    const uint64_t shp_bytes = files[0].second.size();
    const DeliveryUnit first =
        check_layer_unit("OWNER", owner(), dir.path(), members, false, state);
    ASSERT_TRUE(first.sha256.has_value());
    EXPECT_TRUE(first.messages.empty());
    EXPECT_EQ(state.hash_cache.size(), 5u);
    state.sent_hash["OWNER"] = *first.sha256;

    uint64_t read_before = platform::bytes_read_total();
    const DeliveryUnit again =
        check_layer_unit("OWNER", owner(), dir.path(), members, false, state);
    EXPECT_LE(platform::bytes_read_total() - read_before, LAYER_CHECK_MAX_BYTES);
    EXPECT_EQ(again.sha256, first.sha256);
    EXPECT_TRUE(again.unchanged);

    // Touched: hashed again, same fingerprint, still unchanged.
    const Time later = system_clock::now() + hours(1);
    testing::set_modified(members[0].path, later);
    read_before = platform::bytes_read_total();
    const DeliveryUnit touched =
        check_layer_unit("OWNER", owner(), dir.path(), members, false, state);
    EXPECT_GE(platform::bytes_read_total() - read_before, shp_bytes);
    EXPECT_LE(platform::bytes_read_total() - read_before, shp_bytes + LAYER_CHECK_MAX_BYTES);
    EXPECT_EQ(touched.sha256, first.sha256);
    EXPECT_TRUE(touched.unchanged);
    EXPECT_EQ(state.hash_cache.at(platform::path_text(members[0].path)).modified_ms,
              modified_ms(later));

    // Changed content: no longer unchanged.
    write_file(members[1].path, "y");
    testing::set_modified(members[1].path, later + seconds(5));
    const DeliveryUnit changed =
        check_layer_unit("OWNER", owner(), dir.path(), members, false, state);
    EXPECT_NE(changed.sha256, first.sha256);
    EXPECT_FALSE(changed.unchanged);
}

// A core table unit as the scan hands it over, then read and checked.
DeliveryUnit checked_table(const std::filesystem::path& path, std::optional<unsigned> expected,
                           State& state) {
    DeliveryUnit unit;
    unit.key = "tblREProperty.txt";
    unit.description = "parcels, owners, zoning";
    unit.folder = path.parent_path();
    unit.core = true;
    unit.kind = UnitKind::table;
    unit.selected = true;
    check_table_unit(unit, platform::path_text(path.filename()), path, expected, state);
    return unit;
}

Messages table_messages(std::string_view content, std::optional<unsigned> expected = 56) {
    TempDir dir;
    State state;
    write_file(dir / "tblREProperty.txt", content);
    return checked_table(dir / "tblREProperty.txt", expected, state).messages;
}

TEST(UnitChecks, TableFieldCountAgainstTheProfile) {
    const Messages none;
    const Messages not_usual = {{NOT_USUAL_56, true}};
    // A table that passes but ends in an odd line gets a thing to check; one that fails, no more.
    const Messages odd_end = {{LAST_LINE_55_OF_56, false}};
    EXPECT_EQ(table_messages(lines(500, 56)), none);
    EXPECT_EQ(table_messages(lines(450, 56) + lines(50, 55)), odd_end);  // share exactly 0.9
    EXPECT_EQ(table_messages(lines(449, 56) + lines(51, 55)), not_usual);
    EXPECT_EQ(table_messages(lines(50, 55) + lines(450, 56)), none);
    EXPECT_EQ(table_messages("\n\n\n"), not_usual);
    EXPECT_EQ(table_messages("\r\n\r\n\r"), not_usual);
    EXPECT_EQ(table_messages(lines(450, 56, "\r\n") + lines(50, 55, "\r\n")), odd_end);
    EXPECT_EQ(table_messages(lines(449, 56, "\r\n") + lines(51, 55, "\r\n")), not_usual);
    // Only the first 500 lines count: the rows after a 56-field header do not help.
    EXPECT_EQ(table_messages(fields(56) + "\n" + lines(10'000, 57)), not_usual);
    // Blank lines count toward the 500 but not toward the share.
    std::string blank_lines;
    for (int i = 0; i < 300; ++i)
        blank_lines += "\r\n";
    EXPECT_EQ(table_messages(blank_lines + lines(200, 56) + lines(1000, 55)), odd_end);
    EXPECT_EQ(table_messages(lines(1000, 56) + "\r\n\n\r\n"), none);  // blank lines at the end
    // The last line counts without its line feed: 9 of 10 lines have 2 fields.
    EXPECT_EQ(table_messages(lines(8, 2) + fields(3) + "\n" + fields(2), 2), none);
    EXPECT_EQ(
        table_messages(lines(8, 2) + fields(3) + "\n" + fields(3), 2),
        (Messages{{"doesn't look like the usual export (expected 2 fields per line)", true}}));
}

TEST(UnitChecks, TableFieldCountWithoutAnExpectedCount) {
    TempDir dir;
    State state;
    const auto path = dir / "extra.txt";
    const auto check = [&](std::string_view content) {
        write_file(path, content);
        return checked_table(path, std::nullopt, state);
    };
    const DeliveryUnit good = check(lines(9, 3) + lines(1, 4));
    EXPECT_EQ(good.messages,
              (Messages{{"the last line has 4 fields, not 3; if the export was cut off, export it "
                         "again.",
                         false}}));
    EXPECT_EQ(good.description, "table, 3 fields");
    const DeliveryUnit mixed = check(lines(8, 3) + lines(2, 4));
    EXPECT_EQ(mixed.messages, (Messages{{NOT_DELIMITED, true}}));
    EXPECT_EQ(mixed.description, "parcels, owners, zoning");
    EXPECT_EQ(check("just some\nplain text\n").messages, (Messages{{NOT_DELIMITED, true}}));
    EXPECT_EQ(check("\n\n").messages, (Messages{{NOT_DELIMITED, true}}));

    // Several MB without a single line feed: one line, read through to its end.
    std::string one_line;
    for (unsigned i = 0; i < 700'000; ++i)
        one_line += "abcdef^";
    one_line += "end";
    const DeliveryUnit long_line = check(one_line);
    EXPECT_TRUE(long_line.messages.empty());
    EXPECT_EQ(long_line.description, "table, 700001 fields");
    EXPECT_EQ(long_line.total_bytes, one_line.size());
    EXPECT_EQ(checked_table(path, 56, state).messages, (Messages{{NOT_USUAL_56, true}}));
}

TEST(UnitChecks, TableReadingEmptinessAndFingerprint) {
    TempDir dir;
    State state;
    const auto path = dir / "tblREProperty.txt";

    const DeliveryUnit missing = checked_table(path, 56, state);
    ASSERT_EQ(missing.messages.size(), 1u);
    EXPECT_TRUE(missing.messages[0].text.starts_with("can't read it: "))
        << missing.messages[0].text;
    EXPECT_TRUE(missing.messages[0].text.ends_with(" (os error 2)"));
    EXPECT_TRUE(missing.messages[0].blocking);
    EXPECT_EQ(missing.total_bytes, 0u);
    EXPECT_TRUE(missing.files.empty());
    EXPECT_EQ(missing.sha256, std::nullopt);
    EXPECT_TRUE(state.hash_cache.empty());

    write_file(path, "");
    const DeliveryUnit empty = checked_table(path, 56, state);
    EXPECT_EQ(empty.messages, (Messages{{"file is empty", true}}));
    EXPECT_EQ(empty.total_bytes, 0u);
    ASSERT_EQ(empty.files.size(), 1u);
    EXPECT_EQ(empty.files[0].sha256, std::nullopt);
    EXPECT_EQ(empty.sha256, std::nullopt);
    EXPECT_FALSE(empty.unchanged);
    EXPECT_TRUE(state.hash_cache.empty());

    const std::string content = lines(3, 56);
    write_file(path, content);
    const Time when = sys_days(year{2024} / 6 / 30) + hours(20);
    testing::set_modified(path, when);
    state.sent_hash["tblREProperty.txt"] = sha256_hex(content);
    const DeliveryUnit good = checked_table(path, 56, state);
    EXPECT_TRUE(good.messages.empty());
    EXPECT_TRUE(is_ready(good));
    EXPECT_EQ(good.total_bytes, content.size());
    EXPECT_EQ(good.newest_modified, when);
    ASSERT_EQ(good.files.size(), 1u);
    EXPECT_EQ(good.files[0].name, "tblREProperty.txt");
    EXPECT_EQ(good.files[0].path, path);
    EXPECT_EQ(good.files[0].modified, when);
    EXPECT_EQ(good.sha256, sha256_hex(content));
    EXPECT_TRUE(good.unchanged);

    // The field check opens the file again; gone by then, it cannot read it.
    DeliveryUnit unit;
    check_table_fields(unit, UnitFile{"gone.txt", dir / "gone.txt", "x", 1, std::nullopt}, 56);
    ASSERT_EQ(unit.messages.size(), 1u);
    EXPECT_TRUE(unit.messages[0].text.starts_with("can't read it: ")) << unit.messages[0].text;
    EXPECT_TRUE(unit.messages[0].blocking);

#ifndef _WIN32
    // A read that fails part-way (this file opens but refuses to be read from its start).
    DeliveryUnit unreadable;
    check_table_fields(unreadable, UnitFile{"mem", "/proc/self/mem", "x", 1, std::nullopt}, 56);
    ASSERT_EQ(unreadable.messages.size(), 1u);
    EXPECT_TRUE(unreadable.messages[0].text.starts_with("can't read it: "))
        << unreadable.messages[0].text;
    EXPECT_TRUE(unreadable.messages[0].text.ends_with(" (os error 5)"))
        << unreadable.messages[0].text;
#endif
}

TEST(UnitChecks, OtherFilesOnlyGetThingsToCheck) {
    TempDir dir;
    State state;
    const auto check = [&](const std::filesystem::path& path) {
        DeliveryUnit unit;
        unit.key = "Scans/" + platform::path_text(path.filename());
        unit.kind = UnitKind::file;
        unit.selected = true;
        check_other_file_unit(unit, platform::path_text(path.filename()), path, state);
        return unit;
    };

    write_file(dir / "empty.pdf", "");
    const DeliveryUnit empty = check(dir / "empty.pdf");
    EXPECT_EQ(empty.messages, (Messages{{"file is empty", false}}));
    EXPECT_EQ(empty.total_bytes, 0u);
    EXPECT_EQ(empty.files.size(), 1u);
    EXPECT_EQ(empty.sha256, std::nullopt);
    EXPECT_TRUE(is_ready(empty));

    const DeliveryUnit missing = check(dir / "missing.pdf");
    ASSERT_EQ(missing.messages.size(), 1u);
    EXPECT_TRUE(missing.messages[0].text.starts_with("can't read it: "));
    EXPECT_FALSE(missing.messages[0].blocking);
    EXPECT_EQ(missing.total_bytes, 0u);
    EXPECT_TRUE(missing.files.empty());

    // No content check at all, and the fingerprint takes the hashed-line form.
    write_file(dir / "plan.pdf", "%PDF-1.7 not a table");
    const DeliveryUnit plan = check(dir / "plan.pdf");
    EXPECT_TRUE(plan.messages.empty());
    EXPECT_EQ(plan.total_bytes, 20u);
    EXPECT_EQ(plan.sha256, sha256_hex(sha256_hex("%PDF-1.7 not a table") + "  plan.pdf\n"));
}

TEST(UnitChecks, ReadUnitFileMessages) {
    TempDir dir;
    State state;
    const auto file = read_unit_file("missing.dbf", dir / "missing.dbf", state);
    ASSERT_FALSE(file.has_value());
    EXPECT_TRUE(file.error().starts_with("can't read it: ")) << file.error();

#ifndef _WIN32
    write_file(dir / "locked.dbf", "data");
    std::filesystem::permissions(dir / "locked.dbf", std::filesystem::perms::none);
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not stop the superuser";
    const auto refused = read_unit_file("locked.dbf", dir / "locked.dbf", state);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), "can't open it: Permission denied (os error 13)");
    DeliveryUnit table;
    check_table_unit(table, "locked.dbf", dir / "locked.dbf", 56, state);
    EXPECT_EQ(table.messages, (Messages{{"can't open it: Permission denied (os error 13)", true}}));
#endif
}

#ifdef _WIN32
// Holds a file the way ArcGIS Pro does: no sharing at all.
class HeldExclusively {
  public:
    explicit HeldExclusively(const std::filesystem::path& path)
        : handle_(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~HeldExclusively() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    bool held() const { return handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_;
};

TEST(UnitChecks, FilesHeldByAnotherProgramAreInUse) {
    TempDir dir;
    State state;
    auto members = layer_files(dir.path(), {{"OWNER.shp", "1"},
                                            {"OWNER.shx", "22"},
                                            {"OWNER.dbf", "333"},
                                            {"OWNER.prj", "4444"},
                                            {"OWNER.cpg", "UTF-8"}});
    {
        HeldExclusively hold(dir / "OWNER.dbf");
        ASSERT_TRUE(hold.held());
        const DeliveryUnit unit =
            check_layer_unit("OWNER", owner(), dir.path(), members, false, state);
        EXPECT_EQ(unit.messages, (Messages{{"OWNER.dbf: " + IN_USE, true}}));
        EXPECT_EQ(names(unit),
                  (std::vector<std::string>{"OWNER.cpg", "OWNER.prj", "OWNER.shp", "OWNER.shx"}));
        EXPECT_EQ(unit.total_bytes, 12u);
        EXPECT_FALSE(state.hash_cache.contains(platform::path_text(dir / "OWNER.dbf")));
    }

    write_file(dir / "tblRESales.txt", lines(5, 11));
    HeldExclusively hold(dir / "tblRESales.txt");
    ASSERT_TRUE(hold.held());
    const DeliveryUnit table = checked_table(dir / "tblRESales.txt", 11, state);
    EXPECT_EQ(table.messages, (Messages{{IN_USE, true}}));
    EXPECT_EQ(table.total_bytes, 0u);
    EXPECT_TRUE(table.files.empty());
}
#endif

TEST(UnitChecks, SelectionAndLastSent) {
    State state;
    DeliveryUnit unit;
    unit.key = "OWNER";
    unit.core = true;
    apply_selection_and_last_sent(unit, state);
    EXPECT_TRUE(unit.selected);
    EXPECT_EQ(unit.last_sent, std::nullopt);

    state.include["OWNER"] = false;
    apply_selection_and_last_sent(unit, state);
    EXPECT_FALSE(unit.selected);
    state.include_once["OWNER"] = true;
    apply_selection_and_last_sent(unit, state);
    EXPECT_TRUE(unit.selected);
    state.include_once["owner"] = false;  // keys are exact
    apply_selection_and_last_sent(unit, state);
    EXPECT_TRUE(unit.selected);

    state.sent_at["OWNER"] = 1'700'000'000;
    apply_selection_and_last_sent(unit, state);
    EXPECT_EQ(unit.last_sent, Time(seconds(1'700'000'000)));
    state.sent_at["OWNER"] = 0;
    apply_selection_and_last_sent(unit, state);
    EXPECT_EQ(unit.last_sent, Time(seconds(0)));
    state.sent_at["OWNER"] = -1;
    apply_selection_and_last_sent(unit, state);
    EXPECT_EQ(unit.last_sent, std::nullopt);
    state.sent_at["OWNER"] = INT64_MAX;
    apply_selection_and_last_sent(unit, state);
    EXPECT_EQ(unit.last_sent, std::nullopt);
}

}  // namespace
}  // namespace dalvento
