#include "check/delivery_check.h"

#include <gtest/gtest.h>
#include <zlib.h>
#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

#include <fstream>
#include <functional>

#include "check/command.h"
#include "core/packing/note.h"
#include "core/packing/zip_archive.h"
#include "core/packing/zip_builder.h"
#include "core/packing/zip_reader.h"
#include "core/platform/platform.h"
#include "core/platform/sha256.h"
#include "core/sources/export_date.h"
#include "core/sources/scan.h"
#include "export_generator.h"
#include "support/test_support.h"

namespace dalvento {
namespace {

namespace fs = std::filesystem;
using testing::IsolatedEnvironment;
using testing::local_time;

using Entries = std::vector<std::pair<std::string, std::string>>;

// The program's own delivery of a generated export (broken as asked, and packed all the same,
// as an office would that ignored the warnings), in `folder`.
fs::path pack_delivery(const fs::path& root, exportgen::BrokenForm broken, const fs::path& folder) {
    exportgen::ExportSpec shape;
    shape.other_files = 2;
    shape.modified = local_time(2026, 3, 5, 9, 30);
    shape.broken = broken;
    auto made = exportgen::generate_exports(root, shape);
    EXPECT_TRUE(made) << made.error();
    State state;
    state.layers_dirs = {testing::text(made->layers_folder)};
    state.tables_dirs = {testing::text(made->tables_folder)};
    state.other_dirs = {testing::text(made->other_folder)};
    std::vector<DeliveryUnit> units = scan_sources(state);
    for (DeliveryUnit& unit : units) {
        unit.selected = true;
        unit.messages.clear();
    }
    const auto date = settle_export_date(units);
    EXPECT_TRUE(date);
    const std::string note =
        note_text(units, false,
                  NoteInput{"Pat Clerk", "2026 roll", "", *date, local_time(2026, 3, 6, 14, 7)});
    fs::create_directories(folder);
    const auto built =
        build_zip(units, false, note, choose_zip_path(folder, date->date, units), {});
    EXPECT_TRUE(built) << built.error();
    return built->path;
}

Entries read_entries(const fs::path& zip) {
    auto reader = ZipReader::open(zip);
    EXPECT_TRUE(reader) << reader.error();
    Entries entries;
    for (const ZipMember& member : reader->members()) {
        std::string content;
        EXPECT_TRUE(reader->read_member(member, [&](const unsigned char* data, size_t size) {
            content.append(reinterpret_cast<const char*>(data), size);
        }));
        entries.emplace_back(member.name, std::move(content));
    }
    return entries;
}

void write_entries(const fs::path& zip, const Entries& entries) {
    fs::create_directories(zip.parent_path());
    auto archive = ZipArchive::create(zip);
    ASSERT_TRUE(archive) << archive.error();
    for (const auto& [name, content] : entries) {
        ASSERT_TRUE(archive->begin_entry(name, DOS_EPOCH));
        ASSERT_TRUE(archive->write(content.data(), content.size()));
    }
    ASSERT_TRUE(archive->finish());
}

std::string& entry(Entries& entries, std::string_view name) {
    for (auto& [n, content] : entries) {
        if (n == name) return content;
    }
    ADD_FAILURE() << "no " << name;
    static std::string none;
    return none;
}

void replace_once(std::string& text, std::string_view from, std::string_view to) {
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
}

std::vector<std::string> problem_lines(const CheckReport& report) {
    std::vector<std::string> lines;
    for (const Finding& finding : report.findings) {
        if (!finding.ok) lines.push_back(finding.subject + ": " + finding.text);
    }
    return lines;
}

struct Packed {
    IsolatedEnvironment env;
    fs::path good =
        pack_delivery(env.dir() / "exports", exportgen::BrokenForm::none, env.dir() / "good");
};

TEST(DeliveryCheck, TheProgramsOwnZipPassesAndSaysSoPerMember) {
    Packed packed;
    const CheckReport report = check_delivery(packed.good);
    EXPECT_EQ(problem_lines(report), std::vector<std::string>{});
    EXPECT_EQ(exit_status(report), 0);
    // OWNER's six members, five tables, two other files, NOTE.txt and SHA256SUMS.
    EXPECT_EQ(report.members, 15u);
    ASSERT_EQ(report.findings.size(), 15u);
    EXPECT_EQ(report.findings.back().subject, "SHA256SUMS");
    EXPECT_EQ(report.findings.back().text, "ok");

    std::string out, err;
    const int status = run_check_command(
        {testing::text(packed.good)}, [&](std::string_view t) { out += t; },
        [&](std::string_view t) { err += t; });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(out.ends_with("\nSHA256SUMS: ok\n15 members checked, 0 problems\n")) << out;
    EXPECT_EQ(err, "");
    EXPECT_EQ(run_check_command(
                  {}, [&](std::string_view) {}, [&](std::string_view t) { err += t; }),
              2);
    EXPECT_TRUE(err.starts_with("usage: dalvento-check [--json] ZIP")) << err;
}

TEST(DeliveryCheck, EachBrokenFormGivesItsFindingAndStatus) {
    Packed packed;
    const std::string name = testing::text(packed.good.filename());
    const Entries good = read_entries(packed.good);
    ASSERT_EQ(good.size(), 15u);
    const std::string bytes = testing::read_file(packed.good);

    struct Case {
        const char* what;
        // Makes the broken zip at the path given.
        std::function<void(const fs::path&)> make;
        int status;
        std::vector<std::string> problems;  // each is the start of one problem line
    };
    auto edited = [&](std::function<void(Entries&)> edit) {
        return [&, edit](const fs::path& zip) {
            Entries entries = good;
            edit(entries);
            write_entries(zip, entries);
        };
    };
    auto repacked = [&](exportgen::BrokenForm form) {
        return [&, form](const fs::path& zip) {
            const fs::path made =
                pack_delivery(zip.parent_path() / "exports", form, zip.parent_path() / "packed");
            fs::rename(made, zip);
        };
    };
    const std::vector<Case> cases = {
        {"a byte of a member flipped",
         [&](const fs::path& zip) {
             auto reader = ZipReader::open(packed.good);
             ASSERT_TRUE(reader);
             const auto& members = reader->members();
             const auto found =
                 std::find_if(members.begin(), members.end(),
                              [](const ZipMember& m) { return m.name == "OWNER.dbf"; });
             ASSERT_NE(found, members.end());
             const ZipMember& shp = *found;
             std::string changed = bytes;
             changed[shp.header_at + 30 + shp.name.size() + 20 + shp.packed / 2] ^= 0x10;
             testing::write_file(zip, changed);
         },
         1,
         {"OWNER.dbf: damaged in the zip: "}},
        {"a member missing",
         edited([](Entries& e) {
             std::erase_if(e, [](auto& m) { return m.first == "tblRESales.txt"; });
         }),
         1,
         {"tblRESales.txt: listed in SHA256SUMS but not in the zip; a file of the delivery is "
          "missing",
          "tblRESales.txt: listed in NOTE.txt but not in the zip"}},
        {"a member added",
         edited([](Entries& e) {
             e.insert(e.end() - 2, {"extra.pdf", "%PDF-1.4"});
         }),
         1,
         {"extra.pdf: not listed in SHA256SUMS; it can't be checked against the sender's sum",
          "extra.pdf: not among the files NOTE.txt lists"}},
        {"a SHA256SUMS line changed",
         edited([](Entries& e) {
             std::string& sums = entry(e, "SHA256SUMS");
             sums[0] = sums[0] == '0' ? '1' : '0';
         }),
         1,
         {"OWNER.cpg: its SHA-256 doesn't match SHA256SUMS; the file changed after it was packed"}},
        {"NOTE.txt naming another date",
         edited([](Entries& e) {
             replace_once(entry(e, "NOTE.txt"), "Exported: March 5, 2026",
                          "Exported: March 4, 2026");
         }),
         1,
         {"NOTE.txt: names the export of March 4, 2026 but the zip's name says 2026-03-05; the "
          "note may belong to another delivery"}},
        {"NOTE.txt not as the program writes it",
         edited([](Entries& e) { replace_once(entry(e, "NOTE.txt"), "\r\nFiles:", "\r\nFile:"); }),
         1,
         {"NOTE.txt: doesn't read as Dalvento writes it (line "}},
        {"a truncated .dbf inside",
         repacked(exportgen::BrokenForm::dbf_cut),
         1,
         {"OWNER (shapefile set): OWNER.dbf is shorter than its header says"}},
        {"a table's last line cut",
         repacked(exportgen::BrokenForm::table_last_line_cut),
         1,
         {"tblREProperty.txt: the last line has "}},
        {"a member in a folder and a name twice but for capitals",
         edited([](Entries& e) {
             e.front().first = "maps/" + e.front().first;
             e.insert(e.end() - 2, {"TBLRESALES.TXT", "x"});
         }),
         1,
         {}},
        {"a zip cut short",
         [&](const fs::path& zip) { testing::write_file(zip, bytes.substr(0, bytes.size() - 30)); },
         2,
         {name + ": not a readable zip: no zip directory at its end: the file is cut short or is "
                 "not a zip; ask the sender for a new copy"}},
        {"not a delivery",
         edited([](Entries& e) { e.resize(3); }),
         2,
         {name + ": holds neither NOTE.txt nor SHA256SUMS: it is not a Dalvento delivery"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        const fs::path zip = packed.env.dir() / ("case-" + std::to_string(++n)) / name;
        fs::create_directories(zip.parent_path());
        c.make(zip);
        const std::string before = testing::read_file(zip);
        const CheckReport report = check_delivery(zip);
        EXPECT_EQ(exit_status(report), c.status) << c.what << "\n" << report_text(report);
        const std::vector<std::string> lines = problem_lines(report);
        for (const std::string& expected : c.problems) {
            EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                                    [&](const std::string& l) { return l.starts_with(expected); }))
                << c.what << ": no problem starting \"" << expected << "\" in\n"
                << report_text(report);
        }
        if (c.problems.empty())
            EXPECT_FALSE(lines.empty()) << c.what;
        else
            EXPECT_EQ(lines.size(), c.problems.size()) << c.what << "\n" << report_text(report);
        EXPECT_EQ(testing::read_file(zip), before) << c.what << ": the zip was changed";
    }
}

// The peak memory of the process so far.
uint64_t peak_memory_bytes() {
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PeakWorkingSetSize;
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<uint64_t>(usage.ru_maxrss) * 1024;
#endif
}

// A zip with more than 4 GiB of members needs ZIP64 throughout. It is made with the program's
// own zip writer from deflate blocks of zeros, so the zip itself stays a few megabytes and is
// made in seconds; the check then streams all 4 GiB through the same fixed buffers as a small
// zip.
TEST(CheckLarge, AZipOfMoreThan4GiBIsCheckedInConstantMemory) {
    if (!platform::get_env("DALVENTO_RUN_LARGE_ZIP")) GTEST_SKIP() << "run by check_zip64";
    IsolatedEnvironment env;
    constexpr uint64_t BLOCK = 1 << 20;
    constexpr uint64_t BLOCKS = 4096 + 3;  // 4 GiB and 3 MiB
    constexpr uint64_t SIZE = BLOCK * BLOCKS;
    const std::string zeros(BLOCK, '\0');

    // The first block stands alone; every later one refers back into the zeros before it.
    auto deflated = [&](bool after_zeros) {
        z_stream z{};
        deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
        if (after_zeros) {
            deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(zeros.data()), 32768);
        }
        std::string out(BLOCK, '\0');
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
        z.avail_in = static_cast<uInt>(BLOCK);
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        EXPECT_EQ(deflate(&z, Z_SYNC_FLUSH), Z_OK);
        out.resize(out.size() - z.avail_out);
        deflateEnd(&z);
        return out;
    };
    const std::string first = deflated(false), later = deflated(true);
    const std::string final_block("\x03\x00", 2);
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(zeros.data()), BLOCK);
    const uLong block_crc = crc;
    Sha256 hash;
    hash.update(zeros);
    for (uint64_t i = 1; i < BLOCKS; ++i) {
        crc = crc32_combine(crc, block_crc, static_cast<z_off_t>(BLOCK));
        hash.update(zeros);
    }
    const std::string sha = hash.finish_hex();

