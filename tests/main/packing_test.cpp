#include "main/packing.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/tracking/state.h"
#include "workbench.h"

namespace dalvento::testing {
namespace {

namespace fs = std::filesystem;

TEST(Packing, ProgressText) {
    EXPECT_EQ(packing_text(0, 0), "Packing\xE2\x80\xA6 0%");
    EXPECT_EQ(packing_text(1, 3), "Packing\xE2\x80\xA6 33%");
    EXPECT_EQ(packing_text(uint64_t{1} << 62, (uint64_t{1} << 62) + 1), "Packing\xE2\x80\xA6 99%");
    EXPECT_EQ(packing_text(5, 4), "Packing\xE2\x80\xA6 100%");  // a file grew since the scan
    EXPECT_EQ(checking_text(1, 2), "Checking the zip on the stick\xE2\x80\xA6 50%");
}

// An export big enough that its packing is still running when the test looks.
struct BigBundle {
    Workbench bench;
    fs::path stick;

    BigBundle() {
        exportgen::ExportSpec shape;
        shape.table_bytes = 96u << 20;
        bench.generate(shape);
        bench.start();
        stick = bench.env.dir() / "stick";
        fs::create_directories(stick);
        bench.desktop.confirm_delivery();
        bench.desktop.folder_answers.push_back(stick);
        dispatch(bench.window,
                 Event{.kind = Event::Kind::click, .control = Control::bundle_button});
    }

    std::vector<fs::path> on_stick() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(stick))
            found.push_back(entry.path());
        return found;
    }
};

TEST(Packing, BundleRunsOffTheWindowThreadWithButtonsOffUntilTheOutcome) {
    BigBundle big;
    Workbench& bench = big.bench;
    ASSERT_TRUE(bench.window.pack_job);
    ASSERT_FALSE(bench.desktop.delivery_buttons.empty());
    EXPECT_EQ(bench.desktop.delivery_buttons.back(), std::make_pair(false, false));
    // The window still handles its events; a second Bundle or Send is ignored.
    const size_t dialogs = bench.desktop.dialogs.size();
    dispatch(bench.window, Event{.kind = Event::Kind::click, .control = Control::bundle_button});
    dispatch(bench.window, Event{.kind = Event::Kind::click, .control = Control::send_button});
    EXPECT_EQ(bench.desktop.dialogs.size(), dialogs);

    // A close answered No goes on packing.
    bench.desktop.box_answers.push_back(BoxAnswer::no);
    dispatch(bench.window, Event{.kind = Event::Kind::close});
    EXPECT_FALSE(bench.window.quit);
    EXPECT_EQ(bench.desktop.box_titles().back(), "Still packing");

    bench.desktop.box_answers.push_back(BoxAnswer::no);  // Zip ready: not shown in its folder
    std::vector<std::string> progress;
    while (bench.window.pack_job) {
        ASSERT_TRUE(bench.desktop.notices->take(std::chrono::seconds(60)));
        dispatch(bench.window, Event{.kind = Event::Kind::work_notice});
        if (bench.window.pack_job) {
            ASSERT_FALSE(bench.desktop.statuses.empty());
            progress.push_back(bench.desktop.statuses.back());
            EXPECT_EQ(bench.desktop.delivery_buttons.back(), std::make_pair(false, false));
        }
    }
    // Packing first, then the read-back from the stick (which may end before a notice shows it).
    ASSERT_FALSE(progress.empty());
    EXPECT_NE(progress.front().find("Packing\xE2\x80\xA6 "), std::string::npos) << progress.front();
    bool checking = false;
    for (const std::string& line : progress) {
        const bool now_checking =
            line.find("Checking the zip on the stick\xE2\x80\xA6 ") != std::string::npos;
        EXPECT_TRUE(now_checking ||
                    (!checking && line.find("Packing\xE2\x80\xA6 ") != std::string::npos))
            << line;
        checking = checking || now_checking;
    }
    EXPECT_EQ(bench.desktop.box_titles().back(), "Zip ready");
    EXPECT_EQ(bench.desktop.delivery_buttons.back(), std::make_pair(true, true));
    EXPECT_EQ(bench.desktop.last_summary().status_text.find("Packing"), std::string::npos);
    ASSERT_EQ(big.on_stick().size(), 1u);
    EXPECT_EQ(big.on_stick()[0].extension(), ".zip");
    EXPECT_FALSE(saved_state().sent_hash.empty());
}

TEST(Packing, CloseWhilePackingStopsItAndLeavesNoPartial) {
    BigBundle big;
    Workbench& bench = big.bench;
    ASSERT_TRUE(bench.window.pack_job);
    // Once the packing has told of its progress the partial is there.
    ASSERT_TRUE(bench.desktop.notices->take(std::chrono::seconds(60)));
    const std::vector<fs::path> partial = big.on_stick();
    ASSERT_EQ(partial.size(), 1u);
    EXPECT_EQ(partial[0].extension(), ".partial");
    bench.desktop.box_answers.push_back(BoxAnswer::yes);
    dispatch(bench.window, Event{.kind = Event::Kind::close});
    EXPECT_TRUE(bench.window.quit);
    EXPECT_FALSE(bench.window.pack_job);
    EXPECT_EQ(bench.desktop.box_titles().back(), "Still packing");
    EXPECT_TRUE(big.on_stick().empty());
    EXPECT_TRUE(saved_state().sent_hash.empty());
}

TEST(Packing, AThreadThatCannotStartIsReported) {
    Workbench bench;
    bench.generate();
    bench.start();
    bench.window.start_worker = [](std::function<void()>) -> std::expected<void, std::string> {
        return std::unexpected(std::string("Resource temporarily unavailable"));
    };
    bench.desktop.confirm_delivery();
    bench.desktop.folder_answers.push_back(bench.env.dir().path());
    bench.click(Control::bundle_button);
    EXPECT_FALSE(bench.window.pack_job);
    EXPECT_EQ(bench.desktop.box_titles().back(), "Couldn't build the zip");
    EXPECT_NE(bench.desktop.boxes.back().text.find("Resource temporarily unavailable"),
              std::string::npos);
    EXPECT_TRUE(bench.desktop.delivery_buttons.empty());  // never disabled
}

}  // namespace
}  // namespace dalvento::testing
