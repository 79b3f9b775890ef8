#include "county/profile.h"

#include <gtest/gtest.h>

#include "county/delivery_unit.h"

namespace dalvento {
namespace {

TEST(Profile, QuarnellUnitsInOrder) {
    const CountyProfile& p = county_profile();
    EXPECT_EQ(p.key, "QUARNELL");
    EXPECT_EQ(p.display_name, "Quarnell County Valdex");
    ASSERT_EQ(p.units.size(), 6u);
    EXPECT_EQ(p.units[0].name, "OWNER");
    EXPECT_EQ(p.units[0].kind, UnitKind::layer);
    EXPECT_FALSE(p.units[0].expected_fields.has_value());
    const std::pair<const char*, unsigned> tables[] = {{"tblREProperty.txt", 56},
                                                       {"tblREAssessment.txt", 10},
                                                       {"tblREAssessmentHistory.txt", 10},
                                                       {"tblREImprovements.txt", 79},
                                                       {"tblRESales.txt", 11}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(p.units[i + 1].name, tables[i].first);
        EXPECT_EQ(p.units[i + 1].kind, UnitKind::table);
        EXPECT_EQ(p.units[i + 1].expected_fields, tables[i].second);
    }
    EXPECT_EQ(unit_kind_word(UnitKind::layer), "layer");
    EXPECT_EQ(unit_kind_word(UnitKind::table), "table");
    EXPECT_EQ(unit_kind_word(UnitKind::file), "file");
}

TEST(Profile, SplitLayerFileName) {
    const auto split = [](std::string_view name) {
        const auto s = split_layer_file_name(name);
        return s ? s->stem + "|" + std::string(s->extension) : std::string("-");
    };
    EXPECT_EQ(split("OWNER.shp"), "OWNER|shp");
    EXPECT_EQ(split("owner.SHX"), "owner|shx");
    EXPECT_EQ(split("OWNER.SHP.XML"), "OWNER|shp.xml");
    EXPECT_EQ(split("OWNER.shp.xml"), "OWNER|shp.xml");
    EXPECT_EQ(split("Parcels2.qix"), "Parcels2|qix");
    EXPECT_EQ(split("a.b.shp"), "-");
    EXPECT_EQ(split(".shp"), "-");
    EXPECT_EQ(split("shp"), "-");
    EXPECT_EQ(split("OWNER.shp.lock"), "-");
    EXPECT_EQ(split("OWNER.txt"), "-");
    EXPECT_EQ(split("x.shp.xml.bak"), "-");
}

TEST(Profile, FindProfileUnitIgnoresAsciiCase) {
    ASSERT_NE(find_profile_unit("owner"), nullptr);
    EXPECT_EQ(find_profile_unit("owner")->name, "OWNER");
    ASSERT_NE(find_profile_unit("TBLREPROPERTY.TXT"), nullptr);
    EXPECT_EQ(find_profile_unit("TBLREPROPERTY.TXT")->name, "tblREProperty.txt");
    EXPECT_EQ(find_profile_unit("tblREProperty"), nullptr);
    EXPECT_EQ(find_profile_unit("Parcels2"), nullptr);
    EXPECT_TRUE(is_table_file_name("notes.TXT"));
    EXPECT_TRUE(is_table_file_name(".txt"));
    EXPECT_FALSE(is_table_file_name("notes.txt.bak"));
    EXPECT_FALSE(is_table_file_name("txt"));
}

TEST(DeliveryUnit, LabelAndReadiness) {
    DeliveryUnit layer;
    layer.kind = UnitKind::layer;
    layer.key = "OWNER";
    EXPECT_EQ(unit_label(layer), "OWNER (layer)");
    layer.files.resize(1);
    EXPECT_EQ(unit_label(layer), "OWNER (layer, 1 files)");
    layer.files.resize(5);
    EXPECT_EQ(unit_label(layer), "OWNER (layer, 5 files)");
    DeliveryUnit table;
    table.kind = UnitKind::table;
    table.key = "tblRESales.txt";
    table.files.resize(1);
    EXPECT_EQ(unit_label(table), "tblRESales.txt");

    EXPECT_FALSE(is_ready(table));  // a placeholder is never ready
    table.total_bytes = 0;
    EXPECT_TRUE(is_ready(table));
    table.messages.push_back({"no .cpg file", false});
    EXPECT_TRUE(is_ready(table));
    table.messages.push_back({"file is empty", true});
    EXPECT_FALSE(is_ready(table));
}

}  // namespace
}  // namespace dalvento