    UnitFile file{"zeros.bin", {}, sha, SIZE, local_time(2026, 3, 5, 9, 30)};
    std::vector<DeliveryUnit> units = {
        testing::unit_of_files("other/zeros.bin", UnitKind::file, false, {file})};
    const std::string note = note_text(
        units, false,
        NoteInput{"", "", "",
                  ExportDate{{},
                             "newest table export",
                             {std::chrono::year(2026), std::chrono::March, std::chrono::day(5)}},
                  local_time(2026, 3, 6, 14, 7)});
    const fs::path zip = env.dir() / "QUARNELL-2026-03-05-0123abcd.zip";
    {
        auto archive = ZipArchive::create(zip);
        ASSERT_TRUE(archive) << archive.error();
        ASSERT_TRUE(archive->begin_entry("zeros.bin", DOS_EPOCH, true));
        ASSERT_TRUE(archive->write(first.data(), first.size()));
        for (uint64_t i = 1; i < BLOCKS; ++i)
            ASSERT_TRUE(archive->write(later.data(), later.size()));
        ASSERT_TRUE(archive->write(final_block.data(), final_block.size()));
        ASSERT_TRUE(archive->end_raw_entry(SIZE, static_cast<uint32_t>(crc)));
        for (const auto& [name, text] : {std::pair<std::string, std::string>{"NOTE.txt", note},
                                         {"SHA256SUMS", sha + "  zeros.bin\r\n"}}) {
            ASSERT_TRUE(archive->begin_entry(name, DOS_EPOCH));
            ASSERT_TRUE(archive->write(text.data(), text.size()));
        }
        ASSERT_TRUE(archive->finish());
    }
    EXPECT_LT(fs::file_size(zip), SIZE / 500);

    const uint64_t before = peak_memory_bytes();
    const CheckReport report = check_delivery(zip);
    const uint64_t grew = peak_memory_bytes() - before;
    EXPECT_EQ(exit_status(report), 0) << report_text(report);
    EXPECT_EQ(report.members, 3u);
    // The reader's two 1 MiB buffers and the hashing; nothing that grows with the data.
    EXPECT_LT(grew, uint64_t{16} << 20) << grew;
    std::printf("checked %llu bytes of members; peak memory grew by %llu KiB\n",
                static_cast<unsigned long long>(SIZE), static_cast<unsigned long long>(grew >> 10));

    // Cut inside the big member's data: the directory is gone with the end.
    fs::resize_file(zip, fs::file_size(zip) / 2);
    EXPECT_EQ(exit_status(check_delivery(zip)), 2);
}

}  // namespace
}  // namespace dalvento
