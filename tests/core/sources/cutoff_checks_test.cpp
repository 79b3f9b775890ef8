// The checks that catch a cut-off export, run through the unit checks on generated exports and on
// shapefile sets written by GIS software we did not write.
#include "core/sources/cutoff_checks.h"

#include <gtest/gtest.h>

#include "core/sources/scan.h"
#include "export_generator.h"
#include "layer_fixtures.h"

namespace dalvento {
namespace {

using testing::TempDir;
using testing::write_file;

TEST(CutoffChecks, RealShapefileSetsGetNoCutOffMessage) {
    State state;
    const DeliveryUnit nc = check_layer_unit(
        "nc", nullptr, real_sets(),
        set_members(real_sets(), "nc", {".dbf", ".prj", ".shp", ".shx"}), false, state);
    EXPECT_EQ(nc.messages, (Messages{{NO_CPG, false}}));
    const DeliveryUnit storms = check_layer_unit(
        "storms_xyzm_feature", nullptr, real_sets(),
        set_members(real_sets(), "storms_xyzm_feature", {".dbf", ".shp", ".shx"}), false, state);
    EXPECT_EQ(storms.messages, (Messages{{"missing .prj", true}, {NO_CPG, false}}));
}

// Every broken form the generator writes, on its export and (for the layer forms) on a real set:
// the landed messages stay, the new ones follow.
TEST(CutoffChecks, CutOffExportsAreCaught) {
    using exportgen::BrokenForm;
    struct Case {
        bool real_set;
        BrokenForm form;
        Messages layer;
        Messages table;  // tblREProperty.txt of the generated export
    };
    const auto problem = [](std::string text) { return UnitMessage{std::move(text), true}; };
    const auto cut_off = [](std::string what) {
        return UnitMessage{what + "; the export looks cut off. Export the layer again.", true};
    };
    const auto last_line = [](std::string counts) {
        return UnitMessage{
            "the last line has " + counts + "; if the export was cut off, export it again.", false};
    };
    // The generated layer: 276 polygons, .shp 37,636 bytes, .shx 2,308, .dbf 25,797 and its
    // end-of-file byte. The real set: 100 polygons, .shp 46,196 bytes, .shx 900, .dbf 43,881.
    const std::vector<Case> cases = {
        {false, BrokenForm::none, {}, {}},
        {false,
         BrokenForm::shp_cut,
         {cut_off("OWNER.shp is shorter than its header says (37,572 of 37,636 bytes)")},
         {}},
        {false,
         BrokenForm::shx_cut,
         {cut_off("OWNER.shx is shorter than its header says (2,304 of 2,308 bytes)")},
         {}},
        {false,
         BrokenForm::dbf_cut,
         {cut_off("OWNER.dbf is shorter than its header says (25,750 of 25,797 bytes)")},
         {}},
        {false,
         BrokenForm::dbf_records_dropped,
         {cut_off("OWNER.dbf holds 249 records but OWNER.shx indexes 276 shapes")},
         {}},
        {false,
         BrokenForm::shp_bad_length,
         {problem("OWNER.shp is longer than its header says (37,636 bytes, the header says "
                  "37,508); the export may not have finished. Export the layer again.")},
         {}},
        {false,
         BrokenForm::shx_bad_file_code,
         {problem("OWNER.shx doesn't start like a shapefile (file code 0, not 9994); the file is "
                  "damaged. Export the layer again.")},
         {}},
        {false,
         BrokenForm::shx_other_shape_type,
         {problem("OWNER.shp holds polygons but OWNER.shx indexes points; the files don't belong "
                  "together. Export the layer again.")},
         {}},
        {false, BrokenForm::table_last_line_cut, {}, {last_line("29 fields, not 56")}},
        {false, BrokenForm::table_trailer_line, {}, {last_line("1 field, not 56")}},
        {true, BrokenForm::none, {}, {}},
        {true,
         BrokenForm::shp_cut,
         {cut_off("nc.shp is shorter than its header says (45,956 of 46,196 bytes)")},
         {}},
        {true,
         BrokenForm::shx_cut,
         {cut_off("nc.shx is shorter than its header says (896 of 900 bytes)")},
         {}},
        {true,
         BrokenForm::dbf_cut,
         {cut_off("nc.dbf is shorter than its header says (43,664 of 43,881 bytes)")},
         {}},
        {true,
         BrokenForm::dbf_records_dropped,
         {cut_off("nc.dbf holds 90 records but nc.shx indexes 100 shapes")},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.real_set ? "real set, " : "generated, ") +
                     std::string(exportgen::broken_form_name(c.form)));
        TempDir dir;
        State state;
        if (c.real_set) {
            std::vector<MemberFile> members =
                set_members(dir.path(), "nc", {".cpg", ".dbf", ".prj", ".shp", ".shx"});
            for (const MemberFile& m : members) {
                if (m.name != "nc.cpg") {
                    std::filesystem::copy_file(real_sets() / platform::path_from_text(m.name),
                                               m.path);
                }
            }
            write_file(dir / "nc.cpg", "UTF-8");
            if (c.form != BrokenForm::none) {
                const auto broken = exportgen::break_layer(dir.path(), "nc", c.form);
                ASSERT_TRUE(broken.has_value()) << broken.error();
            }
            EXPECT_EQ(check_layer_unit("nc", nullptr, dir.path(), members, false, state).messages,
                      c.layer);
            continue;
        }
        exportgen::ExportSpec shape;
        shape.layer_bytes = 64 << 10;
        shape.broken = c.form;
        const auto made = exportgen::generate_exports(dir.path(), shape);
        ASSERT_TRUE(made.has_value()) << made.error();
        state.layers_dirs = {testing::text(made->layers_folder)};
        state.tables_dirs = {testing::text(made->tables_folder)};
        const auto units = scan_sources(state);
        ASSERT_EQ(units[0].key, "OWNER");
        ASSERT_EQ(units[1].key, "tblREProperty.txt");
        EXPECT_EQ(units[0].messages, c.layer);
        EXPECT_EQ(units[1].messages, c.table);
        for (size_t i = 2; i < 6; ++i)
            EXPECT_TRUE(units[i].messages.empty()) << units[i].key;
    }
}

// An index that names more than the other files hold: each file sound on its own, the set not.
TEST(CutoffChecks, IndexOutOfStepWithTheShapesAndRecords) {
    TempDir dir;
    State state;
    std::string shx = testing::empty_layer_member("shx");
    shx[27] = 54;                                   // 108 bytes: the header and one entry
    shx += std::string("\0\0\0\x32\0\0\0\x40", 8);  // at word 50, 64 words long
    auto members = layer_files(dir.path(), {{"OWNER.shp", testing::empty_layer_member("shp")},
                                            {"OWNER.shx", shx},
                                            {"OWNER.dbf", testing::empty_layer_member("dbf")},
                                            {"OWNER.prj", "p"},
                                            {"OWNER.cpg", "c"}});
    EXPECT_EQ(check_layer_unit("OWNER", owner(), dir.path(), members, false, state).messages,
              (Messages{{"OWNER.shx indexes shapes past the end of OWNER.shp (the last ends at "
                         "byte 236 of 100); the export looks cut off. Export the layer again.",
                         true},
                        {"OWNER.dbf holds 0 records but OWNER.shx indexes 1 shape; the export "
                         "looks cut off. Export the layer again.",
                         true}}));
}

}  // namespace
}  // namespace dalvento
