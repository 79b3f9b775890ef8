#include "core/packing/zip_builder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>

#include "core/packing/block_deflate.h"
#include "core/packing/zip_archive.h"
#include "core/platform/platform.h"
#include "core/platform/sha256.h"
#include "support/test_support.h"

namespace dalvento {
namespace {

using testing::IsolatedEnvironment;
using testing::local_time;
using testing::read_file;
using testing::ScopedEnv;
using testing::TempDir;
using testing::text;
using testing::write_file;
namespace fs = std::filesystem;

const std::string NON_ASCII =
    "\xC3\x9C"
    "bersicht M\xC3\xA4rz \xE2\x80\x93 2026.pdf";  // Übersicht März – 2026.pdf

// --- An independent reading of the raw zip bytes ---------------------------------------------

uint64_t le(const std::string& b, size_t at, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = v << 8 | static_cast<unsigned char>(b.at(at + i));
    return v;
}

struct RawEntry {
    std::string name;
    uint64_t flag = 0, method = 0, dos = 0, crc = 0, size = 0, packed = 0, needed = 0;
    bool zip64_field = false;
    std::string content;
};

std::string inflate_raw(const std::string& packed, uint64_t size) {
    std::string out(size, '\0');
    z_stream z{};
    inflateInit2(&z, -MAX_WBITS);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    z.avail_in = static_cast<uInt>(packed.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    EXPECT_EQ(rc, Z_STREAM_END);
    return out;
}

// Walks the local headers from the start of the file, taking each entry's sizes from its own
// header (the ZIP64 field where the 32-bit fields defer to it), and inflates small entries.
std::vector<RawEntry> local_entries(const std::string& zip) {
    std::vector<RawEntry> entries;
    size_t at = 0;
    while (at + 30 <= zip.size() && le(zip, at, 4) == 0x04034b50) {
        RawEntry e;
        e.needed = le(zip, at + 4, 2);
        e.flag = le(zip, at + 6, 2);
        e.method = le(zip, at + 8, 2);
        e.dos = le(zip, at + 10, 4);
        e.crc = le(zip, at + 14, 4);
        e.packed = le(zip, at + 18, 4);
        e.size = le(zip, at + 22, 4);
        const size_t name_len = le(zip, at + 26, 2), extra_len = le(zip, at + 28, 2);
        e.name = zip.substr(at + 30, name_len);
        const size_t extra_at = at + 30 + name_len;
        for (size_t x = extra_at; x + 4 <= extra_at + extra_len;) {
            const size_t id = le(zip, x, 2), len = le(zip, x + 2, 2);
            if (id == 1 && len >= 16) {
                // Both sizes are in the ZIP64 field, and the 32-bit fields defer to it.
                e.zip64_field = true;
                EXPECT_EQ(e.size, 0xFFFFFFFFu) << e.name;
                EXPECT_EQ(e.packed, 0xFFFFFFFFu) << e.name;
                e.size = le(zip, x + 4, 8);
                e.packed = le(zip, x + 12, 8);
            }
            x += 4 + len;
        }
        const size_t data_at = extra_at + extra_len;
        if (e.size < (64u << 20)) {
            e.content = inflate_raw(zip.substr(data_at, e.packed), e.size);
            EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(e.content.data()),
                            static_cast<uInt>(e.content.size())),
                      e.crc)
                << e.name;
        }
        at = data_at + e.packed;
        entries.push_back(std::move(e));
    }
    EXPECT_EQ(le(zip, at, 4), 0x02014b50u) << "central directory expected after the entries";
    return entries;
}

// --- Readers we did not write ------------------------------------------------------------------

nlohmann::json entry_expectation(const std::string& name, std::optional<std::string> content,
                                 std::array<int, 6> date_time) {
    nlohmann::json e = {{"name", name}, {"date_time", date_time}};
    if (content) e["sha256"] = sha256_hex(*content);
    return e;
}

// Python's zipfile and Info-ZIP's unzip through tests/tools/check_zip.py. The Windows build
// cannot start them from under Wine: there the zips are kept in DALVENTO_ZIP_CHECK_DIR, and the
// zip_readers_windows test checks them after the program ends.
void check_with_other_readers(const fs::path& zip, const nlohmann::json& expect,
                              const std::string& keep_as) {
    if (const auto keep = platform::get_env("DALVENTO_ZIP_CHECK_DIR")) {
        const fs::path kept = platform::path_from_text(*keep) / platform::path_from_text(keep_as);
        ASSERT_TRUE(platform::copy_file_replacing(zip, kept).has_value());
        write_file(platform::path_from_text(text(kept) + ".json"), expect.dump());
    }
#ifndef _WIN32
    write_file(platform::path_from_text(text(zip) + ".json"), expect.dump());
    const fs::path log = platform::path_from_text(text(zip) + ".log");
    const std::string command =
        "python3 '" DALVENTO_CHECK_ZIP_SCRIPT "' '" + text(zip) + "' > '" + text(log) + "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << read_file(log);
#endif
}

// --- Units -------------------------------------------------------------------------------------

UnitFile unit_file(const fs::path& path, const std::string& content, std::optional<Time> modified) {
    write_file(path, content);
    UnitFile f;
    f.name = text(path.filename());
    f.path = path;
    f.bytes = content.size();
    if (!content.empty()) f.sha256 = sha256_hex(content);
    f.modified = modified;
    return f;
}

DeliveryUnit unit(const std::string& key, UnitKind kind, std::vector<UnitFile> files) {
    DeliveryUnit u;
    u.key = key;
    u.kind = kind;
    u.core = kind != UnitKind::file;
    u.total_bytes = 0;
    for (const UnitFile& f : files)
        *u.total_bytes += f.bytes;
    u.files = std::move(files);
    u.sha256 = sha256_hex("unit " + key);
    u.selected = true;
    return u;
}

std::string zip_bytes(const fs::path& path) {
    return read_file(path);
}

// --- Names and places --------------------------------------------------------------------------

TEST(ZipName, ContentFingerprintAndName) {
    const auto date = std::chrono::year_month_day{std::chrono::year(2026), std::chrono::March,
                                                  std::chrono::day(5)};
    std::vector<DeliveryUnit> units = {unit("tblRESales.txt", UnitKind::table, {}),
                                       unit("OWNER", UnitKind::layer, {})};
    units[0].sha256 = std::string(64, 'b');
    units[1].sha256 = std::string(64, 'a');
    // Sorted lines, whatever the unit order.
    const std::string expected = sha256_hex(std::string(64, 'a') + "  OWNER\n" +
                                            std::string(64, 'b') + "  tblRESales.txt\n");
    EXPECT_EQ(delivery_content_fingerprint(units), expected);
    EXPECT_EQ(zip_file_name(date, units), "QUARNELL-2026-03-05-" + expected.substr(0, 8) + ".zip");

    // A selected unit counts even when unchanged; an unselected one does not.
    units.push_back(unit("extra.pdf", UnitKind::file, {}));
    units[2].unchanged = true;
    EXPECT_NE(delivery_content_fingerprint(units), expected);
    units[2].selected = false;
    EXPECT_EQ(delivery_content_fingerprint(units), expected);

    for (DeliveryUnit& u : units)
        u.selected = false;
    EXPECT_EQ(delivery_content_fingerprint(units), std::nullopt);
    EXPECT_EQ(zip_file_name(date, units), "QUARNELL-2026-03-05-.zip");
}

TEST(ZipName, ChooseZipPathSkipsTakenNames) {
    TempDir dir;
    const auto date = std::chrono::year_month_day{std::chrono::year(2026), std::chrono::March,
                                                  std::chrono::day(5)};
    const std::vector<DeliveryUnit> none;
    EXPECT_EQ(choose_zip_path(dir.path(), date, none), dir / "QUARNELL-2026-03-05-.zip");
    write_file(dir / "QUARNELL-2026-03-05-.zip", "x");
    write_file(dir / "QUARNELL-2026-03-05--2.zip.partial", "x");  // only final names count
    EXPECT_EQ(choose_zip_path(dir.path(), date, none), dir / "QUARNELL-2026-03-05--2.zip");
    fs::create_directories(dir / "QUARNELL-2026-03-05--2.zip");
    EXPECT_EQ(choose_zip_path(dir.path(), date, none), dir / "QUARNELL-2026-03-05--3.zip");
}

TEST(ZipName, OutboxFolderFallsBackFromLocalAppDataToTempToHere) {
    IsolatedEnvironment env;
    const fs::path local = env.dir() / "localappdata";
    EXPECT_EQ(outbox_folder(), local / "dalvento" / "outbox");
    const auto made = make_outbox_folder();
    ASSERT_TRUE(made.has_value()) << made.error();
    EXPECT_TRUE(fs::is_directory(local / "dalvento" / "outbox"));
    {
        ScopedEnv no_local("LOCALAPPDATA", std::nullopt);
        EXPECT_EQ(outbox_folder(), env.dir() / "temp" / "dalvento" / "outbox");
        ScopedEnv no_temp("TEMP", std::nullopt);
        EXPECT_EQ(outbox_folder(), fs::current_path() / "dalvento" / "outbox");
    }
    // A folder that cannot be made names itself.
    write_file(env.dir() / "blocked", "a file, not a folder");
    ScopedEnv blocked("LOCALAPPDATA", text(env.dir() / "blocked"));
    const auto refused = make_outbox_folder();
    ASSERT_FALSE(refused.has_value());
    EXPECT_TRUE(refused.error().starts_with(text(env.dir() / "blocked" / "dalvento")))
        << refused.error();
}

TEST(ZipName, EntryTimeIsLocalToTwoSecondsWithin1980To2107) {
    IsolatedEnvironment env;
    EXPECT_EQ(zip_entry_time(local_time(2026, 3, 5, 14, 7, 31)),
              (46u << 25 | 3u << 21 | 5u << 16) | (14u << 11 | 7u << 5 | 15u));
    EXPECT_EQ(zip_entry_time(local_time(1980, 1, 1, 0, 0, 0)), DOS_EPOCH);
    EXPECT_EQ(zip_entry_time(local_time(1979, 12, 31, 23, 59, 59)), DOS_EPOCH);
    EXPECT_EQ(zip_entry_time(local_time(2107, 12, 31, 23, 59, 59)),
              (127u << 25 | 12u << 21 | 31u << 16) | (23u << 11 | 59u << 5 | 29u));
    EXPECT_EQ(zip_entry_time(local_time(2108, 1, 1, 0, 0, 0)), DOS_EPOCH);
    EXPECT_EQ(zip_entry_time(std::nullopt), DOS_EPOCH);
}

// --- Building ----------------------------------------------------------------------------------

struct Exports {
    TempDir out;  // made before the environment points TEMP elsewhere
    IsolatedEnvironment env;
    std::vector<DeliveryUnit> units;
    Time when = local_time(2026, 3, 5, 14, 7, 31);

