#include "core/packing/note.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace dalvento {
namespace {

using dalvento::testing::IsolatedEnvironment;
using dalvento::testing::local_time;
using dalvento::testing::unit_of_files;

UnitFile member(std::string name, uint64_t bytes, std::optional<Time> modified) {
    return {.name = std::move(name),
            .path = {},
            .sha256 = std::nullopt,
            .bytes = bytes,
            .modified = modified};
}

NoteInput input() {
    return {.sender = "  Dana Whitlock\t",
            .tax_year = "2026 roll ",
            .unusual = "",
            .export_date = {.warnings = {},
                            .source = "newest table export",
                            .date = std::chrono::year_month_day{std::chrono::year(2026),
                                                                std::chrono::March,
                                                                std::chrono::day(5)}},
            .packed_at = local_time(2026, 3, 5, 14, 7, 31)};
}

std::vector<std::string> crlf_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "text does not end in CRLF";
    return lines;
}

// Every line feed is part of a CRLF.
bool only_crlf(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return false;
    }
    return true;
}

TEST(Note, RealisticDelivery) {
    IsolatedEnvironment env;
    const Time morning = local_time(2026, 3, 5, 9, 30, 59);
    std::vector<DeliveryUnit> units;

    // The layer is unchanged since the last delivery and stays out.
    units.push_back(
        unit_of_files("OWNER", UnitKind::layer, true,
                      {member("OWNER.shp", 10, morning), member("OWNER.shx", 10, morning),
                       member("OWNER.dbf", 10, morning), member("OWNER.prj", 10, morning),
                       member("OWNER.shp.xml", 10, morning)}));
    units.back().unchanged = true;
    units.back().sha256 = std::string(64, 'a');
    units.back().last_sent = local_time(2026, 2, 1, 16, 45);

    units.push_back(
        unit_of_files("tblREAssessment.txt", UnitKind::table, true,
                      {member("tblREAssessment.txt", 1234, local_time(2026, 3, 5, 9, 30))}));
    units.push_back(unit_of_files("tblRESales.txt", UnitKind::table, true,
                                  {member("tblRESales.txt", 0, std::nullopt)}));

    // Unchanged without a fingerprint or a last delivery on record.
    units.push_back(unit_of_files("tblREAssessmentHistory.txt", UnitKind::table, true,
                                  {member("tblREAssessmentHistory.txt", 5, morning)}));
    units.back().unchanged = true;

    DeliveryUnit improvements = unit_of_files("tblREImprovements.txt", UnitKind::table, true,
                                              {member("tblREImprovements.txt", 7, morning)});
    improvements.selected = false;
    improvements.messages = {{"is empty", true}};
    units.push_back(improvements);

    DeliveryUnit missing;
    missing.key = "tblREProperty.txt";
    missing.core = true;
    missing.kind = UnitKind::table;
    units.push_back(missing);  // a placeholder is never listed

    const std::string long_name = "Parcel_review_notes_2026Q1.txt";  // 30 characters
    ASSERT_EQ(long_name.size(), 30u);
    units.push_back(unit_of_files(long_name, UnitKind::file, false,
                                  {member(long_name, 123456789012, morning)}));
    units.push_back(unit_of_files("Übersicht.pdf", UnitKind::file, false,
                                  {member("Übersicht.pdf", 42, local_time(2025, 12, 31, 23, 59))}));

    DeliveryUnit broken =
        unit_of_files("scan.tif", UnitKind::file, false, {member("scan.tif", 9, morning)});
    broken.messages = {{"cannot be read", true}, {"looks short", false}, {"is locked", true}};
    units.push_back(broken);

    const std::string note = note_text(units, false, input());
    EXPECT_TRUE(only_crlf(note));
    EXPECT_EQ(crlf_lines(note),
              (std::vector<std::string>{
                  "Quarnell County Valdex data delivery",
                  "",
                  "Sent by: Dana Whitlock",
                  "Exported: March 5, 2026 (from newest table export)",
                  "Tax year / roll: 2026 roll",
                  "Anything unusual: nothing noted",
                  "Packed: 2026-03-05 14:07",
                  "",
                  "Files:",
                  "  tblREAssessment.txt                  1234 bytes  modified 2026-03-05 09:30",
                  "  tblRESales.txt                          0 bytes  modified ",
                  "  Parcel_review_notes_2026Q1.txt 123456789012 bytes  modified 2026-03-05 09:30"
                  "  (extra)",
                  "  Übersicht.pdf                          42 bytes  modified 2025-12-31 23:59"
                  "  (extra)",
                  "",
                  "Not included, identical to the copy already delivered (SHA-256, last sent):",
                  "  OWNER (layer, 5 files)       " + std::string(64, 'a') + "  2026-02-01 16:45",
                  "  tblREAssessmentHistory.txt   ?  ",
                  "",
                  "Not included, not selected:",
                  "  tblREImprovements.txt",
                  "",
                  "Not included, has a problem:",
                  "  scan.tif: cannot be read",
                  "  scan.tif: is locked",
                  "",
                  "Packed by Dalvento 0.2.0",
              }));
}

TEST(Note, SendEverythingAndEmptyDeliveries) {
    IsolatedEnvironment env;
    std::vector<DeliveryUnit> units = {unit_of_files("tblRESales.txt", UnitKind::table, true,
                                                     {member("tblRESales.txt", 3, std::nullopt)})};
    units[0].unchanged = true;
    units[0].last_sent = local_time(2026, 2, 1);
    NoteInput in = input();
    in.sender = "  ";
    in.tax_year = "";
    in.unusual = " Two parcels were merged. ";

    const std::string header =
        "Quarnell County Valdex data delivery\r\n\r\n"
        "Sent by: (not given)\r\n"
        "Exported: March 5, 2026 (from newest table export)\r\n"
        "Tax year / roll: (not given)\r\n"
        "Anything unusual: Two parcels were merged.\r\n"
        "Packed: 2026-03-05 14:07\r\n\r\nFiles:\r\n";
    EXPECT_EQ(note_text(units, true, in),
              header +
                  "  tblRESales.txt                          3 bytes  modified \r\n"
                  "\r\nPacked by Dalvento 0.2.0\r\n");

    // Nothing goes: the heading is followed directly by the sections.
    EXPECT_EQ(note_text(units, false, in),
              header +
                  "\r\nNot included, identical to the copy already delivered (SHA-256, last "
                  "sent):\r\n  tblRESales.txt               ?  2026-02-01 12:00\r\n"
                  "\r\nPacked by Dalvento 0.2.0\r\n");
    EXPECT_EQ(note_text({}, false, in), header + "\r\nPacked by Dalvento 0.2.0\r\n");
}

TEST(Note, Sha256SumsLine) {
    const std::string sum(64, 'f');
    EXPECT_EQ(sha256sums_line(sum, "Übersicht.pdf"), sum + "  Übersicht.pdf\r\n");
}

}  // namespace
}  // namespace dalvento
