#include "core/sources/scan.h"

#include <gtest/gtest.h>

#include "core/platform/platform.h"
#include "core/sources/cutoff_checks.h"
#include "export_generator.h"
#include "support/test_support.h"

namespace dalvento {
namespace {

namespace fs = std::filesystem;
using testing::IsolatedEnvironment;
using testing::text;
using testing::write_file;

constexpr const char* NOT_FOUND_AGAIN =
    "not found where it was last time; point at the folder again or clear its checkbox";

std::vector<std::string> keys(const std::vector<DeliveryUnit>& units) {
    std::vector<std::string> out;
    for (const auto& u : units)
        out.push_back(u.key);
    return out;
}

const DeliveryUnit& unit_named(const std::vector<DeliveryUnit>& units, std::string_view key) {
    for (const auto& u : units) {
        if (u.key == key) return u;
    }
    ADD_FAILURE() << "no unit " << key;
    static DeliveryUnit none;
    return none;
}

void write_owner_set(const fs::path& folder, std::string_view stem = "OWNER") {
    for (const char* ext : {"shp", "shx", "dbf"})
        write_file(folder / (std::string(stem) + "." + ext), testing::empty_layer_member(ext));
    for (const char* ext : {".prj", ".cpg"}) {
        write_file(folder / (std::string(stem) + ext), std::string(stem) + ext);
    }
}

const std::vector<std::string> CORE_TABLES = {"tblREProperty.txt", "tblREAssessment.txt",
                                              "tblREAssessmentHistory.txt", "tblREImprovements.txt",
                                              "tblRESales.txt"};

class ScanTest : public ::testing::Test {
  protected:
    fs::path dir(std::string_view name) { return env.dir() / name; }
    IsolatedEnvironment env;
    State state;
};

TEST_F(ScanTest, NothingConfiguredGivesSixPlaceholders) {
    const auto units = scan_sources(state);
    std::vector<std::string> expected = {"OWNER"};
    expected.insert(expected.end(), CORE_TABLES.begin(), CORE_TABLES.end());
    EXPECT_EQ(keys(units), expected);
    for (const auto& u : units) {
        EXPECT_FALSE(u.total_bytes.has_value());
        EXPECT_TRUE(u.core);
        EXPECT_TRUE(u.selected);
        EXPECT_FALSE(u.folder.has_value());
        ASSERT_EQ(u.messages.size(), 1u);
        EXPECT_EQ(u.messages[0], (UnitMessage{"not added yet", true}));
    }
    EXPECT_EQ(units[0].kind, UnitKind::layer);
    EXPECT_EQ(units[0].description, "parcel map");
    EXPECT_EQ(units[1].kind, UnitKind::table);
    EXPECT_EQ(units[1].description, "parcels, owners, zoning");
}

TEST_F(ScanTest, CoreLayerFirstThenOtherLayersThenPlaceholdersForMissingTables) {
    write_file(dir("maps") / "owner.shp", "shp");
    write_file(dir("maps") / "OWNER.DBF", "dbf");
    write_file(dir("maps") / "Parcels2.shp", "shp");
    write_file(dir("maps") / "notes.txt", "not a layer");
    fs::create_directories(dir("maps") / "sub.shp");  // a folder is never a member
    state.layers_dirs = {text(dir("maps"))};
    state.tables_dirs = {text(dir("tables"))};  // missing folder: passed over

    const auto units = scan_sources(state);
    std::vector<std::string> expected = {"OWNER", "Parcels2"};
    expected.insert(expected.end(), CORE_TABLES.begin(), CORE_TABLES.end());
    ASSERT_EQ(keys(units), expected);

    const DeliveryUnit& owner = units[0];
    EXPECT_TRUE(owner.core);
    EXPECT_EQ(owner.description, "parcel map");
    EXPECT_EQ(owner.folder, dir("maps"));
    ASSERT_EQ(owner.files.size(), 2u);
    EXPECT_EQ(owner.files[0].name, "OWNER.DBF");  // byte order: capitals first
    EXPECT_EQ(owner.files[1].name, "owner.shp");
    ASSERT_GE(owner.messages.size(), 2u);
    EXPECT_EQ(owner.messages[0], (UnitMessage{"missing .shx, .prj", true}));

    const DeliveryUnit& extra = units[1];
    EXPECT_FALSE(extra.core);
    EXPECT_FALSE(extra.selected);
    EXPECT_EQ(extra.description, "layer");
    EXPECT_EQ(extra.files.size(), 1u);

    for (size_t i = 2; i < units.size(); ++i) {
        ASSERT_EQ(units[i].messages.size(), 1u);
        EXPECT_EQ(units[i].messages[0], (UnitMessage{"not in the parcel folder", true}));
        EXPECT_EQ(units[i].folder, dir("tables"));
    }
}

TEST_F(ScanTest, TwoLayersFoldersTheFirstByFolderNameWins) {
    write_owner_set(dir("zeta"));
    write_owner_set(dir("alpha"));
    state.layers_dirs = {text(dir("zeta")), text(dir("alpha"))};
    const auto units = scan_sources(state);
    EXPECT_EQ(units[0].key, "OWNER");
    EXPECT_EQ(units[0].folder, dir("alpha"));
    EXPECT_EQ(units[0].files.size(), 5u);
    EXPECT_EQ(units[1].key, "tblREProperty.txt");  // the other OWNER set is dropped silently
}

TEST_F(ScanTest, LayersFoldersWithTheSameNameKeepTheirSetsApart) {
    write_owner_set(dir("a") / "exports");
    write_owner_set(dir("b") / "exports");
    write_file(dir("b") / "exports" / "OWNER.shp.lock", "");
    write_owner_set(dir("b") / "exports", "Parcels2");
    write_file(dir("b") / "exports" / "Parcels2.sr.lock", "");
    state.layers_dirs = {text(dir("b") / "exports"), text(dir("a") / "exports")};

    const auto units = scan_sources(state);
    const DeliveryUnit& owner = unit_named(units, "OWNER");
    EXPECT_EQ(owner.folder, dir("a") / "exports");
    ASSERT_EQ(owner.files.size(), 5u);  // not both sets merged into ten
    for (const auto& f : owner.files)
        EXPECT_EQ(f.path.parent_path(), dir("a") / "exports");
    EXPECT_TRUE(owner.messages.empty()) << owner.messages[0].text;  // b's lock is not a's

    const DeliveryUnit& extra = unit_named(units, "Parcels2");
    EXPECT_EQ(extra.files.size(), 5u);
    ASSERT_EQ(extra.messages.size(), 1u);
    EXPECT_EQ(extra.messages[0].text,
              "an ArcGIS lock file sits next to it; is ArcGIS Pro still open on this layer?");
    EXPECT_FALSE(extra.messages[0].blocking);
}

TEST_F(ScanTest, LockFileMarksTheLayerOfItsStem) {
    write_owner_set(dir("maps"));
    write_file(dir("maps") / "owner.shp.ABC.lock", "");
    state.layers_dirs = {text(dir("maps"))};
    const auto units = scan_sources(state);
    ASSERT_EQ(units[0].messages.size(), 1u);
    EXPECT_FALSE(units[0].messages[0].blocking);
    EXPECT_TRUE(is_ready(units[0]));
    EXPECT_EQ(units[0].files.size(), 5u);  // the lock file is no member
}

TEST_F(ScanTest, CoreTablesFromTheFirstFolderListedOtherTextFilesDropped) {
    exportgen::write_table(dir("first") / "TBLREPROPERTY.TXT", 56, 5000, 1).value();
    exportgen::write_table(dir("second") / "tblREProperty.txt", 56, 5000, 2).value();
    exportgen::write_table(dir("second") / "tblRESales.txt", 11, 5000, 3).value();
    write_file(dir("first") / "notes.txt", "a^b\n");
    state.tables_dirs = {text(dir("first")), text(dir("second"))};

    const auto units = scan_sources(state);
    const DeliveryUnit& property = unit_named(units, "tblREProperty.txt");
    EXPECT_EQ(property.folder, dir("first"));
    ASSERT_EQ(property.files.size(), 1u);
    EXPECT_EQ(property.files[0].name, "TBLREPROPERTY.TXT");
    EXPECT_TRUE(property.messages.empty());
    EXPECT_EQ(property.sha256, property.files[0].sha256);
    EXPECT_EQ(unit_named(units, "tblRESales.txt").folder, dir("second"));
    for (const auto& u : units)
        EXPECT_NE(u.key, "notes.txt");
    EXPECT_EQ(unit_named(units, "tblREAssessment.txt").messages[0].text,
              "not in the parcel folder");
    EXPECT_EQ(unit_named(units, "tblREAssessment.txt").folder, dir("first"));
}

TEST_F(ScanTest, OtherFilesSortedByNameWithKeysAndDescriptions) {
    write_file(dir("Scans") / "b.pdf", "b");
    write_file(dir("Scans") / "A.pdf", "a");
    write_file(dir("Scans") / "README", "r");
    write_file(dir("Scans") / "plan.Pdf", "p");
#ifndef _WIN32
    write_file(dir("Scans") / "trailing.", "t");  // Windows drops a trailing dot from names
#endif
    write_file(dir("Scans") / "empty.csv", "");
    write_file(dir("Scans") / "old.xlsx", "o");
    fs::create_directories(dir("Scans") / "subfolder");
    state.other_dirs = {text(dir("Scans"))};
    state.forgotten = {{"Scans/old.xlsx", true}, {"Scans/README", false}};
    state.include = {{"Scans/A.pdf", true}};

    const auto units = scan_sources(state);
    std::vector<std::string> others;
    for (const auto& u : units) {
        if (u.kind == UnitKind::file) others.push_back(u.key + "|" + u.description);
    }
    std::vector<std::string> expected = {"Scans/A.pdf|PDF file", "Scans/README|file",
                                         "Scans/b.pdf|PDF file", "Scans/empty.csv|CSV file",
                                         "Scans/plan.Pdf|PDF file"};
#ifndef _WIN32
    expected.push_back("Scans/trailing.|file");
#endif
    EXPECT_EQ(others, expected);
    EXPECT_TRUE(unit_named(units, "Scans/A.pdf").selected);
    EXPECT_FALSE(unit_named(units, "Scans/b.pdf").selected);
    const DeliveryUnit& empty = unit_named(units, "Scans/empty.csv");
    EXPECT_EQ(empty.total_bytes, 0u);
    ASSERT_EQ(empty.messages.size(), 1u);
    EXPECT_EQ(empty.messages[0], (UnitMessage{"file is empty", false}));
    EXPECT_EQ(unit_named(units, "Scans/b.pdf").folder, dir("Scans"));
}

TEST_F(ScanTest, RememberedUnitsThatAreGoneComeBackLast) {
    write_file(dir("Scans") / "x.pdf", "x");
    state.other_dirs = {text(dir("Scans"))};
    state.include = {{"Parcels9", true},  {"old.TXT", true}, {"Scans/gone.pdf", true},
                     {"Unwanted", false}, {"owner", true},   {"Scans/x.pdf", true}};
    const auto units = scan_sources(state);
    ASSERT_GE(units.size(), 3u);
    const DeliveryUnit& layer = units[units.size() - 2];
    const DeliveryUnit& table = units[units.size() - 1];
    EXPECT_EQ(layer.key, "Parcels9");
    EXPECT_EQ(layer.kind, UnitKind::layer);
    EXPECT_EQ(layer.description, "layer");
    EXPECT_TRUE(layer.selected);
    EXPECT_EQ(table.key, "old.TXT");
    EXPECT_EQ(table.kind, UnitKind::table);
    EXPECT_EQ(table.description, "table");
    for (const DeliveryUnit* u : {&layer, &table}) {
        ASSERT_EQ(u->messages.size(), 1u);
        EXPECT_EQ(u->messages[0], (UnitMessage{NOT_FOUND_AGAIN, false}));
        EXPECT_FALSE(u->total_bytes.has_value());
        EXPECT_FALSE(u->folder.has_value());
    }
    EXPECT_EQ(units[units.size() - 3].key, "Scans/x.pdf");
}

TEST_F(ScanTest, SelectionPrefersOneTimeChoicesThenRememberedThenCore) {
    exportgen::write_table(dir("t") / "tblRESales.txt", 11, 2000, 1).value();
    exportgen::write_table(dir("t") / "tblREProperty.txt", 56, 2000, 1).value();
    write_file(dir("o") / "a.pdf", "a");
    state.tables_dirs = {text(dir("t"))};
    state.other_dirs = {text(dir("o"))};
    state.include = {{"tblRESales.txt", false}, {"o/a.pdf", false}};
    state.include_once = {{"o/a.pdf", true}};
    state.sent_at = {{"tblREProperty.txt", 1700000000}, {"tblRESales.txt", -5}};
    const auto units = scan_sources(state);
    EXPECT_FALSE(unit_named(units, "tblRESales.txt").selected);
    EXPECT_TRUE(unit_named(units, "tblREProperty.txt").selected);
    EXPECT_TRUE(unit_named(units, "o/a.pdf").selected);
    EXPECT_EQ(unit_named(units, "tblREProperty.txt").last_sent,
              Time(std::chrono::seconds(1700000000)));
    EXPECT_FALSE(unit_named(units, "tblRESales.txt").last_sent.has_value());
}

TEST_F(ScanTest, WarmScanReadsOnlyTableHeadsTableEndsAndLayerHeaders) {
    exportgen::ExportSpec shape;
    shape.layer_bytes = 2 << 20;
    shape.table_bytes = 4 << 20;
    shape.other_files = 20;
    const auto made = exportgen::generate_exports(env.dir() / "export", shape).value();
    state.layers_dirs = {text(made.layers_folder)};
    state.tables_dirs = {text(made.tables_folder)};
    state.other_dirs = {text(made.other_folder)};

    const uint64_t before_cold = platform::bytes_read_total();
    const auto cold = scan_sources(state);
    const uint64_t cold_read = platform::bytes_read_total() - before_cold;
    EXPECT_GE(cold_read, made.total_bytes);  // every file hashed once

    // What the field checks may read: the first 500 lines of each table, in whole 8 KiB reads,
    // and its last 8 KiB; what the layer check may read: the headers of the one layer.
    uint64_t allowed = LAYER_CHECK_MAX_BYTES;
    for (const auto& table : CORE_TABLES) {
        const std::string content = testing::read_file(made.tables_folder / table);
        size_t end = 0;
        for (int line = 0; line < 500 && end != std::string::npos; ++line) {
            end = content.find('\n', end == 0 ? 0 : end + 1);
        }
        allowed += (end == std::string::npos ? content.size() : end) + 8192;
        allowed += std::min<uint64_t>(content.size(), TABLE_END_BYTES);
    }
    const uint64_t before_warm = platform::bytes_read_total();
    const auto warm = scan_sources(state);
    const uint64_t warm_read = platform::bytes_read_total() - before_warm;
    EXPECT_LE(warm_read, allowed);
    EXPECT_GT(warm_read, 0u);
    ASSERT_EQ(keys(warm), keys(cold));
    for (size_t i = 0; i < warm.size(); ++i)
        EXPECT_EQ(warm[i].sha256, cold[i].sha256);
    EXPECT_EQ(warm.size(), 6u + 20u);
    for (size_t i = 0; i < 6; ++i)
        EXPECT_TRUE(is_ready(warm[i])) << warm[i].key;
}

TEST(GuessSourceFolders, DroppedFilesPickTheirFolder) {
    testing::TempDir dir;
    write_file(dir / "maps" / "OWNER.dbf", "x");
    write_file(dir / "tables" / "tblRESales.txt", "x");
    write_file(dir / "docs" / "report.pdf", "x");

    auto guess = guess_source_folders({dir / "maps" / "OWNER.dbf", dir / "docs" / "report.pdf"},
                                      GuessMode::either);
    EXPECT_EQ(guess.layers_folder, dir / "maps");
    EXPECT_FALSE(guess.tables_folder.has_value());
    EXPECT_EQ(guess.not_used, std::vector<std::string>{text(dir / "docs" / "report.pdf")});

    guess = guess_source_folders({dir / "tables" / "tblRESales.txt"}, GuessMode::layers);
    EXPECT_FALSE(guess.tables_folder.has_value());
    EXPECT_EQ(guess.not_used.size(), 1u);
    guess = guess_source_folders({dir / "maps" / "OWNER.dbf"}, GuessMode::tables);
    EXPECT_FALSE(guess.layers_folder.has_value());
    EXPECT_EQ(guess.not_used.size(), 1u);
    guess = guess_source_folders({dir / "tables" / "tblRESales.txt"}, GuessMode::tables);
    EXPECT_EQ(guess.tables_folder, dir / "tables");
}

TEST(GuessSourceFolders, FoldersAreScoredWithTheirSubfolders) {
    testing::TempDir dir;
    write_file(dir / "drop" / "Parcels.shp", "x");            // an other layer scores 1
    write_file(dir / "drop" / "b-gis" / "owner.SHP", "x");    // the core layer scores 2
    write_file(dir / "drop" / "a-other" / "OWNER.dbf", "x");  // no .shp: scores 0
    write_file(dir / "drop" / "c-data" / "notes.txt", "x");   // any .txt scores 1
    write_file(dir / "drop" / "d-data" / "TBLREPROPERTY.TXT", "x");
    write_file(dir / "drop" / "e-data" / "tblRESales.txt", "x");  // ties go to the first
    auto guess = guess_source_folders({dir / "drop"}, GuessMode::either);
    EXPECT_EQ(guess.layers_folder, dir / "drop" / "b-gis");
    EXPECT_EQ(guess.tables_folder, dir / "drop" / "d-data");
    EXPECT_TRUE(guess.not_used.empty());

    guess = guess_source_folders({dir / "drop"}, GuessMode::tables);
    EXPECT_FALSE(guess.layers_folder.has_value());
    EXPECT_EQ(guess.tables_folder, dir / "drop" / "d-data");

    write_file(dir / "only-sub" / "inner" / "tblREProperty.txt", "x");
    guess = guess_source_folders({dir / "only-sub"}, GuessMode::either);
    EXPECT_EQ(guess.tables_folder, dir / "only-sub" / "inner");
    EXPECT_FALSE(guess.layers_folder.has_value());

    write_file(dir / "nothing" / "photo.jpg", "x");
    guess = guess_source_folders({dir / "nothing", dir / "drop" / "b-gis"}, GuessMode::either);
    EXPECT_EQ(guess.not_used, std::vector<std::string>{text(dir / "nothing") +
                                                       " (no map layers or parcel tables inside)"});
    EXPECT_EQ(guess.layers_folder, dir / "drop" / "b-gis");

    // A layers folder holding only tables counts as nothing found in layers mode.
    guess = guess_source_folders({dir / "drop" / "d-data"}, GuessMode::layers);
    EXPECT_EQ(guess.not_used.size(), 1u);
    EXPECT_FALSE(guess.tables_folder.has_value());
}

}  // namespace
}  // namespace dalvento