    Exports() {
        const fs::path layers = env.dir() / "arcgis", tables = env.dir() / "parcels",
                       other = env.dir() / "other";
        // OWNER.shp does not compress: its local header is written out before the entry ends
        // and is filled in on disk rather than in the write buffer.
        std::mt19937 random(7);
        std::string noise(3 << 19, '\0');
        for (char& c : noise)
            c = static_cast<char>(random());
        std::vector<UnitFile> owner;
        for (const char* ext : {"shp", "shx", "dbf", "prj"}) {
            owner.push_back(unit_file(
                layers / (std::string("OWNER.") + ext),
                ext == std::string("shp") ? noise : std::string(3000, ext[0]) + ext, when));
        }
        units.push_back(unit("OWNER", UnitKind::layer, std::move(owner)));
        std::string sales;
        for (int i = 0; i < 200000; ++i)
            sales += std::to_string(i * 7919 % 100003) + "^R^\r\n";
        units.push_back(unit("tblRESales.txt", UnitKind::table,
                             {unit_file(tables / "tblRESales.txt", sales, when)}));
        units.push_back(
            unit("tblREProperty.txt", UnitKind::table,
                 {unit_file(tables / "tblREProperty.txt", "", local_time(1979, 12, 31))}));
        units.push_back(unit(
            NON_ASCII, UnitKind::file,
            {unit_file(other / platform::path_from_text(NON_ASCII), "pdf bytes", std::nullopt)}));
        // Two that stay out: unchanged, and not selected.
        units.push_back(
            unit("same.txt", UnitKind::file, {unit_file(other / "same.txt", "s", when)}));
        units.back().unchanged = true;
        units.push_back(unit("off.txt", UnitKind::file, {unit_file(other / "off.txt", "o", when)}));
        units.back().selected = false;
    }

