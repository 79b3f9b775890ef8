#include "export_generator.h"

#include <gtest/gtest.h>

#include <cstdio>
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

#ifndef _WIN32
// GDAL's reader, which we did not write, finds every shape of the generated layer without a
// complaint, and notices a cut-off .shp just as our checks do.
TEST(ExportGenerator, OgrinfoReadsTheLayer) {
    if (std::system("ogrinfo --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ogrinfo";
    const auto ogrinfo = [](const std::filesystem::path& shp) {
        std::string out;
        FILE* pipe =
            popen(("ogrinfo -ro -al '" + dalvento::testing::text(shp) + "' 2>&1").c_str(), "r");
        char buffer[4096];
        for (size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        if (pipe) pclose(pipe);
        return out;
    };
    TempDir dir;
    ExportSpec shape;
    shape.layer_bytes = 64 << 10;
    const auto made = generate_exports(dir / "sound", shape);
    ASSERT_TRUE(made.has_value()) << made.error();
    const std::string sound = ogrinfo(made->layers_folder / "OWNER.shp");
    EXPECT_NE(sound.find("Geometry: Polygon"), std::string::npos) << sound.substr(0, 2000);
    EXPECT_NE(sound.find("Feature Count: 276"), std::string::npos) << sound.substr(0, 2000);
    EXPECT_NE(sound.find("OGRFeature(OWNER):275"), std::string::npos);
    EXPECT_EQ(sound.find("ERROR"), std::string::npos) << sound.substr(0, 2000);
    EXPECT_EQ(sound.find("Warning"), std::string::npos) << sound.substr(0, 2000);

    shape.broken = BrokenForm::shp_cut;
    const auto cut = generate_exports(dir / "cut", shape);
    ASSERT_TRUE(cut.has_value()) << cut.error();
    EXPECT_NE(ogrinfo(cut->layers_folder / "OWNER.shp").find("ERROR"), std::string::npos);
}
#endif

}  // namespace
}  // namespace dalvento::exportgen
