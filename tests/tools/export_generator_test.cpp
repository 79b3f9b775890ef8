#include "export_generator.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>

#include "support/test_support.h"

namespace dalvento::exportgen {
namespace {

using dalvento::testing::read_file;
using dalvento::testing::TempDir;

TEST(ExportGenerator, WritesTheFullSetWithUsualFieldCounts) {
    TempDir dir;
    ExportSpec shape;
    shape.other_files = 3;
    shape.crea_date = "20240115";
    const auto made = generate_exports(dir.path(), shape);
    ASSERT_TRUE(made.has_value()) << made.error();
    for (const char* name :
         {"OWNER.shp", "OWNER.shx", "OWNER.dbf", "OWNER.prj", "OWNER.cpg", "OWNER.shp.xml"}) {
        EXPECT_TRUE(std::filesystem::exists(made->layers_folder / name)) << name;
    }
    EXPECT_NE(
        read_file(made->layers_folder / "OWNER.shp.xml").find("<CreaDate>20240115</CreaDate>"),
        std::string::npos);
    const std::string shp = read_file(made->layers_folder / "OWNER.shp");
    ASSERT_GE(shp.size(), 100u);
    EXPECT_EQ(static_cast<unsigned char>(shp[2]), 0x27);  // file code 9994, big-endian
    EXPECT_EQ(static_cast<unsigned char>(shp[3]), 0x0A);

    for (const ProfileUnit& unit : county_profile().units) {
        if (unit.kind != UnitKind::table) continue;
        std::ifstream in(made->tables_folder / std::string(unit.name), std::ios::binary);
        std::string line;
        int lines = 0;
        while (std::getline(in, line)) {
            ASSERT_TRUE(line.ends_with("\r")) << unit.name;
            EXPECT_EQ(std::count(line.begin(), line.end(), '^') + 1, *unit.expected_fields);
            ++lines;
        }
        EXPECT_GT(lines, 1) << unit.name;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(made->other_folder),
                            std::filesystem::directory_iterator()),
              3);
}

TEST(ExportGenerator, SameSeedSameBytesAndSizeFollowsTheSpec) {
    TempDir a, b;
    ExportSpec shape;
    shape.layer_bytes = 3 << 20;
    ASSERT_TRUE(generate_exports(a.path(), shape).has_value());
    ASSERT_TRUE(generate_exports(b.path(), shape).has_value());
    EXPECT_EQ(read_file(a / "arcgis/OWNER.dbf"), read_file(b / "arcgis/OWNER.dbf"));
    EXPECT_EQ(read_file(a / "parcels/tblRESales.txt"), read_file(b / "parcels/tblRESales.txt"));
    const auto layer = std::filesystem::file_size(a / "arcgis/OWNER.shp") +
                       std::filesystem::file_size(a / "arcgis/OWNER.shx") +
                       std::filesystem::file_size(a / "arcgis/OWNER.dbf");
    EXPECT_NEAR(static_cast<double>(layer), 3 << 20, 0.01 * (3 << 20));
}

}  // namespace
}  // namespace dalvento::exportgen