    fs::path zip_path() const { return out / "QUARNELL-2026-03-05-abcdef12.zip"; }
    fs::path partial() const { return out / "QUARNELL-2026-03-05-abcdef12.zip.partial"; }
};

TEST(ZipBuilder, PacksWhatGoesInOrderWithNoteAndSums) {
    Exports x;
    // Changed after the scan: packed as it is now, and summed from what was packed.
    write_file(x.units[0].files[3].path, "PROJCS[changed]");
    const std::string note = "Quarnell County Valdex data delivery\r\n\r\nnote body\r\n";

    const auto built = build_zip(x.units, false, note, x.zip_path());
    ASSERT_TRUE(built.has_value()) << built.error();
    EXPECT_EQ(built->path, x.zip_path());
    EXPECT_EQ(built->file_count, 7u);
    const std::string bytes = zip_bytes(x.zip_path());
    EXPECT_EQ(built->bytes, bytes.size());
    EXPECT_EQ(built->sha256, sha256_hex(bytes));
    EXPECT_FALSE(fs::exists(x.partial()));

    std::vector<const UnitFile*> packed;
    for (size_t u = 0; u < 4; ++u) {
        for (const UnitFile& f : x.units[u].files)
            packed.push_back(&f);
    }
    std::string sums;
    for (const UnitFile* f : packed)
        sums += sha256_hex(read_file(f->path)) + "  " + f->name + "\r\n";

    const auto entries = local_entries(bytes);
    ASSERT_EQ(entries.size(), packed.size() + 2);
    for (size_t i = 0; i < entries.size(); ++i) {
        const RawEntry& e = entries[i];
        SCOPED_TRACE(e.name);
        EXPECT_TRUE(e.zip64_field);
        EXPECT_EQ(e.needed, 45u);
        EXPECT_EQ(e.method, 8u);
        EXPECT_TRUE(e.flag & 0x800);
        if (i < packed.size()) {
            EXPECT_EQ(e.name, packed[i]->name);
            EXPECT_EQ(e.content, read_file(packed[i]->path));
        }
    }
    EXPECT_EQ(entries[6].name, NON_ASCII);
    EXPECT_EQ(entries[0].dos, zip_entry_time(x.when));
    EXPECT_EQ(entries[5].dos, DOS_EPOCH);  // 1979
    EXPECT_EQ(entries[6].dos, DOS_EPOCH);  // no time
    EXPECT_EQ(entries[7].name, "NOTE.txt");
    EXPECT_EQ(entries[7].content, note);
    EXPECT_EQ(entries[7].dos, DOS_EPOCH);
    EXPECT_EQ(entries[8].name, "SHA256SUMS");
    EXPECT_EQ(entries[8].content, sums);
    EXPECT_EQ(entries[8].dos, DOS_EPOCH);

    nlohmann::json expect = {{"entries", nlohmann::json::array()}, {"sums", true}};
    const std::array<int, 6> at_when = {2026, 3, 5, 14, 7, 30}, epoch = {1980, 1, 1, 0, 0, 0};
    for (const UnitFile* f : packed) {
        expect["entries"].push_back(entry_expectation(f->name, read_file(f->path),
                                                      f->modified == x.when ? at_when : epoch));
    }
    expect["entries"].push_back(entry_expectation("NOTE.txt", note, epoch));
    expect["entries"].push_back(entry_expectation("SHA256SUMS", sums, epoch));
    check_with_other_readers(x.zip_path(), expect, "layout.zip");

    // Nothing goes: only the two text entries, SHA256SUMS empty.
    for (DeliveryUnit& u : x.units)
        u.selected = false;
    const auto empty = build_zip(x.units, true, "", x.out / "empty.zip");
    ASSERT_TRUE(empty.has_value()) << empty.error();
    EXPECT_EQ(empty->file_count, 0u);
    const auto text_only = local_entries(zip_bytes(x.out / "empty.zip"));
    ASSERT_EQ(text_only.size(), 2u);
    EXPECT_EQ(text_only[1].content, "");
}

TEST(ZipBuilder, DuplicateNamesAreRefusedAndLeaveNothing) {
    Exports x;
    const std::string upper = "TBLRESALES.TXT";
    x.units.push_back(
        unit(upper, UnitKind::file, {unit_file(x.env.dir() / "other2" / upper, "dup", x.when)}));
    auto built = build_zip(x.units, false, "note", x.zip_path());
    ASSERT_FALSE(built.has_value());
    EXPECT_EQ(
        built.error(),
        "two files would be named TBLRESALES.TXT in the zip; clear one of the units that has it");
    EXPECT_FALSE(fs::exists(x.zip_path()));
    EXPECT_FALSE(fs::exists(x.partial()));

    // The names of the two text entries are taken too.
    for (const std::string name : {"NOTE.txt", "sha256sums"}) {
        x.units.back() =
            unit(name, UnitKind::file, {unit_file(x.env.dir() / "other3" / name, "mine", x.when)});
        built = build_zip(x.units, false, "note", x.zip_path());
        ASSERT_FALSE(built.has_value());
        EXPECT_EQ(built.error(), "two files would be named " + name +
                                     " in the zip; clear one of the units that has it");
        EXPECT_FALSE(fs::exists(x.zip_path()));
        EXPECT_FALSE(fs::exists(x.partial()));
    }
}

TEST(ZipBuilder, FailuresLeaveNoZipAndNoPartial) {
    Exports x;
    // A partial left by an earlier run is replaced, not appended to.
    write_file(x.partial(), std::string(100000, 'z'));
    auto missing = x.units;
    const fs::path gone = x.env.dir() / "parcels" / "gone.txt";
    missing[1].files[0].path = gone;
    auto built = build_zip(missing, false, "note", x.zip_path());
    ASSERT_FALSE(built.has_value());
    EXPECT_TRUE(built.error().starts_with(text(gone) + ": ")) << built.error();
    EXPECT_TRUE(built.error().ends_with("(os error 2)")) << built.error();
    EXPECT_FALSE(fs::exists(x.zip_path()));
    EXPECT_FALSE(fs::exists(x.partial()));

    // A destination that cannot be created: a missing folder, and a folder that is a file.
    write_file(x.out / "plain-file", "not a folder");
    for (const fs::path& zip :
         {x.out / "no-such-folder" / "a.zip", x.out / "plain-file" / "a.zip"}) {
        built = build_zip(x.units, false, "note", zip);
        ASSERT_FALSE(built.has_value());
        fs::path partial = zip;
        partial.replace_extension("zip.partial");
        EXPECT_TRUE(built.error().starts_with(text(partial) + ": ")) << built.error();
        EXPECT_TRUE(built.error().find("(os error ") != std::string::npos) << built.error();
        EXPECT_FALSE(fs::exists(zip));
        EXPECT_FALSE(fs::exists(partial));
    }

    // A refused rename keeps the complete partial and nothing else.
    fs::create_directories(x.zip_path());
    write_file(x.zip_path() / "inside.txt", "keeps the folder from being replaced");
    built = build_zip(x.units, false, "note", x.zip_path());
    ASSERT_FALSE(built.has_value());
    EXPECT_TRUE(built.error().starts_with(text(x.zip_path()) + ": ")) << built.error();
    EXPECT_TRUE(fs::is_directory(x.zip_path()));
    ASSERT_TRUE(fs::exists(x.partial()));
    EXPECT_EQ(local_entries(zip_bytes(x.partial())).size(), 9u);
}

// Files cut into deflate blocks at every kind of boundary: empty, one byte, just under, at and
// just over one block, several blocks of text whose repeats reach back across block edges.
TEST(ZipBuilder, SameBytesWhateverTheThreadCount) {
    Exports x;
    std::mt19937 random(11);
    const char* words[] = {"PARCEL", "OWNER", "^R^", "1200 N MAIN ST", "QUARNELL", "\r\n", "0"};
    std::string text;
    while (text.size() < 5 * DEFLATE_BLOCK_BYTES / 2)
        text += words[random() % 7] + std::to_string(random() % 1000);
    const fs::path other = x.env.dir() / "blocks";
    std::vector<UnitFile> files;
    const std::vector<std::pair<std::string, std::string>> contents = {
        {"text.txt", text},
        {"empty.dbf", ""},
        {"one.txt", "1"},
        {"under.txt", text.substr(0, DEFLATE_BLOCK_BYTES - 1)},
        {"block.txt", text.substr(0, DEFLATE_BLOCK_BYTES)},
        {"over.txt", text.substr(0, DEFLATE_BLOCK_BYTES + 1)},
        {"two.txt", text.substr(7, 2 * DEFLATE_BLOCK_BYTES)},
    };
    std::vector<DeliveryUnit> units;
    uint64_t total = 0;
    for (const auto& [name, content] : contents) {
        units.push_back(unit(name, UnitKind::file, {unit_file(other / name, content, x.when)}));
        total += content.size();
    }

    std::vector<uint64_t> seen;
    PackOptions one;
    one.threads = 1;
    one.progress = [&](uint64_t read, uint64_t of) {
        EXPECT_EQ(of, total);
        seen.push_back(read);
    };
    const auto single = build_zip(units, false, "note", x.out / "one.zip", one);
    ASSERT_TRUE(single.has_value()) << single.error();
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), total);

    PackOptions eight;
    eight.threads = 8;
    const auto several = build_zip(units, false, "note", x.out / "eight.zip", eight);
    ASSERT_TRUE(several.has_value()) << several.error();
    const std::string bytes = zip_bytes(x.out / "one.zip");
    EXPECT_EQ(bytes, zip_bytes(x.out / "eight.zip"));
    EXPECT_EQ(single->sha256, several->sha256);

    // One valid stream per entry, holding the file as it is.
    const auto entries = local_entries(bytes);
    ASSERT_EQ(entries.size(), contents.size() + 2);
    nlohmann::json expect = {{"entries", nlohmann::json::array()}, {"sums", true}};
    for (size_t i = 0; i < contents.size(); ++i) {
        EXPECT_EQ(entries[i].name, contents[i].first);
        EXPECT_TRUE(entries[i].content == contents[i].second) << contents[i].first;
        expect["entries"].push_back(
            entry_expectation(contents[i].first, contents[i].second, {2026, 3, 5, 14, 7, 30}));
    }
    // The text still compresses as well as in one stream: each block sees the data before it.
    std::vector<Bytef> whole(compressBound(text.size()));
    uLongf whole_size = whole.size();
    ASSERT_EQ(compress2(whole.data(), &whole_size, reinterpret_cast<const Bytef*>(text.data()),
                        text.size(), 6),
              Z_OK);
    EXPECT_LT(entries[0].packed, whole_size + whole_size / 200) << whole_size;
    expect["entries"].push_back(entry_expectation("NOTE.txt", "note", {1980, 1, 1, 0, 0, 0}));
    expect["entries"].push_back(
        entry_expectation("SHA256SUMS", entries.back().content, {1980, 1, 1, 0, 0, 0}));
    check_with_other_readers(x.out / "one.zip", expect, "blocks.zip");
}

