#include <gtest/gtest.h>

#include <thread>

#include <filesystem>

#include "core/packing/delivery_plan.h"
#include "core/packing/zip_builder.h"
#include "core/tracking/hash_cache.h"
#include "core/tracking/state.h"
#include "county/profile.h"
#include "main/layout.h"
#include "main/summary.h"
#include "workbench.h"

namespace dalvento::testing {
namespace {

namespace fs = std::filesystem;

void tick(Workbench& bench) {
    dispatch(bench.window, Event{.kind = Event::Kind::timer_tick});
}

// Writes a table again with other content and its usual field count, dated the export day.
bool rewrite_table(const fs::path& table, uint32_t seed) {
    const ProfileUnit* unit = find_profile_unit(text(table.filename()));
    if (!unit || !exportgen::write_table(table, *unit->expected_fields, 5000, seed)) return false;
    set_modified(table, export_day());
    return true;
}

// Packs and records a delivery of what is there now, as a bundle would.
void record_current(Workbench& bench) {
    render_summary(bench.window);
    record_delivery(bench.window.state, bench.window.units, false);
    render_summary(bench.window);
}

TEST(MainWindow, CreatedLoadsTheStateAndTokenRendersAndLaysOut) {
    Workbench bench;
    bench.generate();
    bench.window.state.token_protected = protect_token("dlvt_kept");
    bench.window.state.sender = "From the file";
    ASSERT_TRUE(StateFile().save(bench.window.state));
    bench.window.state = State{};
    bench.desktop.screen_dpi = 144;
    dispatch(bench.window, Event{.kind = Event::Kind::created});

    EXPECT_EQ(bench.window.state.sender, "From the file");
    EXPECT_EQ(bench.window.token, "dlvt_kept");
    EXPECT_EQ(bench.desktop.summaries.size(), 1u);
    EXPECT_EQ(bench.window.units.size(), 6u);
    ASSERT_EQ(bench.desktop.layouts.size(), 1u);
    EXPECT_EQ(bench.desktop.layouts[0].client_height, 1050);
    // No check has run yet: no "Checked at" line.
    EXPECT_EQ(bench.desktop.last_summary().status_text.find("Checked at"), std::string::npos);
}

TEST(MainWindow, AStateFileThatCannotBeReadIsNeverSavedOver) {
    {
        Workbench bench;
        // A folder in the state file's place: it is there, and cannot be read.
        fs::create_directories(state_file_path());
        dispatch(bench.window, Event{.kind = Event::Kind::created});
        ASSERT_EQ(bench.desktop.box_titles(), std::vector<std::string>{"Couldn't read settings"});
        EXPECT_EQ(bench.desktop.boxes[0].style, BoxStyle::error);
        EXPECT_TRUE(bench.desktop.boxes[0].text.starts_with(
            "Dalvento couldn't read its settings file " + text(state_file_path()) + ": "))
            << bench.desktop.boxes[0].text;
        EXPECT_TRUE(bench.window.quit);
        // What may still arrive (the activation as the box closes, a tick, a close) does nothing.
        for (const Event::Kind kind :
             {Event::Kind::refresh_notice, Event::Kind::timer_tick, Event::Kind::close}) {
            dispatch(bench.window, Event{.kind = kind});
        }
        EXPECT_EQ(bench.desktop.boxes.size(), 1u);
        EXPECT_TRUE(bench.desktop.summaries.empty());
        EXPECT_TRUE(fs::is_empty(state_file_path()));
    }
    {
        // One that cannot be parsed, nor copied aside: the start goes on with the defaults and
        // says at once that nothing is kept.
        Workbench bench;
        const std::string damaged = R"({"sender": 7, "layers_dirs": ["C:\\map"]})";
        write_file(state_file_path(), damaged);
        write_file(fs::path(text(state_file_path()) + ".unreadable") / "in the way", "x");
        dispatch(bench.window, Event{.kind = Event::Kind::created});
        EXPECT_FALSE(bench.window.quit);
        ASSERT_EQ(bench.desktop.box_titles(), std::vector<std::string>{"Couldn't save settings"});
        dispatch(bench.window, Event{.kind = Event::Kind::close});
        EXPECT_EQ(read_file(state_file_path()), damaged);
    }
}

TEST(MainWindow, TogglesRefreshNoticeAndClose) {
    Workbench bench;
    bench.start();

    bench.click(Control::toggle_tables);
    ASSERT_EQ(bench.desktop.layouts.size(), 2u);
    EXPECT_EQ(bench.window.collapsed, (std::array<bool, 3>{false, true, false}));
    EXPECT_EQ(bench.desktop.layouts.back().sections[1].toggle_text, "Show");
    EXPECT_EQ(bench.desktop.layouts.back().status_box.y, 422);
    bench.click(Control::toggle_layers);
    bench.click(Control::toggle_other);
    EXPECT_EQ(bench.desktop.layouts.back().client_height, 314);
    bench.click(Control::toggle_tables);
    EXPECT_EQ(bench.desktop.layouts.back().sections[1].toggle_text, "Hide");

    // The activation notice refreshes only while no modal window is open.
    const size_t rendered = bench.desktop.summaries.size();
    dispatch(bench.window, Event{.kind = Event::Kind::refresh_notice});
    EXPECT_EQ(bench.desktop.summaries.size(), rendered + 1);
    bench.desktop.enabled = false;
    dispatch(bench.window, Event{.kind = Event::Kind::refresh_notice});
    EXPECT_EQ(bench.desktop.summaries.size(), rendered + 1);
    // A work notice with nothing under way changes nothing.
    dispatch(bench.window, Event{.kind = Event::Kind::work_notice});
    EXPECT_EQ(bench.desktop.summaries.size(), rendered + 1);
    EXPECT_TRUE(bench.desktop.boxes.empty());

    // Close saves the State even when nothing changed, and stops the loop.
    fs::remove(state_file_path());
    dispatch(bench.window, Event{.kind = Event::Kind::close});
    EXPECT_TRUE(fs::exists(state_file_path()));
    EXPECT_TRUE(bench.window.quit);
}

TEST(MainWindow, SaveFailuresAreReportedAndTheProgramGoesOn) {
    Workbench bench;
    bench.start();
    // The state folder's place is taken by a file: nothing can be saved.
    const fs::path folder = state_file_path().parent_path();
    fs::remove_all(folder);
    write_file(folder, "in the way");
    dispatch(bench.window, Event{.kind = Event::Kind::close});
    ASSERT_EQ(bench.desktop.boxes.size(), 1u);
    EXPECT_EQ(bench.desktop.boxes[0].title, "Couldn't save settings");
    EXPECT_EQ(bench.desktop.boxes[0].style, BoxStyle::error);
    EXPECT_FALSE(bench.desktop.boxes[0].text.empty());
    EXPECT_TRUE(bench.window.quit);
}

TEST(MainWindow, ARefreshReportsTheSameSaveFailureOnceUntilASaveSucceeds) {
    Workbench bench;
    bench.start();
    const fs::path folder = state_file_path().parent_path();
    fs::remove_all(folder);
    write_file(folder, "in the way");
    // Closing the box activates the window, which refreshes: the box must not come straight back.
    for (int i = 0; i < 3; ++i)
        dispatch(bench.window, Event{.kind = Event::Kind::refresh_notice});
    ASSERT_EQ(bench.desktop.box_titles(), std::vector<std::string>{"Couldn't save settings"});

    // Once saving works again, a new failure is reported again.
    fs::remove(folder);
    dispatch(bench.window, Event{.kind = Event::Kind::refresh_notice});
    fs::remove_all(folder);
    write_file(folder, "in the way");
    dispatch(bench.window, Event{.kind = Event::Kind::refresh_notice});
    EXPECT_EQ(bench.desktop.boxes.size(), 2u);
    // Closing always says so.
    dispatch(bench.window, Event{.kind = Event::Kind::close});
    EXPECT_EQ(bench.desktop.boxes.size(), 3u);
}

TEST(MainWindow, OneSaveFailureOneBoxWhateverSavedIt) {
    Workbench bench;
    bench.generate({}, true);
    bench.window.state.other_dirs.clear();
    bench.start();
    const fs::path folder = state_file_path().parent_path();
    fs::remove_all(folder);
    write_file(folder, "in the way");
    // Adding a folder saves, then refreshes (which saves again); closing the box refreshes again.
    dispatch(bench.window, Event{.kind = Event::Kind::drop,
                                 .target = DropTarget::other_list,
                                 .paths = {bench.exports.other_folder}});
    dispatch(bench.window, Event{.kind = Event::Kind::refresh_notice});
    EXPECT_EQ(bench.desktop.box_titles(), std::vector<std::string>{"Couldn't save settings"});
    EXPECT_EQ(bench.window.state.other_dirs.size(), 1u);  // kept in memory all the same
}

TEST(MainWindow, CloseDuringASendAsksFirst) {
    Workbench bench;
    bench.start();
    RunningSend running;
    running.progress = std::make_shared<SendProgress>(nullptr);
    bench.window.send_job = std::move(running);
    fs::remove(state_file_path());

    bench.desktop.box_answers.push_back(BoxAnswer::no);
    dispatch(bench.window, Event{.kind = Event::Kind::close});
    ASSERT_EQ(bench.desktop.boxes.size(), 1u);
    EXPECT_EQ(bench.desktop.boxes[0].title, "Still sending");
    EXPECT_EQ(bench.desktop.boxes[0].style, BoxStyle::question);
    EXPECT_EQ(bench.desktop.boxes[0].text,
              "A delivery is being sent to Dalvento. If you close now the upload stops; the zip "
              "stays in the outbox and the next Send starts it again.\n\nClose anyway?");
    EXPECT_FALSE(bench.window.quit);
    EXPECT_FALSE(fs::exists(state_file_path()));

    // Yes stops the send and waits for it to end before the process may.
    const auto progress = bench.window.send_job->progress;
    std::thread sender([progress] {
        while (!progress->stop_flag())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        progress->finish(std::unexpected(SendError{.kind = SendErrorKind::stopped}));
    });
    bench.desktop.box_answers.push_back(BoxAnswer::yes);
    dispatch(bench.window, Event{.kind = Event::Kind::close});
    EXPECT_TRUE(bench.window.quit);
    EXPECT_TRUE(progress->outcome().has_value());
    EXPECT_TRUE(fs::exists(state_file_path()));
    sender.join();
}

TEST(PeriodicCheck, IdleOnlyAndItsThreeLines) {
    Workbench bench;
    bench.generate();
    bench.start();

    // A modal window open: nothing at all happens.
    bench.desktop.enabled = false;
    const size_t rendered = bench.desktop.summaries.size();
    tick(bench);
    EXPECT_EQ(bench.desktop.summaries.size(), rendered);
    EXPECT_EQ(bench.window.status_line, "");
    bench.desktop.enabled = true;

    // A first export: new, with the first-time question as the thing to look at.
    tick(bench);
    EXPECT_EQ(bench.desktop.summaries.size(), rendered + 2);
    EXPECT_EQ(bench.window.status_line,
              "Checked at 14:07: a new export is here. Something to look at first: First time "
              "for these files: OWNER, tblREProperty.txt, tblREAssessment.txt, "
              "tblREAssessmentHistory.txt, tblREImprovements.txt, tblRESales.txt; is that right?");
    EXPECT_TRUE(
        bench.desktop.last_summary().status_text.ends_with("\r\n" + bench.window.status_line));

    // Delivered: nothing new.
    record_current(bench);
    tick(bench);
    EXPECT_EQ(bench.window.status_line, "Checked at 14:07: nothing new since the last delivery.");

    // One table re-exported (same day): new, nothing to look at.
    const fs::path table = bench.exports.tables_folder / "tblRESales.txt";
    ASSERT_TRUE(rewrite_table(table, 77));
    tick(bench);
    EXPECT_EQ(bench.window.status_line,
              "Checked at 14:07: a new export is here; press Send to Dalvento.");

    // A core member gone: problems first.
    fs::remove(bench.exports.layers_folder / "OWNER.shx");
    fs::remove(bench.exports.layers_folder / "OWNER.prj");
    tick(bench);
    const size_t problems = blocking_problems(bench.window.units).size();
    ASSERT_GE(problems, 1u);
    EXPECT_EQ(bench.window.status_line, "Checked at 14:07: " + std::to_string(problems) +
                                            " problem(s) with the core files (see above).");
}

TEST(PeriodicCheck, FlashesOncePerNewExportAndOnlyInTheBackground) {
    Workbench bench;
    bench.generate();
    bench.start();

    // In the foreground: no flash, and the export is not remembered.
    bench.desktop.foreground = true;
    tick(bench);
    EXPECT_EQ(bench.desktop.flashes, 0);
    EXPECT_FALSE(bench.window.last_flashed_export);

    // In the background: one flash for this export, however many ticks see it.
    bench.desktop.foreground = false;
    tick(bench);
    tick(bench);
    tick(bench);
    EXPECT_EQ(bench.desktop.flashes, 1);
    EXPECT_EQ(bench.window.last_flashed_export, delivery_content_fingerprint(bench.window.units));

    // Nothing new: no flash.
    record_current(bench);
    tick(bench);
    EXPECT_EQ(bench.desktop.flashes, 1);

    // A newer export flashes again.
    const fs::path table = bench.exports.tables_folder / "tblREImprovements.txt";
    ASSERT_TRUE(rewrite_table(table, 5));
    tick(bench);
    EXPECT_EQ(bench.desktop.flashes, 2);
    tick(bench);
    EXPECT_EQ(bench.desktop.flashes, 2);
}

}  // namespace
}  // namespace dalvento::testing
