#include <gtest/gtest.h>

#include "core/tracking/hash_cache.h"
#include "core/tracking/state.h"
#include "main/prepare.h"
#include "workbench.h"

namespace dalvento::testing {
namespace {

TEST(DeliveryDialog, FocusStartsInTheFirstBlankBox) {
    EXPECT_EQ(dialog_focus("", ""), DialogFocus::sender);
    EXPECT_EQ(dialog_focus("  ", "2026 roll"), DialogFocus::sender);
    EXPECT_EQ(dialog_focus("Pat", ""), DialogFocus::reason);
    EXPECT_EQ(dialog_focus("Pat", " \t "), DialogFocus::reason);
    EXPECT_EQ(dialog_focus("Pat", "2026 roll"), DialogFocus::unusual);
}

TEST(DeliveryDialog, OpensPreFilledAndStoresWhatWasTyped) {
    Workbench bench;
    bench.generate();
    bench.window.state.sender = "Pat";
    bench.window.state.tax_year = "";
    bench.start();
    bench.desktop.confirm_delivery(" Lee  ", "", "typed once");
    const auto prepared = prepare_delivery(bench.window, CONFIRM_SEND);
    ASSERT_TRUE(prepared);
    ASSERT_EQ(bench.desktop.dialogs.size(), 1u);
    const DeliveryDialog& dialog = bench.desktop.dialogs[0];
    EXPECT_EQ(dialog.sender, "Pat");
    EXPECT_EQ(dialog.reason, "");
    EXPECT_EQ(dialog.focus, DialogFocus::reason);
    EXPECT_EQ(dialog.confirm_caption, "Next...");
    EXPECT_EQ(dialog.summary.substr(0, 20), "QUARNELL-2026-03-05-");
    EXPECT_NE(dialog.summary.find(".zip: 6 unit(s), about "), std::string::npos) << dialog.summary;
    EXPECT_TRUE(dialog.summary.ends_with(". Export date March 5, 2026.")) << dialog.summary;

    EXPECT_EQ(prepared->sender, " Lee  ");
    EXPECT_EQ(prepared->unusual, "typed once");
    EXPECT_FALSE(prepared->send_everything);
    EXPECT_EQ(prepared->units.size(), 6u);
    EXPECT_EQ(prepared->export_date.source, "map metadata");
    const State saved = saved_state();
    EXPECT_EQ(saved.sender, " Lee  ");
    EXPECT_EQ(saved.tax_year, "");

    // Next time the boxes are pre-filled from what was stored, the unusual box never.
    bench.window.state.tax_year = "2026 roll";
    bench.desktop.confirm_delivery();
    ASSERT_TRUE(prepare_delivery(bench.window, CONFIRM_BUNDLE));
    EXPECT_EQ(bench.desktop.dialogs[1].sender, " Lee  ");
    EXPECT_EQ(bench.desktop.dialogs[1].focus, DialogFocus::unusual);
    EXPECT_EQ(bench.desktop.dialogs[1].confirm_caption, "Bundle...");
}

TEST(DeliveryDialog, EndingsLeaveNothingChanged) {
    Workbench bench;
    bench.generate();
    bench.start();

    // Blocking problems: "Not ready yet" and no dialog.
    std::filesystem::remove(bench.exports.layers_folder / "OWNER.dbf");
    EXPECT_FALSE(prepare_delivery(bench.window, CONFIRM_SEND));
    EXPECT_EQ(bench.desktop.box_titles(), std::vector<std::string>{"Not ready yet"});
    EXPECT_EQ(bench.desktop.boxes[0].style, BoxStyle::error);
    EXPECT_TRUE(bench.desktop.dialogs.empty());

    // A dialog that cannot be built.
    Workbench again;
    again.generate();
    again.start();
    again.desktop.box_answers.push_back(BoxAnswer::yes);
    again.desktop.dialog_answers.push_back(
        std::unexpected(std::string("Error creating window handle. (os error 1400)")));
    EXPECT_FALSE(prepare_delivery(again.window, CONFIRM_BUNDLE));
    EXPECT_EQ(again.desktop.box_titles(),
              (std::vector<std::string>{"Before you send", "Couldn't open the dialog"}));
    EXPECT_EQ(again.desktop.boxes.back().text, "Error creating window handle. (os error 1400)");
    EXPECT_EQ(again.desktop.boxes.back().style, BoxStyle::error);

    // "Before you send" answered No, and closed.
    again.desktop.box_answers.push_back(BoxAnswer::no);
    EXPECT_FALSE(prepare_delivery(again.window, CONFIRM_SEND));
    again.desktop.box_answers.push_back(BoxAnswer::closed);
    EXPECT_FALSE(prepare_delivery(again.window, CONFIRM_SEND));
    EXPECT_EQ(again.desktop.boxes.back().style, BoxStyle::warning_question);
    EXPECT_EQ(again.desktop.dialogs.size(), 1u);

    // Cancelled dialog: the typed texts are not stored.
    again.desktop.box_answers.push_back(BoxAnswer::yes);
    again.desktop.dialog_answers.push_back(DialogResult{std::nullopt});
    EXPECT_FALSE(prepare_delivery(again.window, CONFIRM_SEND));
    EXPECT_EQ(saved_state().sender, again.window.state.sender);
    EXPECT_TRUE(saved_state().sent_hash.empty());
}

TEST(DeliveryDialog, NoExportDateSaysWhatToDoOnBothRoads) {
    // Only other files going: nothing carries a date to settle the export by.
    Workbench bench;
    bench.generate({}, true);
    bench.start();
    for (const DeliveryUnit& unit : bench.window.units)
        bench.window.state.include[unit.key] = !unit.core;
    bench.window.state.sender = "Pat";
    bench.window.state.token_protected = "kept";
    bench.window.token = "dlvt_x";
    ASSERT_TRUE(StateFile().save(bench.window.state));
    const std::string before = read_file(state_file_path());

    for (const Control road : {Control::bundle_button, Control::send_button}) {
        bench.desktop.log.clear();
        bench.desktop.boxes.clear();
        bench.click(road);
        EXPECT_EQ(bench.desktop.log, std::vector<std::string>{"box:No export date"});
        ASSERT_EQ(bench.desktop.boxes.size(), 1u);
        EXPECT_EQ(bench.desktop.boxes[0].style, BoxStyle::information);
        EXPECT_EQ(bench.desktop.boxes[0].text,
                  "None of the files going has a date to settle the export by, so the delivery "
                  "can't be dated or named.\n\nSelect the OWNER layer or a parcel table with the "
                  "Source buttons, or check that they are found in their folders (see the lists).");
    }
    EXPECT_EQ(read_file(state_file_path()), before);
}

TEST(DeliveryDialog, NothingNewYesThenCancelAsksAgainNextTime) {
    Workbench bench;
    bench.generate();
    bench.start();
    bench.desktop.confirm_delivery();
    auto first = prepare_delivery(bench.window, CONFIRM_BUNDLE);
    ASSERT_TRUE(first);
    record_delivery(bench.window.state, first->units, false);

    bench.desktop.boxes.clear();
    bench.desktop.box_answers.push_back(BoxAnswer::yes);
    bench.desktop.dialog_answers.push_back(DialogResult{std::nullopt});
    EXPECT_FALSE(prepare_delivery(bench.window, CONFIRM_BUNDLE));
    EXPECT_EQ(bench.desktop.box_titles(), std::vector<std::string>{"Nothing new"});
    EXPECT_EQ(bench.desktop.boxes[0].style, BoxStyle::question);
    // The summary line counts everything again when everything is sent again.
    EXPECT_NE(bench.desktop.dialogs.back().summary.find(": 6 unit(s), about"), std::string::npos);

    bench.desktop.boxes.clear();
    bench.desktop.box_answers.push_back(BoxAnswer::yes);
    bench.desktop.confirm_delivery("Pat Clerk", "2026 roll", "", false);
    const auto second = prepare_delivery(bench.window, CONFIRM_BUNDLE);
    ASSERT_TRUE(second);
    EXPECT_EQ(bench.desktop.box_titles(), std::vector<std::string>{"Nothing new"});
    EXPECT_TRUE(second->send_everything);
}

}  // namespace
}  // namespace dalvento::testing