TEST(ZipBuilder, StopLeavesNoZipAndNoPartial) {
    Exports x;
    std::string big(3 * DEFLATE_BLOCK_BYTES, 'q');
    x.units.push_back(
        unit("big.dbf", UnitKind::file, {unit_file(x.env.dir() / "big.dbf", big, x.when)}));
    std::atomic<bool> stop = false;
    bool partial_seen = false;
    const PackOptions options{.threads = 2,
                              .progress =
                                  [&](uint64_t read, uint64_t) {
                                      partial_seen = partial_seen || fs::exists(x.partial());
                                      if (read > 2 * DEFLATE_BLOCK_BYTES) stop = true;
                                  },
                              .stop = &stop};
    const auto built = build_zip(x.units, false, "note", x.zip_path(), options);
    ASSERT_FALSE(built.has_value());
    EXPECT_EQ(built.error(), PACKING_STOPPED);
    EXPECT_TRUE(partial_seen);
    EXPECT_FALSE(fs::exists(x.zip_path()));
    EXPECT_FALSE(fs::exists(x.partial()));
}

// 70,000 entries: the count needs the ZIP64 end of central directory record and its locator.
TEST(ZipArchiveTest, ManyEntriesUseZip64EndRecords) {
    TempDir dir;
    const fs::path path = dir / "many.zip";
    auto zip = ZipArchive::create(path);
    ASSERT_TRUE(zip.has_value()) << zip.error();
    constexpr int COUNT = 70000;
    nlohmann::json expect = {{"entries", nlohmann::json::array()}};
    for (int i = 0; i < COUNT; ++i) {
        const std::string name = "e" + std::to_string(i);
        ASSERT_TRUE(zip->begin_entry(name, DOS_EPOCH).has_value());
        ASSERT_TRUE(zip->write(name.data(), name.size()).has_value());
        expect["entries"].push_back({{"name", name}});
    }
    ASSERT_TRUE(zip->finish().has_value());
    const std::string bytes = zip_bytes(path);
    const size_t end = bytes.size() - 22;
    ASSERT_EQ(le(bytes, end, 4), 0x06054b50u);
    EXPECT_EQ(le(bytes, end + 10, 2), 0xFFFFu);
    ASSERT_EQ(le(bytes, end - 20, 4), 0x07064b50u);
    const size_t record = le(bytes, end - 20 + 8, 8);
    ASSERT_EQ(le(bytes, record, 4), 0x06064b50u);
    EXPECT_EQ(le(bytes, record + 32, 8), static_cast<uint64_t>(COUNT));
    const auto entries = local_entries(bytes);
    ASSERT_EQ(entries.size(), static_cast<size_t>(COUNT));
    EXPECT_EQ(entries.back().content, "e69999");
    check_with_other_readers(path, expect, "many.zip");
}

