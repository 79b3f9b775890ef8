#include "core/sources/export_date.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace dalvento {
namespace {

using namespace std::chrono;
using testing::IsolatedEnvironment;
using testing::local_time;
using testing::write_file;

DeliveryUnit found_unit(std::string key, UnitKind kind, Time newest, bool core = true) {
    DeliveryUnit unit;
    unit.key = std::move(key);
    unit.kind = kind;
    unit.core = core;
    unit.selected = true;
    unit.total_bytes = 100;
    unit.newest_modified = newest;
    return unit;
}

class ExportDateTest : public ::testing::Test {
  protected:
    // A core OWNER layer whose metadata file holds the given bytes.
    DeliveryUnit owner_with_metadata(std::string_view xml, Time newest) {
        const auto path = env.dir() / "arcgis" / "OWNER.shp.xml";
        write_file(path, xml);
        DeliveryUnit owner = found_unit("OWNER", UnitKind::layer, newest);
        owner.files.push_back({"OWNER.shp", env.dir() / "arcgis" / "OWNER.shp", {}, 10, newest});
        owner.files.push_back({"OWNER.shp.xml", path, {}, xml.size(), newest});
        return owner;
    }

    IsolatedEnvironment env;
};

TEST_F(ExportDateTest, MetadataDateWinsOverFileTimes) {
    const std::vector<DeliveryUnit> units = {
        owner_with_metadata("<metadata><Esri><CreaDate>20240115</CreaDate></Esri></metadata>",
                            local_time(2024, 3, 1)),
        found_unit("tblRESales.txt", UnitKind::table, local_time(2024, 3, 2)),
    };
    const auto date = settle_export_date(units);
    ASSERT_TRUE(date.has_value());
    EXPECT_EQ(date->date, year_month_day(year(2024) / 1 / 15));
    EXPECT_EQ(date->source, "map metadata");
    EXPECT_TRUE(date->warnings.empty());  // the map side is the newest map file, 1 day apart
}

TEST_F(ExportDateTest, BrokenMetadataFallsBackToTheNewestTable) {
    const Time map_time = local_time(2024, 2, 10);
    const Time table_time = local_time(2024, 2, 11);
    for (const std::string& xml : {
             std::string("<CreaDate>2024011"),                     // seven digits, then the end
             std::string("<CreaDate>20241315</CreaDate>"),         // month 13
             std::string("<CreaDate>20240230</CreaDate>"),         // no 30 February
             std::string("<CreaDate>2024-1-5</CreaDate>"),         // not YYYYMMDD
             std::string("<CreaDate>20240115</CreaDate>\xFF"),     // not UTF-8 further on
             std::string("<CreaDate>2024011\xC3\xA9</CreaDate>"),  // a character cut in two
             std::string("<creadate>20240115</creadate>"),         // the tag is case-sensitive
         }) {
        const std::vector<DeliveryUnit> units = {
            owner_with_metadata(xml, map_time),
            found_unit("tblRESales.txt", UnitKind::table, table_time),
        };
        const auto date = settle_export_date(units);
        ASSERT_TRUE(date.has_value()) << xml;
        EXPECT_EQ(date->source, "newest table export") << xml;
        EXPECT_EQ(date->date, year_month_day(year(2024) / 2 / 11)) << xml;
    }
}

TEST_F(ExportDateTest, TagFoundAcrossReadBoundariesAndOnlyTheFirstCounts) {
    std::string xml(8190, ' ');  // the tag straddles the first 8 KiB read
    xml += "<CreaDate>20231231</CreaDate><CreaDate>20240101</CreaDate>";
    xml += std::string(20000, 'x') + "\xE2\x82\xAC";  // more valid UTF-8 after it
    const std::vector<DeliveryUnit> units = {owner_with_metadata(xml, local_time(2024, 1, 2))};
    const auto date = settle_export_date(units);
    ASSERT_TRUE(date.has_value());
    EXPECT_EQ(date->date, year_month_day(year(2023) / 12 / 31));
    EXPECT_EQ(date->source, "map metadata");
}

TEST_F(ExportDateTest, SourcesInOrderAndNothingFromOtherFiles) {
    DeliveryUnit other =
        found_unit("Scans/plan.pdf", UnitKind::file, local_time(2024, 5, 5), false);
    EXPECT_FALSE(settle_export_date({other}).has_value());

    DeliveryUnit map = found_unit("Parcels2", UnitKind::layer, local_time(2024, 5, 1), false);
    auto date = settle_export_date({map, other});
    ASSERT_TRUE(date.has_value());
    EXPECT_EQ(date->source, "newest map file");
    EXPECT_EQ(date->date, year_month_day(year(2024) / 5 / 1));

    DeliveryUnit table = found_unit("tblREProperty.txt", UnitKind::table, local_time(2024, 5, 3));
    DeliveryUnit unselected = found_unit("tblRESales.txt", UnitKind::table, local_time(2024, 5, 4));
    unselected.selected = false;
    DeliveryUnit placeholder =
        found_unit("tblREAssessment.txt", UnitKind::table, local_time(2024, 5, 9));
    placeholder.total_bytes.reset();
    date = settle_export_date({map, table, unselected, placeholder});
    ASSERT_TRUE(date.has_value());
    EXPECT_EQ(date->source, "newest table export");
    EXPECT_EQ(date->date, year_month_day(year(2024) / 5 / 3));
}

TEST_F(ExportDateTest, WarningFromFourDaysApartOnTheLocalCalendar) {
    const DeliveryUnit map = found_unit("OWNER", UnitKind::layer, local_time(2024, 1, 10, 8));
    auto date = settle_export_date(
        {map, found_unit("tblRESales.txt", UnitKind::table, local_time(2024, 1, 14, 7))});
    ASSERT_TRUE(date.has_value());
    ASSERT_EQ(date->warnings.size(), 1u);
    EXPECT_EQ(date->warnings[0],
              "the map (2024-01-10) and the tables (2024-01-14) were exported 4 days apart; is one "
              "of them from an older export?");

    date = settle_export_date(
        {map, found_unit("tblRESales.txt", UnitKind::table, local_time(2024, 1, 13, 23, 59))});
    ASSERT_TRUE(date.has_value());
    EXPECT_TRUE(date->warnings.empty());

    // Tables older than the map count the same way.
    date = settle_export_date(
        {map, found_unit("tblRESales.txt", UnitKind::table, local_time(2024, 1, 1))});
    ASSERT_EQ(date->warnings.size(), 1u);
    EXPECT_NE(date->warnings[0].find("exported 9 days apart"), std::string::npos);
}

TEST_F(ExportDateTest, DaysCountOnTheLocalCalendarNotTheClock) {
    const std::vector<DeliveryUnit> units = {
        found_unit("OWNER", UnitKind::layer, local_time(2024, 1, 10, 23, 30)),
        found_unit("tblRESales.txt", UnitKind::table, local_time(2024, 1, 11, 0, 30)),
    };
    EXPECT_EQ(newest_export_day(units, UnitKind::layer), year_month_day(year(2024) / 1 / 10));
    EXPECT_EQ(newest_export_day(units, UnitKind::table), year_month_day(year(2024) / 1 / 11));
    // 03:30 UTC on the 11th is still the 10th five hours west of UTC.
    const std::vector<DeliveryUnit> late = {found_unit(
        "OWNER", UnitKind::layer, sys_days(year(2024) / 1 / 11) + hours(3) + minutes(30))};
    EXPECT_EQ(newest_export_day(late, UnitKind::layer), year_month_day(year(2024) / 1 / 10));
}

TEST_F(ExportDateTest, UnselectingTheCoreLayerDropsMetadataAndMapSide) {
    DeliveryUnit owner =
        owner_with_metadata("<CreaDate>20240101</CreaDate>", local_time(2024, 1, 1));
    const DeliveryUnit table =
        found_unit("tblRESales.txt", UnitKind::table, local_time(2024, 1, 20));
    auto date = settle_export_date({owner, table});
    ASSERT_TRUE(date.has_value());
    EXPECT_EQ(date->source, "map metadata");
    EXPECT_EQ(date->warnings.size(), 1u);

    owner.selected = false;
    date = settle_export_date({owner, table});
    ASSERT_TRUE(date.has_value());
    EXPECT_EQ(date->source, "newest table export");
    EXPECT_EQ(date->date, year_month_day(year(2024) / 1 / 20));
    EXPECT_TRUE(date->warnings.empty());
}

TEST_F(ExportDateTest, MetadataOnlyFromTheFirstSelectedCoreLayer) {
    DeliveryUnit extra =
        owner_with_metadata("<CreaDate>20240101</CreaDate>", local_time(2024, 1, 1));
    extra.key = "Parcels2";
    extra.core = false;
    const auto date = settle_export_date({extra});
    ASSERT_TRUE(date.has_value());
    EXPECT_EQ(date->source, "newest map file");
}

}  // namespace
}  // namespace dalvento
