#include <gtest/gtest.h>

#include "core/tracking/state.h"
#include "main/settings.h"
#include "workbench.h"

namespace dalvento::testing {
namespace {

int protect_calls = 0;

std::optional<std::string> counting_protect(std::string_view token) {
    ++protect_calls;
    return "blob:" + std::string(token);
}

std::optional<std::string> refusing_protect(std::string_view) {
    ++protect_calls;
    return std::nullopt;
}

struct SettingsBench : Workbench {
    SettingsBench() {
        protect_calls = 0;
        window.protect = counting_protect;
        generate();
        window.state.out_dir = "E:\\";
        window.state.include["OWNER"] = false;
        window.state.sent_hash["OWNER"] = std::string(64, 'a');
        window.state.sent_at["OWNER"] = 5;
        window.state.last_sent_at = "2026-03-01 10:00";
        window.state.tax_year = "2026 roll";
        window.state.host = "http://127.0.0.1:1";
        start();
    }
    void open(std::function<void(SettingsWindow&)> script) {
        desktop.settings_scripts.push_back(std::move(script));
        click(Control::settings_button);
    }
};

TEST(Settings, ViewFollowsTheWorkingCopy) {
    SettingsBench bench;
    bench.open([&](SettingsWindow& w) {
        EXPECT_EQ(bench.window.settings_window, &w);
        SettingsView view = w.view();
        EXPECT_EQ(view.status_line, "Office token: not set yet.");
        EXPECT_EQ(view.show_caption, "Show");
        EXPECT_FALSE(view.show_enabled);
        EXPECT_FALSE(view.remove_enabled);

        EXPECT_FALSE(w.save(" \t  "));  // only spaces: nothing changes
        EXPECT_EQ(w.view().status_line, "Office token: not set yet.");

        EXPECT_TRUE(w.save("  dlvt_abc123 \n"));
        view = w.view();
        EXPECT_EQ(view.status_line, "Office token: set.");
        EXPECT_TRUE(view.show_enabled);
        EXPECT_TRUE(view.remove_enabled);
        w.show();
        EXPECT_EQ(w.view().status_line, "Office token: dlvt_abc123");
        EXPECT_EQ(w.view().show_caption, "Hide");
        EXPECT_TRUE(w.save("dlvt_second"));  // Save hides it again
        EXPECT_EQ(w.view().status_line, "Office token: set.");
        w.show();
        w.show();
        EXPECT_EQ(w.view().show_caption, "Show");
        w.show();
        w.remove();  // and so does Remove
        EXPECT_EQ(w.view().status_line, "Office token: not set yet.");
        EXPECT_EQ(w.view().show_caption, "Show");
        w.close();
    });
    EXPECT_EQ(bench.window.settings_window, nullptr);
    // Saved then removed with no token before: nothing happened to the token.
    EXPECT_EQ(protect_calls, 0);
    EXPECT_FALSE(saved_state().token_protected);
    EXPECT_FALSE(bench.window.token);
}

TEST(Settings, TokenIsCommittedOnlyWhenTheWindowCloses) {
    SettingsBench bench;
    const size_t rendered = bench.desktop.summaries.size();
    bench.open([&](SettingsWindow& w) {
        EXPECT_TRUE(w.save("dlvt_new"));
        EXPECT_FALSE(bench.window.token);
        EXPECT_FALSE(saved_state().token_protected);
        EXPECT_EQ(protect_calls, 0);
        // Modal: a timer tick does nothing while the window is open.
        dispatch(bench.window, Event{.kind = Event::Kind::timer_tick});
        EXPECT_EQ(bench.desktop.summaries.size(), rendered);
        w.close();
        EXPECT_TRUE(w.closing());
        EXPECT_EQ(bench.window.token, "dlvt_new");
    });
    EXPECT_EQ(protect_calls, 1);
    EXPECT_EQ(saved_state().token_protected, "blob:dlvt_new");
    EXPECT_EQ(bench.desktop.summaries.size(), rendered + 1);

    // The same token again: nothing to commit. Removing it clears both copies.
    bench.open([](SettingsWindow& w) {
        EXPECT_EQ(w.view().status_line, "Office token: set.");
        w.close();
    });
    EXPECT_EQ(protect_calls, 1);
    bench.open([](SettingsWindow& w) {
        w.remove();
        w.close();
    });
    EXPECT_FALSE(bench.window.token);
    EXPECT_FALSE(saved_state().token_protected);

    // Closed without Close (the close box, or Esc): the same commit.
    bench.open([](SettingsWindow& w) { w.save("dlvt_esc"); });
    EXPECT_EQ(bench.window.token, "dlvt_esc");
}

TEST(Settings, RefusedProtectionKeepsTheOldTokenButStillResets) {
    SettingsBench bench;
    bench.window.token = "dlvt_old";
    bench.window.state.token_protected = "blob:dlvt_old";
    bench.window.protect = refusing_protect;
    bench.desktop.box_answers.push_back(BoxAnswer::yes);
    bench.open([](SettingsWindow& w) {
        w.save("dlvt_new");
        w.reset();
        EXPECT_TRUE(w.closing());
    });
    ASSERT_EQ(bench.desktop.box_titles(),
              (std::vector<std::string>{"Reset Dalvento settings?", "Couldn't keep the token"}));
    EXPECT_EQ(bench.desktop.boxes[1].text, "Windows refused to protect it; nothing was saved.");
    EXPECT_EQ(bench.desktop.boxes[1].style, BoxStyle::error);
    EXPECT_EQ(bench.window.token, "dlvt_old");
    const State saved = saved_state();
    EXPECT_EQ(saved.token_protected, "blob:dlvt_old");
    EXPECT_TRUE(saved.layers_dirs.empty());  // the reset went ahead
}

TEST(Settings, ResetAskedAndCarriedOutAfterClosing) {
    SettingsBench bench;
    bench.window.token = "dlvt_keep";
    bench.window.state.token_protected = "blob:dlvt_keep";
    bench.window.status_line = "Checked at 09:00: nothing new since the last delivery.";
    bench.window.progress_line = "Received by Dalvento at 2026-03-01 10:00.";
    bench.window.last_flashed_export = std::string(64, 'b');
    bench.window.state.include_once["tblRESales.txt"] = false;
    const State before = bench.window.state;

    // No: the window stays open and nothing changes.
    bench.desktop.box_answers.push_back(BoxAnswer::no);
    bench.desktop.box_answers.push_back(BoxAnswer::yes);
    bench.open([&](SettingsWindow& w) {
        w.reset();
        EXPECT_FALSE(w.closing());
        EXPECT_FALSE(w.reset_requested());
        EXPECT_EQ(bench.window.state, before);
        // Yes: the window closes; the reset waits until it is gone.
        w.reset();
        EXPECT_TRUE(w.closing());
        EXPECT_TRUE(w.reset_requested());
        EXPECT_EQ(bench.window.state.layers_dirs, before.layers_dirs);
    });
    ASSERT_EQ(bench.desktop.boxes.size(), 2u);
    EXPECT_EQ(bench.desktop.boxes[0].title, "Reset Dalvento settings?");
    EXPECT_EQ(bench.desktop.boxes[0].style, BoxStyle::question);
    EXPECT_EQ(bench.desktop.boxes[0].text,
              "This forgets the export folders, every selection, the name, the reason, the zip "
              "folder, and the record of what was delivered. Your office token and your export "
              "files are not touched.\n\nThe next delivery will treat every file as its first, "
              "and ask you before sending it.");

    const State saved = saved_state();
    EXPECT_TRUE(saved.layers_dirs.empty());
    EXPECT_TRUE(saved.tables_dirs.empty());
    EXPECT_TRUE(saved.include.empty());
    EXPECT_TRUE(bench.window.state.include_once.empty());
    EXPECT_TRUE(saved.sent_hash.empty());
    EXPECT_TRUE(saved.sent_at.empty());
    EXPECT_FALSE(saved.last_sent_at);
    EXPECT_FALSE(saved.out_dir);
    EXPECT_EQ(saved.tax_year, "");
    EXPECT_EQ(saved.token_protected, "blob:dlvt_keep");
    EXPECT_EQ(saved.host, before.host);
    EXPECT_EQ(saved.hash_cache, before.hash_cache);
    EXPECT_EQ(bench.window.token, "dlvt_keep");
    EXPECT_EQ(bench.window.status_line, "");
    EXPECT_EQ(bench.window.progress_line, "");
    EXPECT_FALSE(bench.window.last_flashed_export);
    // The summary after the reset shows no folders.
    EXPECT_EQ(bench.desktop.last_summary().source_button_captions[0], "Add ArcGIS Source...");
}

TEST(Settings, AWindowThatCannotBeBuiltDoesNothing) {
    SettingsBench bench;
    bench.desktop.settings_buildable = false;
    const size_t rendered = bench.desktop.summaries.size();
    bench.click(Control::settings_button);
    EXPECT_EQ(bench.desktop.settings_runs, 1);
    EXPECT_EQ(bench.desktop.summaries.size(), rendered);
    EXPECT_TRUE(bench.desktop.boxes.empty());
}

TEST(Settings, AboutLineNamesTheVersionAndCommit) {
    struct Case {
        std::string_view commit;
        bool modified;
        std::string_view line;
    };
    for (const Case& c : {
             Case{"992401c3ab12", false, "Dalvento 1.4.0, built from commit 992401c3ab12"},
             Case{"992401c3ab12", true,
                  "Dalvento 1.4.0, built from commit 992401c3ab12 with changes"},
             Case{"", false, "Dalvento 1.4.0, built from an unknown commit"},
         }) {
        EXPECT_EQ(about_line("1.4.0", c.commit, c.modified), c.line);
    }
    // The window shows this build's own line.
    SettingsBench bench;
    bench.open([&](SettingsWindow& w) {
        EXPECT_TRUE(w.view().about.starts_with("Dalvento " DALVENTO_VERSION ", built from "));
        w.close();
    });
}

TEST(Settings, PlacedOverTheMiddleOfTheMainWindow) {
    EXPECT_EQ(SettingsWindow::placement(Rect{200, 120, 940, 700}), (Rect{410, 344, 520, 252}));
}

}  // namespace
}  // namespace dalvento::testing
