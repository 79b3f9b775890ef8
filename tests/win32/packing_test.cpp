// Packing under the real main window: the window answers while a large zip is packed, and a
// close during packing, answered Yes, leaves no partial zip.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "core/sources/scan.h"
#include "core/tracking/state.h"
#include "export_generator.h"
#include "main/packing.h"
#include "main/win32/main_desktop.h"
#include "main/win32/win32_ui.h"
#include "main_frame.h"
#include "support/test_support.h"
#include "window_probe.h"

namespace dalvento::win32 {
namespace {

namespace fs = std::filesystem;
using testing::IsolatedEnvironment;

// The main window over an export of about 80 MiB of tables, and a packing of all of it.
struct PackingFrame {
    PackingFrame() {
        EXPECT_TRUE(register_window_classes());
        make_default_font();
        exportgen::ExportSpec shape;
        shape.table_bytes = 80u << 20;
        auto made = exportgen::generate_exports(env.dir() / "exports", shape);
        EXPECT_TRUE(made) << made.error();
        State state;
        state.layers_dirs = {testing::text(made->layers_folder)};
        state.tables_dirs = {testing::text(made->tables_folder)};
        EXPECT_TRUE(StateFile().save(state));
        EXPECT_TRUE(desktop.build());
        desktop.bind(model);
        fs::create_directories(out);
    }

    void start(const fs::path& zip) {
        PackRequest request;
        request.units = scan_sources(model.state);
        for (DeliveryUnit& unit : request.units)
            unit.selected = true;
        request.note = "note";
        request.zip_path = zip;
        start_packing(model, std::move(request),
                      [this](MainWindow&, const ZipResult& zip) { packed = zip.path; });
    }

    std::string status() const { return probe::shown_text(desktop.control(ID_STATUS_BOX)); }

    IsolatedEnvironment env;
    MainDesktop desktop;
    MainWindow model{desktop};
    fs::path out = env.dir() / "out";
    std::optional<fs::path> packed;
};

TEST(Packing, TheMainWindowAnswersWhileALargeZipIsPacked) {
    PackingFrame frame;
    HWND main = frame.desktop.window();
    frame.model.state = testing::saved_state();
    frame.start(frame.out / "big.zip");
    ASSERT_TRUE(frame.model.pack_job);
    EXPECT_FALSE(IsWindowEnabled(frame.desktop.control(ID_BUNDLE)));
    EXPECT_FALSE(IsWindowEnabled(frame.desktop.control(ID_SEND)));

    // Another thread asks the window for an answer, again and again, as Windows does before it
    // calls a window "Not Responding".
    std::atomic<bool> packing = true;
    std::atomic<long long> slowest_ms = 0;
    std::atomic<int> answers = 0, unanswered = 0;
    std::thread asker([&] {
        while (packing) {
            DWORD_PTR result = 0;
            const auto sent = std::chrono::steady_clock::now();
            if (SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result) == 0) {
                ++unanswered;
            } else {
                ++answers;
            }
            const long long took = std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - sent)
                                       .count();
            slowest_ms = std::max(slowest_ms.load(), took);
            Sleep(20);
        }
    });
    std::vector<std::string> shown;
    const bool ended = pump_until(
        [&] {
            const std::string status = frame.status();
            if (shown.empty() || shown.back() != status) shown.push_back(status);
            return !frame.model.pack_job;
        },
        300000);
    packing = false;
    asker.join();
    ASSERT_TRUE(ended);

    ASSERT_TRUE(frame.packed);
    EXPECT_EQ(*frame.packed, frame.out / "big.zip");
    EXPECT_TRUE(fs::exists(frame.out / "big.zip"));
    EXPECT_EQ(unanswered, 0);
    EXPECT_GE(answers, 5);
    // Windows calls a window that has not answered for 5 s "Not Responding"; this machine is
    // shared, so a busy moment may delay an answer, but never for the packing's whole length.
    EXPECT_LT(slowest_ms, 2500);
    // The progress went by in the status box, and is gone at the end.
    const bool had_progress = std::any_of(shown.begin(), shown.end(), [](const std::string& s) {
        return s.find("Packing\xE2\x80\xA6 ") != std::string::npos;
    });
    EXPECT_TRUE(had_progress);
    EXPECT_EQ(frame.status().find("Packing"), std::string::npos) << frame.status();
    EXPECT_TRUE(IsWindowEnabled(frame.desktop.control(ID_BUNDLE)));
}

TEST(Packing, CloseDuringPackingAnsweredYesLeavesNoPartial) {
    PackingFrame frame;
    frame.model.state = testing::saved_state();
    frame.start(frame.out / "stopped.zip");
    ASSERT_TRUE(frame.model.pack_job);
    ASSERT_TRUE(pump_until([&] { return fs::exists(frame.out / "stopped.zip.partial"); }, 60000));

    static bool asked = false;
    asked = false;
    SetTimer(frame.desktop.window(), 12, 50, [](HWND window, UINT, UINT_PTR id, DWORD) {
        HWND box = FindWindowW(L"#32770", L"Still packing");
        if (!box) return;
        KillTimer(window, id);
        asked = true;
        PostMessageW(box, WM_COMMAND, IDYES, 0);
    });
    PostMessageW(frame.desktop.window(), WM_CLOSE, 0, 0);
    run_message_loop();
    EXPECT_TRUE(asked);
    EXPECT_TRUE(frame.model.quit);
    EXPECT_FALSE(frame.model.pack_job);
    EXPECT_FALSE(frame.packed);
    EXPECT_TRUE(fs::is_empty(frame.out)) << "something was left in the zip's folder";
}

}  // namespace
}  // namespace dalvento::win32
