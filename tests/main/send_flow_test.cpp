#include <gtest/gtest.h>

#include <thread>

#include <filesystem>

#include "core/packing/delivery_plan.h"
#include "core/platform/platform.h"
#include "core/tracking/state.h"
#include "main/send_flow.h"
#include "main/settings.h"
#include "token_store/token_store.h"
#include "workbench.h"

namespace dalvento::testing {
namespace {

namespace fs = std::filesystem;

const std::string SENDING = "Sending to Dalvento\xE2\x80\xA6";

bool ends_with(const std::string& text, const std::string& tail) {
    return text.ends_with(tail);
}

SendError send_error(SendErrorKind kind, std::string text = "") {
    SendError error;
    error.kind = kind;
    error.text = std::move(text);
    return error;
}

// A workbench with generated exports whose State sends to the stand-in.
struct SendBench : Workbench {
    SendBench() {
        if (standin_service().url.empty()) return;
        EXPECT_TRUE(standin_control("POST", "/_standin/reset").is_object());
        generate();
        window.state.host = standin_service().url + "/";
    }
    // The usual answers up to the review: checks, dialog, and a token when asked.
    void answer_up_to_review(ReviewAnswer review, bool with_token = true) {
        desktop.confirm_delivery("Pat Clerk ", " 2026 roll", "renumbered 3 accounts");
        if (with_token) desktop.token_answers.push_back("  " + standin_service().token + "\n");
        desktop.review_answers.push_back(review);
    }
};

#define REQUIRE_STANDIN() \
    if (standin_service().url.empty()) FAIL() << "no stand-in: " << standin_service().problem

TEST(SendRoad, GeneratedExportsToTheStandinAndTheReceipt) {
    REQUIRE_STANDIN();
    SendBench bench;
    bench.start();
    bench.answer_up_to_review(ReviewAnswer::send);
    bench.click(Control::send_button);

    // The token prompt comes after the dialog and before the zip is built.
    EXPECT_EQ(bench.desktop.log,
              (std::vector<std::string>{"box:Before you send", "dialog", "token", "review"}));
    ASSERT_EQ(bench.desktop.dialogs.size(), 1u);
    EXPECT_EQ(bench.desktop.dialogs[0].confirm_caption, "Next...");
    EXPECT_EQ(bench.window.token, standin_service().token);
    EXPECT_EQ(unprotect_token(saved_state().token_protected.value_or("")), standin_service().token);

    // While it runs: the send button stops it, bundle is off, the progress in the status box.
    ASSERT_TRUE(bench.window.send_job);
    ASSERT_FALSE(bench.desktop.delivery_buttons.empty());
    EXPECT_EQ(bench.desktop.delivery_buttons.back(), std::make_pair(true, false));
    EXPECT_TRUE(bench.desktop.send_button_stops);
    EXPECT_EQ(bench.desktop.last_summary().send_enabled, std::nullopt);
    EXPECT_TRUE(ends_with(bench.desktop.last_summary().status_text, "\r\n" + SENDING))
        << bench.desktop.last_summary().status_text;
    const fs::path zip = bench.window.send_job->zip_path;
    const std::string fingerprint = bench.window.send_job->fingerprint;
    const std::string zip_name = bench.window.send_job->zip_name;
    EXPECT_EQ(zip.parent_path(), outbox_folder());
    EXPECT_TRUE(fs::exists(zip));

    // A second click while sending asks whether to stop; No goes on sending.
    bench.desktop.box_answers.push_back(BoxAnswer::no);
    bench.click(Control::send_button);
    EXPECT_EQ(bench.desktop.boxes.back().title, "Stop sending?");
    EXPECT_EQ(bench.desktop.boxes.back().style, BoxStyle::question_no_default);
    EXPECT_EQ(bench.desktop.dialogs.size(), 1u);
    EXPECT_TRUE(bench.window.send_job);
    // So is the periodic check.
    const size_t summaries = bench.desktop.summaries.size();
    dispatch(bench.window, Event{.kind = Event::Kind::timer_tick});
    EXPECT_EQ(bench.desktop.summaries.size(), summaries);

    // Progress notices touch the status box's last line only: no rescan, no save. The outcome
    // renders the whole summary once.
    const std::string before_progress = bench.desktop.last_summary().status_text;
    const std::string without_progress = before_progress.substr(0, before_progress.rfind("\r\n"));
    bench.desktop.statuses.clear();  // those of the packing
    ASSERT_TRUE(pump_send(bench.window, bench.desktop));
    EXPECT_EQ(bench.desktop.summaries.size(), summaries + 1);
    ASSERT_FALSE(bench.desktop.statuses.empty());
    for (const std::string& status : bench.desktop.statuses) {
        EXPECT_EQ(status.substr(0, without_progress.size() + 2 + SENDING.size()),
                  without_progress + "\r\n" + SENDING)
            << status;
    }

    EXPECT_EQ(bench.desktop.delivery_buttons.back(), std::make_pair(true, true));
    EXPECT_FALSE(bench.desktop.send_button_stops);
    ASSERT_EQ(bench.desktop.boxes.back().title, "Received");
    EXPECT_EQ(bench.desktop.boxes.back().style, BoxStyle::information);
    ASSERT_EQ(bench.desktop.clipboard.size(), 1u);
    const std::string& copied = bench.desktop.clipboard[0];
    EXPECT_EQ(copied.substr(0, zip_name.size() + 10), zip_name + "\n11 files,");
    EXPECT_TRUE(ends_with(copied, "\nFingerprint (SHA-256): " + fingerprint)) << copied;
    const std::string& text = bench.desktop.boxes.back().text;
    EXPECT_EQ(text.substr(0, 26), "Received by Dalvento at 20");
    EXPECT_NE(text.find(".\n\n" + copied +
                        "\n\n(Receipt copied to the clipboard.) That's the delivery done."),
              std::string::npos)
        << text;
    EXPECT_EQ(bench.window.progress_line, text.substr(0, text.find('\n')));

    // The zip is gone from the outbox, the delivery recorded, the units no longer changed.
    EXPECT_FALSE(fs::exists(zip));
    EXPECT_TRUE(bench.outbox_zips().empty());
    const State saved = saved_state();
    EXPECT_EQ(saved.sent_hash.size(), 6u);
    EXPECT_EQ(saved.sender, "Pat Clerk ");
    EXPECT_EQ(saved.tax_year, " 2026 roll");
    // Nothing new now, yet Send stays usable: it asks, as Bundle does.
    EXPECT_EQ(bench.desktop.last_summary().send_enabled, std::optional<bool>(true));
    bench.desktop.log.clear();
    bench.desktop.box_answers.push_back(BoxAnswer::no);
    bench.click(Control::send_button);
    EXPECT_EQ(bench.desktop.log, std::vector<std::string>{"box:Nothing new"});

    // The service has exactly this zip.
    const nlohmann::json received = standin_control("GET", "/_standin/received");
    ASSERT_TRUE(received.is_object());
    ASSERT_EQ(received["deliveries"].size(), 1u);
    const nlohmann::json& delivery = received["deliveries"][0];
    EXPECT_EQ(delivery["zip_sha256"], fingerprint);
    EXPECT_EQ(delivery["zip_name"], zip_name);
    const std::string announce = delivery["announce"].is_string()
                                     ? delivery["announce"].get<std::string>()
                                     : delivery["announce"].dump();
    EXPECT_NE(announce.find("\"Pat Clerk\""), std::string::npos) << announce;  // trimmed when sent
}

TEST(SendRoad, ReviewTextAndBackLeavesNoZip) {
    REQUIRE_STANDIN();
    SendBench bench;
    bench.window.token = "dlvt_not_used";
    bench.start();
    bench.window.token = "dlvt_not_used";
    bench.answer_up_to_review(ReviewAnswer::back, false);
    bench.click(Control::send_button);

    EXPECT_EQ(bench.desktop.token_prompts, 0);
    ASSERT_EQ(bench.desktop.reviews.size(), 1u);
    const std::string& review = bench.desktop.reviews[0];
    const std::string host = standin_service().url.substr(std::string("http://").size());
    const std::string first = "About to send QUARNELL-2026-03-05-";
    EXPECT_EQ(review.substr(0, first.size()), first);
    EXPECT_NE(review.find(".zip to " + host + ".\r\n11 files in 6 units, "), std::string::npos)
        << review;
    EXPECT_NE(review.find(".\r\nFrom Pat Clerk; reason: 2026 roll; unusual: renumbered 3 "
                          "accounts.\r\n\r\nGoing:\r\n  OWNER (layer, 6 files), "),
              std::string::npos)
        << review;
    EXPECT_NE(review.find("  tblREProperty.txt, "), std::string::npos);
    EXPECT_NE(review.find("  (first time)\r\n"), std::string::npos);
    EXPECT_TRUE(ends_with(review, "\r\n\r\nStaying out: nothing; every unit found is going.\r\n"))
        << review;

    // Back: no zip left, nothing sent, nothing recorded.
    EXPECT_TRUE(bench.outbox_zips().empty());
    EXPECT_FALSE(bench.window.send_job);
    EXPECT_TRUE(saved_state().sent_hash.empty());
    const nlohmann::json received = standin_control("GET", "/_standin/received");
    EXPECT_TRUE(received["requests"].empty());
}

TEST(SendRoad, RefusedTokenIsForgottenAndTheZipKept) {
    REQUIRE_STANDIN();
    SendBench bench;
    bench.window.state.token_protected = protect_token("dlvt_revoked_token_0001");
    ASSERT_TRUE(bench.window.state.token_protected);
    bench.start();
    ASSERT_EQ(bench.window.token, "dlvt_revoked_token_0001");
    bench.answer_up_to_review(ReviewAnswer::send, false);
    bench.click(Control::send_button);
    ASSERT_TRUE(pump_send(bench.window, bench.desktop));

    ASSERT_EQ(bench.desktop.boxes.back().title, "Token refused");
    const std::string& text = bench.desktop.boxes.back().text;
    EXPECT_EQ(bench.desktop.boxes.back().style, BoxStyle::error);
    const std::string forgotten = " It's been forgotten here; the next Send asks for it again.";
    EXPECT_TRUE(ends_with(text, forgotten)) << text;
    EXPECT_EQ(bench.window.progress_line, text);
    EXPECT_FALSE(bench.window.token);
    EXPECT_FALSE(saved_state().token_protected);
    EXPECT_TRUE(saved_state().sent_hash.empty());
    EXPECT_EQ(bench.outbox_zips().size(), 1u);
    EXPECT_EQ(bench.desktop.delivery_buttons.back(), std::make_pair(true, true));
    EXPECT_TRUE(bench.desktop.clipboard.empty());

    // The next Send asks for a token again; a blank one ends the flow with nothing built.
    bench.desktop.log.clear();
    for (const auto& entry : fs::directory_iterator(outbox_folder()))
        fs::remove(entry.path());
    bench.desktop.confirm_delivery();
    bench.desktop.token_answers.push_back("   ");
    bench.click(Control::send_button);
    EXPECT_EQ(bench.desktop.log,
              (std::vector<std::string>{"box:Before you send", "dialog", "token"}));
    EXPECT_TRUE(bench.outbox_zips().empty());
    EXPECT_FALSE(saved_state().token_protected);
}

TEST(SendRoad, UnavailableServiceKeepsTheZip) {
    REQUIRE_STANDIN();
    SendBench bench;
    ASSERT_TRUE(standin_control("POST", "/_standin/faults",
                                {{"faults", {{{"step", "announce"}, {"status", 503}}}}})
                    .is_object());
    bench.window.token = standin_service().token;
    bench.start();
    bench.window.token = standin_service().token;
    bench.answer_up_to_review(ReviewAnswer::send, false);
    bench.click(Control::send_button);
    ASSERT_TRUE(pump_send(bench.window, bench.desktop));

    const std::string message = send_error_message(send_error(SendErrorKind::unavailable));
    EXPECT_EQ(bench.desktop.boxes.back().title, "Couldn't send");
    EXPECT_EQ(bench.desktop.boxes.back().text, message);
    EXPECT_EQ(bench.desktop.boxes.back().style, BoxStyle::error);
    EXPECT_EQ(bench.window.progress_line, message);
    EXPECT_TRUE(ends_with(bench.desktop.last_summary().status_text, "\r\n" + message));
    EXPECT_EQ(bench.window.token, standin_service().token);  // only a refusal forgets it
    EXPECT_EQ(bench.outbox_zips().size(), 1u);
    EXPECT_TRUE(saved_state().sent_hash.empty());
    EXPECT_EQ(bench.desktop.last_summary().send_enabled, std::optional<bool>(true));
    standin_control("POST", "/_standin/reset");
}

// A service that takes the announce and then holds every part until the send is stopped.
class HoldingService final : public HttpSeam {
  public:
    HttpResult request(std::string_view method, std::string_view, const std::vector<std::string>&,
                       std::span<const uint8_t>, const HttpWatch& watch) override {
        if (method == "POST") {
            return HttpReply{201, R"({"delivery_id":"d","upload":{"url":"http://up.test/1"}})", {}};
        }
        while (!*watch.stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return std::unexpected(
            HttpFailure{HttpProblem::stopped, false, "the upload stopped: stopped"});
    }
};

TEST(SendRoad, StoppedSendKeepsTheZipRecordsNothingAndShowsNoBox) {
    Workbench bench;
    bench.generate();
    bench.window.token = "dlvt_x";
    bench.start();
    bench.window.token = "dlvt_x";
    bench.window.make_http = [] { return std::make_unique<HoldingService>(); };
    bench.desktop.confirm_delivery();
    bench.desktop.review_answers.push_back(ReviewAnswer::send);
    bench.click(Control::send_button);
    ASSERT_TRUE(bench.window.send_job);
    const size_t boxes = bench.desktop.boxes.size();

    bench.desktop.box_answers.push_back(BoxAnswer::yes);
    bench.click(Control::send_button);
    ASSERT_EQ(bench.desktop.boxes.size(), boxes + 1);
    EXPECT_EQ(bench.desktop.boxes.back().title, "Stop sending?");
    EXPECT_EQ(bench.desktop.boxes.back().text,
              "The upload stops now. The zip stays in the outbox and nothing is recorded as sent; "
              "press Send to Dalvento to send it later.");
    // Nothing more to press until the send has ended.
    EXPECT_EQ(bench.desktop.delivery_buttons.back(), std::make_pair(false, false));
    ASSERT_TRUE(pump_send(bench.window, bench.desktop));

    EXPECT_EQ(bench.desktop.boxes.size(), boxes + 1);  // no error box
    const std::string stopped =
        "Sending stopped. The zip is kept; press Send to Dalvento to try again.";
    EXPECT_EQ(bench.window.progress_line, stopped);
    EXPECT_TRUE(ends_with(bench.desktop.last_summary().status_text, "\r\n" + stopped));
    EXPECT_EQ(bench.desktop.delivery_buttons.back(), std::make_pair(true, true));
    EXPECT_FALSE(bench.desktop.send_button_stops);
    EXPECT_EQ(bench.outbox_zips().size(), 1u);
    EXPECT_TRUE(saved_state().sent_hash.empty());
}

TEST(SendRoad, WorkerThatCannotStartShowsAMessageAndKeepsTheZip) {
    Workbench bench;
    bench.generate();
    bench.window.token = "dlvt_x";
    bench.start();
    bench.window.token = "dlvt_x";
    // The packing's thread starts; the upload's cannot.
    int starts = 0;
    bench.window.start_worker =
        [&](std::function<void()> work) -> std::expected<void, std::string> {
        if (++starts == 1) return start_detached_thread(std::move(work));
        return std::unexpected(std::string("Resource temporarily unavailable"));
    };
    bench.desktop.confirm_delivery();
    bench.desktop.review_answers.push_back(ReviewAnswer::send);
    bench.click(Control::send_button);

    EXPECT_EQ(starts, 2);
    ASSERT_EQ(bench.desktop.boxes.back().title, "Couldn't send");
    EXPECT_EQ(bench.desktop.boxes.back().style, BoxStyle::error);
    EXPECT_EQ(bench.desktop.boxes.back().text,
              "The upload couldn't be started (Resource temporarily unavailable).\n\nNothing was "
              "sent. The zip is kept in the outbox; press Send to Dalvento to try again.");
    EXPECT_FALSE(bench.window.send_job);
    // Disabled only while the zip was packed.
    EXPECT_EQ(bench.desktop.delivery_buttons,
              (std::vector<std::pair<bool, bool>>{{false, false}, {true, true}}));
    EXPECT_EQ(bench.outbox_zips().size(), 1u);
    EXPECT_TRUE(saved_state().sent_hash.empty());

    // The default starter reports a thread it could not have instead of throwing.
    bool ran = false;
    std::mutex mutex;
    std::condition_variable done;
    ASSERT_TRUE(start_detached_thread([&] {
        std::lock_guard lock(mutex);
        ran = true;
        done.notify_one();
    }));
    std::unique_lock lock(mutex);
    EXPECT_TRUE(done.wait_for(lock, std::chrono::seconds(30), [&] { return ran; }));
}

TEST(SendRoad, OutboxOrTokenProblemsEndTheFlowWithTheirBox) {
    Workbench bench;
    bench.generate();
    bench.start();

    // Protection refused: the token is not kept and nothing is built.
    bench.window.protect = [](std::string_view) -> std::optional<std::string> { return {}; };
    bench.desktop.confirm_delivery();
    bench.desktop.token_answers.push_back("dlvt_abc");
    bench.click(Control::send_button);
    EXPECT_EQ(bench.desktop.boxes.back().title, "Couldn't keep the token");
    EXPECT_EQ(bench.desktop.boxes.back().text, "Windows refused to protect it; nothing was saved.");
    EXPECT_FALSE(bench.window.token);
    EXPECT_FALSE(saved_state().token_protected);
    EXPECT_TRUE(bench.desktop.reviews.empty());

    // An outbox that cannot be made (its parent is a file): "Couldn't build the zip".
    bench.window.token = "dlvt_abc";
    const fs::path blocked = bench.env.dir() / "not-a-folder";
    write_file(blocked, "x");
    ScopedEnv localappdata("LOCALAPPDATA", text(blocked));
    bench.desktop.confirm_delivery();
    bench.click(Control::send_button);
    EXPECT_EQ(bench.desktop.boxes.back().title, "Couldn't build the zip");
    const std::string& box = bench.desktop.boxes.back().text;
    EXPECT_NE(box.find("not-a-folder"), std::string::npos) << box;
    EXPECT_TRUE(ends_with(
        box, "\n\nIf a file is open in ArcGIS Pro or another program, close it and try again."))
        << box;
    EXPECT_TRUE(bench.desktop.reviews.empty());
}

TEST(SendTexts, ProgressHostAndTimes) {
    constexpr double MB = 1024 * 1024;
    const auto upload = [](uint64_t done, uint64_t total, std::optional<double> rate = {}) {
        return SendStatus{SendStage::upload, done, total, std::nullopt, rate};
    };
    const auto waiting = [](SendStage stage, uint64_t done, uint64_t total, std::string reason,
                            uint32_t seconds, uint32_t attempt) {
        return SendStatus{stage, done, total, RetryWait{std::move(reason), seconds, attempt}, {}};
    };
    const std::string dot = " \xC2\xB7 ";
    const std::pair<SendStatus, std::string> cases[] = {
        {upload(50, 200), SENDING + " 25%"},
        {upload(199, 200), SENDING + " 99%"},
        {upload(UINT64_MAX, UINT64_MAX), SENDING + " 100%"},
        {upload(0, 0), SENDING + " 0%"},
        {SendStatus{SendStage::complete, 0, 1}, SENDING + " confirming"},
        {SendStatus{SendStage::announce, 0, 1}, SENDING + " announcing"},
        // Rate and time left, rounded up: seconds under a minute, minutes under two hours.
        {upload(420 * 1'000'000ull, 1'000 * 1'000'000ull, 2.4 * MB),
         SENDING + " 42%" + dot + "2.4 MB/s" + dot + "about 4 min left"},
        {upload(0, 50 * 1024 * 1024, 1 * MB),
         SENDING + " 0%" + dot + "1.0 MB/s" + dot + "about 50 s left"},
        {upload(0, 59 * 1024 * 1024 + 1, 1 * MB),
         SENDING + " 0%" + dot + "1.0 MB/s" + dot + "about 1 min left"},
        {upload(0, 7'200 * 1024, 1024), SENDING + " 0%" + dot + "1 KB/s" + dot + "about 2 h left"},
        {upload(0, 7'199 * 1024, 1024),
         SENDING + " 0%" + dot + "1 KB/s" + dot + "about 120 min left"},
        {upload(100, 100, 3 * MB), SENDING + " 100%" + dot + "3.0 MB/s"},
        {upload(5, 100, 0.0), SENDING + " 5%" + dot + "0 KB/s"},
        // The wait before another attempt says what happened and when.
        {waiting(SendStage::upload, 42, 100, "the connection dropped", 8, 2),
         SENDING + " 42%" + dot + "the connection dropped; trying again in 8 s (2 of 6)"},
        {waiting(SendStage::announce, 0, 1, "couldn't connect", 30, 6),
         SENDING + " announcing" + dot + "couldn't connect; trying again in 30 s (6 of 6)"},
        {waiting(SendStage::complete, 0, 1, "Dalvento answered 503", 2, 2),
         SENDING + " confirming" + dot + "Dalvento answered 503; trying again in 2 s (2 of 6)"},
    };
    for (const auto& [status, text] : cases)
        EXPECT_EQ(progress_text(status), text);

    EXPECT_EQ(service_host_text("https://deliveries.dalvento.example//"),
              "deliveries.dalvento.example");
    EXPECT_EQ(service_host_text("http://127.0.0.1:8080/"), "127.0.0.1:8080");
    EXPECT_EQ(service_host_text("ftp://x/"), "ftp://x");

    IsolatedEnvironment env;  // EST5
    EXPECT_EQ(local_time_text("2026-03-06T19:07:00Z"), "2026-03-06 14:07");
    EXPECT_EQ(local_time_text("2026-03-06T19:07:59.123456+02:00"), "2026-03-06 12:07");
    EXPECT_EQ(local_time_text("2026-01-01t00:30:00-01:00"), "2025-12-31 20:30");
    EXPECT_EQ(local_time_text("2026-02-30T00:00:00Z"), std::nullopt);
    EXPECT_EQ(local_time_text("2026-03-06 19:07"), std::nullopt);
    EXPECT_EQ(local_time_text("yesterday"), std::nullopt);
}

DeliveryUnit unit(std::string key, UnitKind kind, bool core, uint64_t bytes) {
    DeliveryUnit u;
    u.key = std::move(key);
    u.kind = kind;
    u.core = core;
    u.total_bytes = bytes;
    u.selected = core;
    u.sha256 = std::string(64, 'a');
    return u;
}

TEST(SendTexts, ReviewListsGoingAndStayingOut) {
    IsolatedEnvironment env;
    PreparedDelivery delivery;
    DeliveryUnit layer = unit("OWNER", UnitKind::layer, true, 2048);
    layer.files.resize(4);
    DeliveryUnit table = unit("tblREProperty.txt", UnitKind::table, true, 900);
    table.last_sent = local_time(2026, 2, 1);
    DeliveryUnit same = unit("tblRESales.txt", UnitKind::table, true, 10);
    same.unchanged = true;
    same.last_sent = local_time(2026, 2, 1);
    DeliveryUnit extra = unit("notes.pdf", UnitKind::file, false, 5 * 1024 * 1024);
    extra.selected = true;
    DeliveryUnit skipped = unit("old.xlsx", UnitKind::file, false, 1);
    DeliveryUnit placeholder;
    placeholder.key = "tblRELand.txt";
    placeholder.core = true;
    placeholder.kind = UnitKind::table;
    delivery.units = {layer, table, same, extra, skipped, placeholder};
    delivery.sender = "   ";
    delivery.reason = "";
    delivery.unusual = "  ";
    ZipResult zip{.path = "x.zip", .sha256 = "", .bytes = 1536, .file_count = 1};

    EXPECT_EQ(review_text(delivery, zip, "x.zip", "svc.example"),
              "About to send x.zip to svc.example.\r\n"
              "1 file in 3 units, 2 KB.\r\n"
              "From (no name given); reason: (none given); nothing unusual noted.\r\n"
              "\r\nGoing:\r\n"
              "  OWNER (layer, 4 files), 2 KB  (first time)\r\n"
              "  tblREProperty.txt, 900 B\r\n"
              "  notes.pdf, 5.0 MB  (extra, first time)\r\n"
              "\r\nStaying out:\r\n"
              "  tblRESales.txt: same as last delivery (sent 2026-02-01)\r\n"
              "  old.xlsx: not selected\r\n");

    // Sending everything again takes the unchanged unit too.
    delivery.send_everything = true;
    delivery.units = {layer, same};
    zip.file_count = 2;
    EXPECT_EQ(review_text(delivery, zip, "x.zip", "svc.example"),
              "About to send x.zip to svc.example.\r\n"
              "2 files in 2 units, 2 KB.\r\n"
              "From (no name given); reason: (none given); nothing unusual noted.\r\n"
              "\r\nGoing:\r\n"
              "  OWNER (layer, 4 files), 2 KB  (first time)\r\n"
              "  tblRESales.txt, 10 B\r\n"
              "\r\nStaying out: nothing; every unit found is going.\r\n");
}

// The outcome of a send as the notice finds it, without a network.
struct OutcomeBench : Workbench {
    fs::path zip;
    void run(SendOutcome outcome) {
        prepare(std::move(outcome));
        dispatch(window, Event{.kind = Event::Kind::work_notice});
    }
    // A send whose worker has stored its outcome; the notice is yet to come.
    void prepare(SendOutcome outcome) {
        generate();
        window.token = "dlvt_t";
        window.state.token_protected = protect_token("dlvt_t");
        start();
        window.token = "dlvt_t";
        zip = env.dir() / "outbox.zip";
        write_file(zip, "zip bytes");
        auto progress = std::make_shared<SendProgress>(nullptr);
        progress->finish(std::move(outcome));
        window.send_job = RunningSend{.progress = progress,
                                      .units = window.units,
                                      .zip_path = zip,
                                      .zip_name = "Q.zip",
                                      .fingerprint = std::string(64, 'f'),
                                      .file_count = 1,
                                      .zip_bytes = 2048,
                                      .send_everything = false};
    }
};

TEST(SendOutcome, EachOutcomeWithItsTitleAndText) {
    {
        OutcomeBench bench;
        Receipt receipt;
        receipt.already_received = true;
        receipt.already_received_at = "last week";
        bench.run(receipt);
        EXPECT_EQ(bench.desktop.boxes.back().title, "Already received");
        EXPECT_EQ(bench.desktop.boxes.back().text,
                  "Dalvento already had this delivery (received last week).\n\nQ.zip\n1 files, "
                  "2 KB\nFingerprint (SHA-256): " +
                      std::string(64, 'f') +
                      "\n\n(Receipt copied to the clipboard.) That's the delivery done.");
        EXPECT_FALSE(fs::exists(bench.zip));
        EXPECT_EQ(saved_state().sent_hash.size(), 6u);
        EXPECT_EQ(bench.window.progress_line,
                  "Dalvento already had this delivery (received last week).");
    }
    {
        OutcomeBench bench;
        Receipt receipt;
        receipt.received_at = "2026-03-06T19:07:00Z";
        bench.prepare(receipt);
        // The last check saw this export as new; delivered, it is not any more.
        bench.window.status_line =
            "Checked at 14:02: a new export is here; press Send to Dalvento.";
        dispatch(bench.window, Event{.kind = Event::Kind::work_notice});
        EXPECT_EQ(bench.desktop.boxes.back().title, "Received");
        EXPECT_EQ(bench.window.progress_line, "Received by Dalvento at 2026-03-06 14:07.");
        EXPECT_EQ(bench.desktop.clipboard.back(),
                  "Q.zip\n1 files, 2 KB\nFingerprint (SHA-256): " + std::string(64, 'f'));
        EXPECT_EQ(bench.window.status_line, "");
        EXPECT_EQ(bench.desktop.last_summary().status_text.find("Checked at"), std::string::npos);
    }
    {
        // The clipboard held by another program: the box says so instead of claiming a copy.
        OutcomeBench bench;
        bench.desktop.clipboard_refusal = "another program is using the clipboard";
        Receipt receipt;
        receipt.received_at = "2026-03-06T19:07:00Z";
        bench.run(receipt);
        EXPECT_TRUE(bench.desktop.clipboard.empty());
        EXPECT_TRUE(bench.desktop.boxes.back().text.ends_with(
            "\n\n(Couldn't copy it to the clipboard: another program is using the clipboard.) "
            "That's the delivery done."))
            << bench.desktop.boxes.back().text;
    }
    {
        OutcomeBench bench;
        const SendError error = send_error(SendErrorKind::unreachable, "connect: refused");
        bench.run(std::unexpected(error));
        EXPECT_EQ(bench.desktop.boxes.back().title, "Couldn't send");
        EXPECT_EQ(bench.desktop.boxes.back().text, send_error_message(error));
        EXPECT_TRUE(fs::exists(bench.zip));
        EXPECT_EQ(bench.window.token, "dlvt_t");
        EXPECT_TRUE(saved_state().token_protected);
    }
    {
        OutcomeBench bench;
        SendError error = send_error(SendErrorKind::token_refused);
        error.base_url = "https://svc.example";
        error.stage = "announce";
        error.server_text = "revoked";
        error.token_description = "dlvt_\xE2\x80\xA6 (6 characters)";
        bench.run(std::unexpected(error));
        EXPECT_EQ(bench.desktop.boxes.back().title, "Token refused");
        EXPECT_EQ(bench.desktop.boxes.back().text,
                  send_error_message(error) +
                      " It's been forgotten here; the next Send asks for it again.");
        EXPECT_TRUE(fs::exists(bench.zip));
        EXPECT_FALSE(bench.window.token);
        EXPECT_FALSE(saved_state().token_protected);
    }
    for (const bool replaced_in_window : {false, true}) {
        // The refusal arrives while the settings window is open: closing it must not store the
        // refused token again, but keeps a new one the user entered there.
        OutcomeBench bench;
        bench.window.protect = [](std::string_view token) -> std::optional<std::string> {
            return "sealed:" + std::string(token);
        };
        bench.prepare(std::unexpected(send_error(SendErrorKind::token_refused)));
        bench.desktop.settings_scripts.push_back([&](SettingsWindow& settings) {
            if (replaced_in_window) settings.save("dlvt_new");
            dispatch(bench.window, Event{.kind = Event::Kind::work_notice});
            EXPECT_EQ(bench.desktop.boxes.back().title, "Token refused");
            EXPECT_EQ(settings.view().status_line,
                      replaced_in_window ? "Office token: set." : "Office token: not set yet.");
            settings.close();
        });
        bench.click(Control::settings_button);
        EXPECT_EQ(bench.window.token,
                  replaced_in_window ? std::optional<std::string>("dlvt_new") : std::nullopt);
        EXPECT_EQ(saved_state().token_protected, replaced_in_window
                                                     ? std::optional<std::string>("sealed:dlvt_new")
                                                     : std::nullopt);
    }
}

}  // namespace
}  // namespace dalvento::testing
