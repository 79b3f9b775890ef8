#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "core/packing/delivery_plan.h"
#include "core/platform/platform.h"
#include "core/tracking/hash_cache.h"
#include "core/tracking/state.h"
#include "main/bundle.h"
#include "workbench.h"

namespace dalvento::testing {
namespace {

namespace fs = std::filesystem;

#ifndef _WIN32
// Python's zipfile reads the zip and checks every member's CRC; the names it lists, one a line.
std::string names_by_python(const fs::path& zip, const fs::path& out) {
    const std::string command =
        "python3 -c 'import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "bad = z.testzip()\n"
        "sys.exit(1) if bad else None\n"
        "open(sys.argv[2], \"w\").write(\"\\n\".join(sorted(z.namelist())))' '" +
        text(zip) + "' '" + text(out) + "'";
    if (std::system(command.c_str()) != 0) return "python3 could not read " + text(zip);
    return read_file(out);
}
#endif

TEST(BundleRoad, GeneratedExportsToAZipOnDiskThenNothingNew) {
    Workbench bench;
    bench.generate({}, true);
    bench.start();
    const fs::path stick = bench.env.dir() / "stick";
    fs::create_directories(stick);
    dispatch(bench.window, Event{.kind = Event::Kind::timer_tick});
    ASSERT_NE(bench.window.status_line.find("a new export is here"), std::string::npos);

    bench.desktop.confirm_delivery("  Pat Clerk ", "2026 roll");
    bench.desktop.folder_answers.push_back(stick);
    bench.desktop.box_answers.push_back(BoxAnswer::yes);  // show it in its folder
    bench.click(Control::bundle_button);

    // The preparation asked before it went on, and the dialog said which button confirms.
    ASSERT_EQ(bench.desktop.dialogs.size(), 1u);
    EXPECT_EQ(bench.desktop.dialogs[0].confirm_caption, "Bundle...");
    ASSERT_EQ(bench.desktop.folder_requests.size(), 1u);
    EXPECT_EQ(bench.desktop.folder_requests[0].which, FolderDialog::zip_destination);
    EXPECT_FALSE(bench.desktop.folder_requests[0].start);  // first bundle: wherever it likes

    std::vector<fs::path> zips;
    for (const auto& entry : fs::directory_iterator(stick))
        zips.push_back(entry.path());
    ASSERT_EQ(zips.size(), 1u);
    const fs::path zip = zips[0];
    EXPECT_EQ(zip.extension(), ".zip");

    ASSERT_EQ(bench.desktop.box_titles(),
              (std::vector<std::string>{"Before you send", "Zip ready"}));
    const ShownBox& ready = bench.desktop.boxes.back();
    EXPECT_EQ(ready.style, BoxStyle::information_question);
    ASSERT_EQ(bench.desktop.clipboard.size(), 1u);
    const std::string fingerprint = bench.desktop.clipboard[0];
    EXPECT_EQ(fingerprint.size(), 64u);
    EXPECT_EQ(fingerprint.find_first_not_of("0123456789abcdef"), std::string::npos);
    // 6 layer members and 5 tables; the other files start unselected.
    EXPECT_EQ(ready.text, "Saved " + text(zip) + "\n\n11 files, " + size_text(fs::file_size(zip)) +
                              "\nFingerprint (SHA-256, copied to clipboard): " + fingerprint +
                              "\nRead back from " + text(stick) +
                              " and checked.\n\nNext: send it with Send to Dalvento, or hand "
                              "over the USB stick.\n\nShow it in its folder?");
    EXPECT_EQ(bench.desktop.explorer_arguments, (std::vector<std::string>{"/select," + text(zip)}));
    // What the check called new has been packed: its line is gone.
    EXPECT_EQ(bench.window.status_line, "");
    EXPECT_EQ(bench.desktop.last_summary().status_text.find("Checked at"), std::string::npos);

    // Recorded: the units show as unchanged, the zip folder is remembered, sender as typed.
    const State saved = saved_state();
    EXPECT_EQ(saved.out_dir, text(stick));
    EXPECT_EQ(saved.sender, "  Pat Clerk ");
    EXPECT_EQ(saved.tax_year, "2026 roll");
    EXPECT_TRUE(saved.last_sent_at);
    EXPECT_EQ(saved.sent_hash.size(), 6u);
    for (const DeliveryUnit& unit : bench.window.units) {
        if (unit.total_bytes && unit.selected) {
            EXPECT_TRUE(unit.unchanged) << unit.key;
        }
    }
    EXPECT_EQ(bench.desktop.last_summary().send_enabled, std::optional<bool>(true));

#ifndef _WIN32
    const std::string names = names_by_python(zip, bench.env.dir() / "names.txt");
    EXPECT_NE(names.find("NOTE.txt"), std::string::npos) << names;
    EXPECT_NE(names.find("SHA256SUMS"), std::string::npos) << names;
    EXPECT_NE(names.find("OWNER.shp"), std::string::npos) << names;
    EXPECT_NE(names.find("tblREProperty.txt"), std::string::npos) << names;
#endif
    // Under Wine this program cannot start python3; the zip builder's own tests check its zips
    // with Python's zipfile on both builds, and the Linux run of this test checks this one.

    // The second bundle with nothing changed asks "Nothing new"; No stops before anything.
    bench.desktop.boxes.clear();
    bench.desktop.box_answers.push_back(BoxAnswer::no);
    bench.click(Control::bundle_button);
    EXPECT_EQ(bench.desktop.box_titles(), (std::vector<std::string>{"Nothing new"}));
    EXPECT_EQ(bench.desktop.dialogs.size(), 1u);

    // Yes packs every selected, ready unit again; the folder dialog starts where the first went.
    bench.desktop.boxes.clear();
    bench.desktop.box_answers.push_back(BoxAnswer::yes);  // nothing new: send everything
    bench.desktop.confirm_delivery("Pat Clerk", "2026 roll", "", false);
    bench.desktop.folder_answers.push_back(stick);
    bench.desktop.box_answers.push_back(BoxAnswer::no);  // don't show the folder
    bench.desktop.clipboard_refusal = "another program is using the clipboard";
    bench.click(Control::bundle_button);
    EXPECT_EQ(bench.desktop.box_titles(), (std::vector<std::string>{"Nothing new", "Zip ready"}));
    // The clipboard refused: the box says so instead of claiming the copy.
    const std::string& again = bench.desktop.boxes.back().text;
    const size_t at = again.find("\nFingerprint (SHA-256): ");
    ASSERT_NE(at, std::string::npos) << again;
    EXPECT_EQ(again.substr(at + 24 + 64),
              "\n(Couldn't copy it to the clipboard: another program is using the clipboard.)"
              "\nRead back from " +
                  text(stick) +
                  " and checked.\n\nNext: send it with Send to Dalvento, or hand over the USB "
                  "stick.\n\nShow it in "
                  "its folder?");
    ASSERT_EQ(bench.desktop.folder_requests.size(), 2u);
    EXPECT_EQ(bench.desktop.folder_requests[1].start, std::optional<fs::path>(stick));
    EXPECT_NE(bench.desktop.dialogs.back().summary.find(": 6 unit(s), about "), std::string::npos)
        << bench.desktop.dialogs.back().summary;
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(stick))
        ++count;
    EXPECT_EQ(count, 2u);  // the same name is taken, so the second is "-2"
    EXPECT_EQ(bench.desktop.explorer_arguments.size(), 1u);
}

TEST(BundleRoad, ZipThatCannotBeWrittenLeavesNothingChanged) {
    Workbench bench;
    bench.generate();
    bench.start();
    const State before = saved_state();

    // A destination that is a file, not a folder: nothing can be written inside it.
    const fs::path not_a_folder = bench.env.dir() / "full-stick";
    write_file(not_a_folder, "x");
    bench.desktop.confirm_delivery();
    bench.desktop.folder_answers.push_back(not_a_folder);
    bench.click(Control::bundle_button);

    ASSERT_EQ(bench.desktop.box_titles(),
              (std::vector<std::string>{"Before you send", "Couldn't build the zip"}));
    const ShownBox& box = bench.desktop.boxes.back();
    EXPECT_EQ(box.style, BoxStyle::error);
    const std::string tail =
        "\n\nIf a file is open in ArcGIS Pro or another program, close it and try again.";
    ASSERT_GT(box.text.size(), tail.size());
    EXPECT_EQ(box.text.substr(box.text.size() - tail.size()), tail);
    EXPECT_NE(box.text.find("full-stick"), std::string::npos) << box.text;

    // Only the dialog's texts were stored; no record, no zip folder, nothing on the clipboard.
    State after = saved_state();
    EXPECT_TRUE(after.sent_hash.empty());
    EXPECT_FALSE(after.out_dir);
    EXPECT_FALSE(after.last_sent_at);
    EXPECT_TRUE(bench.desktop.clipboard.empty());
    EXPECT_EQ(after.sender, "Pat Clerk");
    after.sender = before.sender;
    after.tax_year = before.tax_year;
    after.hash_cache = before.hash_cache;
    EXPECT_EQ(after, before);
}

// A stick that gives back other bytes than were written (a failing one, or one smaller than it
// claims), or none at all: the zip goes, and nothing is recorded.
TEST(BundleRoad, AZipThatDoesNotReadBackTheSameIsDeletedAndNotRecorded) {
    // What a stick pulled during the read gives: ERROR_DEVICE_NOT_CONNECTED, or EIO.
#ifdef _WIN32
    constexpr int PULLED = 1167;
#else
    constexpr int PULLED = 5;
#endif
    struct Case {
        const char* what;
        platform::DeviceReadHook device;
        std::string reason;
    };
    const Case cases[] = {
        {"other bytes",
         [](uint64_t offset, unsigned char* data, size_t size) {
             if (offset == 0 && size > 40) data[40] ^= 0x20;
             return std::optional<platform::OsError>();
         },
         ""},
        {"a read that fails",
         [](uint64_t, unsigned char*, size_t) {
             return std::optional<platform::OsError>({PULLED, platform::os_error_text(PULLED)});
         },
         ": " + platform::os_error_text(PULLED)},
    };
    for (const Case& c : cases) {
        Workbench bench;
        bench.generate();
        bench.start();
        const State before = saved_state();
        const fs::path stick = bench.env.dir() / "stick";
        fs::create_directories(stick);
        bench.desktop.confirm_delivery();
        bench.desktop.folder_answers.push_back(stick);
        platform::set_device_read_hook(c.device);
        bench.click(Control::bundle_button);
        platform::set_device_read_hook({});

        ASSERT_EQ(
            bench.desktop.box_titles(),
            (std::vector<std::string>{"Before you send", "The zip didn't read back the same"}))
            << c.what;
        EXPECT_EQ(bench.desktop.boxes.back().style, BoxStyle::error);
        EXPECT_EQ(bench.desktop.boxes.back().text,
                  "The zip on " + text(stick) + " doesn't match what was written" + c.reason +
                      ". The stick may be failing or smaller than it claims. Try another stick, "
                      "or save to another folder.")
            << c.what;
        std::printf("%s\n", bench.desktop.boxes.back().text.c_str());
        EXPECT_TRUE(fs::is_empty(stick)) << c.what;
        EXPECT_TRUE(bench.desktop.clipboard.empty()) << c.what;
        State after = saved_state();
        EXPECT_TRUE(after.sent_hash.empty()) << c.what;
        EXPECT_FALSE(after.out_dir) << c.what;
        EXPECT_FALSE(after.last_sent_at) << c.what;
        EXPECT_EQ(bench.desktop.delivery_buttons.back(), std::make_pair(true, true)) << c.what;
    }
}

TEST(BundleRoad, CancelledFolderDialogWritesNothing) {
    Workbench bench;
    bench.generate();
    bench.start();
    bench.desktop.confirm_delivery();
    bench.desktop.folder_answers.push_back(std::nullopt);
    bench.click(Control::bundle_button);
    EXPECT_EQ(bench.desktop.box_titles(), (std::vector<std::string>{"Before you send"}));
    EXPECT_TRUE(saved_state().sent_hash.empty());
    EXPECT_TRUE(bench.desktop.clipboard.empty());
}

}  // namespace
}  // namespace dalvento::testing