// A member of more than 4 GiB, from a sparse file so that it takes no disk space. Slow (it
// deflates 4.5 GiB), so it runs only as the zip_large_member test, which sets the variable.
TEST(ZipLarge, MemberOver4GiBReadsBack) {
    if (!platform::get_env("DALVENTO_RUN_LARGE_ZIP")) GTEST_SKIP() << "run by zip_large_member";
    TempDir out;
    IsolatedEnvironment env;
    constexpr uint64_t SIZE = (9ull << 30) / 2;
    const fs::path source = env.dir() / "huge.dbf";
    write_file(source, "head of a large file");
    fs::resize_file(source, SIZE);
    UnitFile file;
    file.name = "huge.dbf";
    file.path = source;
    file.bytes = SIZE;
    file.modified = local_time(2026, 3, 5, 9, 30, 0);
    const auto built =
        build_zip({unit("huge.dbf", UnitKind::file, {file})}, false, "note", out / "large.zip");
    ASSERT_TRUE(built.has_value()) << built.error();
    fs::remove(source);
    const std::string bytes = zip_bytes(out / "large.zip");
    const auto entries = local_entries(bytes);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_TRUE(entries[0].zip64_field);
    EXPECT_EQ(entries[0].size, SIZE);
    EXPECT_LT(entries[0].packed, SIZE / 100);
    // The sum was taken while packing; Python checks it against what it reads back.
    const std::string& sums = entries[2].content;
    ASSERT_EQ(sums.size(), 64u + 2 + 8 + 2);
    nlohmann::json expect = {{"entries", nlohmann::json::array()}};
    expect["entries"].push_back({{"name", "huge.dbf"},
                                 {"size", SIZE},
                                 {"sha256", sums.substr(0, 64)},
                                 {"date_time", {2026, 3, 5, 9, 30, 0}},
                                 // minizip records large entries as made on MS-DOS
                                 {"ntfs", false}});
    expect["entries"].push_back(entry_expectation("NOTE.txt", "note", {1980, 1, 1, 0, 0, 0}));
    expect["entries"].push_back(entry_expectation("SHA256SUMS", sums, {1980, 1, 1, 0, 0, 0}));
    check_with_other_readers(out / "large.zip", expect, "large.zip");
}

}  // namespace
}  // namespace dalvento
