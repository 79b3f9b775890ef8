#include "core/packing/delivery_plan.h"

#include <gtest/gtest.h>

#include <limits>

#include "support/test_support.h"

namespace dalvento {
namespace {

using dalvento::testing::IsolatedEnvironment;
using dalvento::testing::local_time;
using std::chrono::year_month_day;

constexpr year_month_day MARCH_5{std::chrono::year(2026), std::chrono::March, std::chrono::day(5)};

// A found, selected, ready unit delivered before and changed since.
DeliveryUnit unit(std::string key, UnitKind kind, bool core, uint64_t bytes = 100) {
    DeliveryUnit u;
    u.key = std::move(key);
    u.kind = kind;
    u.core = core;
    u.total_bytes = bytes;
    u.files.push_back({.name = u.key,
                       .path = {},
                       .sha256 = "ab",
                       .bytes = bytes,
                       .modified = local_time(2026, 3, 5, 9, 30)});
    u.newest_modified = local_time(2026, 3, 5, 9, 30);
    u.last_sent = local_time(2026, 2, 1, 10, 0);
    u.sha256 = std::string(64, 'c');
    u.selected = true;
    return u;
}

DeliveryUnit table(std::string key, uint64_t bytes = 100) {
    return unit(std::move(key), UnitKind::table, true, bytes);
}

DeliveryUnit other(std::string key, uint64_t bytes = 100) {
    return unit(std::move(key), UnitKind::file, false, bytes);
}

// A unit that was expected but not found on disk.
DeliveryUnit placeholder(std::string key, bool core, std::vector<UnitMessage> messages = {}) {
    DeliveryUnit u;
    u.key = std::move(key);
    u.kind = core ? UnitKind::table : UnitKind::file;
    u.core = core;
    u.messages = std::move(messages);
    u.selected = true;
    return u;
}

UnitMessage problem(std::string text) {
    return {std::move(text), true};
}
UnitMessage check(std::string text) {
    return {std::move(text), false};
}

TEST(DeliveryPlan, WhatGoes) {
    IsolatedEnvironment env;
    DeliveryUnit changed = table("tblRESales.txt");
    DeliveryUnit never_sent = table("tblREAssessment.txt");
    never_sent.last_sent.reset();
    DeliveryUnit same = table("tblREProperty.txt");
    same.unchanged = true;
    DeliveryUnit off = table("tblREImprovements.txt");
    off.selected = false;
    DeliveryUnit broken = other("notes.txt");
    broken.messages = {check("looks short"), problem("cannot be read")};
    DeliveryUnit with_check = other("map.pdf");
    with_check.messages = {check("is empty")};
    const DeliveryUnit missing = placeholder("tblREAssessmentHistory.txt", true);

    for (const bool everything : {false, true}) {
        SCOPED_TRACE(everything);
        EXPECT_TRUE(goes(changed, everything));
        EXPECT_TRUE(goes(never_sent, everything));
        EXPECT_TRUE(goes(with_check, everything));
        EXPECT_FALSE(goes(off, everything));
        EXPECT_FALSE(goes(broken, everything));
        EXPECT_FALSE(goes(missing, everything));
    }
    EXPECT_FALSE(goes(same, false));
    EXPECT_TRUE(goes(same, true));
}

TEST(DeliveryPlan, StatusWords) {
    IsolatedEnvironment env;
    DeliveryUnit u = table("tblRESales.txt");
    EXPECT_EQ(unit_status_word(u), "Ready");
    u.unchanged = true;
    EXPECT_EQ(unit_status_word(u), "Same as last delivery; not re-sent");
    u.selected = false;
    EXPECT_EQ(unit_status_word(u), "Not selected");

    // A thing to check shows even on an unchanged unit, but not on an unselected one.
    u.messages = {check("has 10 fields where 11 are usual")};
    EXPECT_EQ(unit_status_word(u), "Not selected");
    u.selected = true;
    EXPECT_EQ(unit_status_word(u), "Check: has 10 fields where 11 are usual");
    u.messages.push_back(check("is older than the map"));
    EXPECT_EQ(unit_status_word(u), "Check: is older than the map");

    // A problem wins whichever came first, and shows even when not selected.
    DeliveryUnit mixed = table("tblREProperty.txt");
    mixed.messages = {problem("is empty"), check("looks short")};
    EXPECT_EQ(unit_status_word(mixed), "Problem: is empty");
    mixed.messages = {check("looks short"), problem("is empty"), problem("is locked"),
                      check("again")};
    EXPECT_EQ(unit_status_word(mixed), "Problem: is locked");
    mixed.selected = false;
    EXPECT_EQ(unit_status_word(mixed), "Problem: is locked");

    EXPECT_EQ(unit_status_word(placeholder("OWNER", true)), "Needed");
    EXPECT_EQ(unit_status_word(
                  placeholder("tblRESales.txt", true, {problem("not in the parcel folder")})),
              "Needed");
    EXPECT_EQ(unit_status_word(placeholder("extra.pdf", false)), "Optional");
    EXPECT_EQ(
        unit_status_word(placeholder("extra.pdf", false, {problem("was not found in C:\\x")})),
        "Problem: not found where it was last time");
    EXPECT_EQ(unit_status_word(placeholder("OWNER", true, {check("not found at all")})),
              "Problem: not found where it was last time");
}

TEST(DeliveryPlan, StayingOutReasons) {
    IsolatedEnvironment env;
    EXPECT_EQ(staying_out_reason(table("tblRESales.txt"), false), std::nullopt);
    EXPECT_EQ(staying_out_reason(placeholder("OWNER", true, {problem("missing")}), false),
              std::nullopt);

    DeliveryUnit off = table("tblRESales.txt");
    off.selected = false;
    off.messages = {problem("is empty")};
    EXPECT_EQ(staying_out_reason(off, true), "  tblRESales.txt: not selected\r\n");

    // Sent late in the evening local time, which is already the next day in UTC.
    DeliveryUnit same = table("tblREProperty.txt");
    same.unchanged = true;
    same.last_sent = local_time(2026, 2, 1, 23, 30);
    EXPECT_EQ(staying_out_reason(same, false),
              "  tblREProperty.txt: same as last delivery (sent 2026-02-01)\r\n");
    EXPECT_EQ(staying_out_reason(same, true), std::nullopt);
    same.last_sent.reset();
    EXPECT_EQ(staying_out_reason(same, false), "  tblREProperty.txt: same as last delivery\r\n");

    DeliveryUnit broken = other("notes.txt");
    broken.messages = {problem("cannot be read"), check("looks short"), problem("is locked")};
    EXPECT_EQ(staying_out_reason(broken, true), "  notes.txt: cannot be read; is locked\r\n");
}

TEST(DeliveryPlan, BlockingProblemsAndNothingNew) {
    IsolatedEnvironment env;
    DeliveryUnit owner = unit("OWNER", UnitKind::layer, true);
    owner.messages = {problem("OWNER.prj is missing"), check("looks old"),
                      problem("OWNER.dbf is empty")};
    DeliveryUnit off = table("tblREAssessment.txt");
    off.selected = false;
    off.messages = {problem("is empty")};
    DeliveryUnit extra = other("notes.txt");
    extra.messages = {problem("cannot be read")};
    const std::vector<DeliveryUnit> units = {
        owner, placeholder("tblREProperty.txt", true, {problem("not in the parcel folder")}), off,
        extra};
    EXPECT_EQ(blocking_problems(units),
              (std::vector<std::string>{"OWNER: OWNER.prj is missing", "OWNER: OWNER.dbf is empty",
                                        "tblREProperty.txt: not in the parcel folder"}));

    std::vector<DeliveryUnit> same = {table("tblREProperty.txt"), table("tblRESales.txt"),
                                      placeholder("tblREAssessment.txt", true)};
    same[0].unchanged = same[1].unchanged = true;
    EXPECT_TRUE(nothing_new(same));
    same[1].unchanged = false;
    EXPECT_FALSE(nothing_new(same));
    same[1].selected = false;  // an unselected changed unit does not count
    EXPECT_TRUE(nothing_new(same));
    same[0].selected = false;
    EXPECT_FALSE(nothing_new(same));  // nothing selected is not "nothing new"
    EXPECT_FALSE(nothing_new({}));
}

TEST(DeliveryPlan, PreSendWarningsInOrder) {
    IsolatedEnvironment env;
    DeliveryUnit owner = unit("OWNER", UnitKind::layer, true);
    owner.selected = false;
    DeliveryUnit property = table("tblREProperty.txt");
    property.messages = {check("has 55 fields where 56 are usual"), check("is older than the map")};
    DeliveryUnit broken = other("notes.txt");
    broken.messages = {check("looks short"), problem("cannot be read"), problem("is locked")};
    DeliveryUnit fresh_core = table("tblRESales.txt");
    fresh_core.last_sent.reset();
    DeliveryUnit unselected_other = other("old.pdf");
    unselected_other.selected = false;
    unselected_other.messages = {problem("is empty")};
    unselected_other.last_sent.reset();
    DeliveryUnit fresh_other = other("map.pdf");
    fresh_other.last_sent.reset();
    DeliveryUnit broken_fresh = other("broken.pdf");
    broken_fresh.last_sent.reset();
    broken_fresh.messages = {problem("is empty")};
    const std::vector<DeliveryUnit> units = {owner,
                                             property,
                                             broken,
                                             fresh_core,
                                             unselected_other,
                                             fresh_other,
                                             broken_fresh,
                                             placeholder("tblREAssessment.txt", true),
                                             placeholder("gone.txt", false, {check("x")})};

    EXPECT_EQ(pre_send_warnings(units, {"the map and the tables are 5 days apart"}),
              (std::vector<std::string>{
                  "OWNER is not selected and will not be sent",
                  "tblREProperty.txt: has 55 fields where 56 are usual",
                  "tblREProperty.txt: is older than the map",
                  "notes.txt will be left out: cannot be read",
                  "notes.txt will be left out: is locked",
                  "notes.txt: looks short",
                  "broken.pdf will be left out: is empty",
                  "First time for these files: tblRESales.txt, map.pdf; is that right?",
                  "the map and the tables are 5 days apart",
              }));

    std::vector<DeliveryUnit> one = {table("tblREProperty.txt"), table("tblRESales.txt")};
    one[1].last_sent.reset();
    EXPECT_EQ(pre_send_warnings(one, {}),
              (std::vector<std::string>{"First time for tblRESales.txt; is that right?"}));
    one[1].last_sent = local_time(2026, 1, 1);
    EXPECT_TRUE(pre_send_warnings(one, {}).empty());
}

TEST(DeliveryPlan, SizeText) {
    const std::pair<uint64_t, const char*> cases[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1 KB"},
        {1535, "1 KB"},
        {1536, "2 KB"},  // 1.5: the even neighbour
        {2560, "2 KB"},  // 2.5: the even neighbour
        {2561, "3 KB"},
        {3584, "4 KB"},  // 3.5
        {1048575, "1024 KB"},
        {1048576, "1.0 MB"},
        {1310720, "1.2 MB"},  // 1.25 MB exactly
        {1835008, "1.8 MB"},  // 1.75 MB exactly
        {1835009, "1.8 MB"},
        {2621440, "2.5 MB"},
        {10433331, "9.9 MB"},
        {10433332, "10.0 MB"},  // 9.95 rounds up into the next whole number
        {std::numeric_limits<uint64_t>::max(), "17592186044416.0 MB"},
    };
    for (const auto& [bytes, expected] : cases)
        EXPECT_EQ(size_text(bytes), expected) << bytes;
}

TEST(DeliveryPlan, Summary) {
    IsolatedEnvironment env;
    DeliveryUnit same = table("tblREProperty.txt", 5000);
    same.unchanged = true;
    DeliveryUnit off = table("tblREImprovements.txt", 7000);
    off.selected = false;
    DeliveryUnit broken = other("notes.txt", 9000);
    broken.messages = {problem("cannot be read")};
    std::vector<DeliveryUnit> units = {unit("OWNER", UnitKind::layer, true, 1536), same,
                                       table("tblRESales.txt", 1024), off, broken};
    EXPECT_EQ(delivery_summary(units, false, "QUARNELL-2026-03-05-3fa91c0b.zip", MARCH_5),
              "QUARNELL-2026-03-05-3fa91c0b.zip: 2 unit(s), 1 unchanged left out, about 2 KB. "
              "Export date March 5, 2026.");
    EXPECT_EQ(delivery_summary(units, true, "Q.zip", MARCH_5),
              "Q.zip: 3 unit(s), about 7 KB. Export date March 5, 2026.");

    // The large-upload note starts one byte past 100 MiB.
    units = {table("tblREProperty.txt", 104'857'000), table("tblRESales.txt", 600)};
    const year_month_day nov_30{std::chrono::year(2025), std::chrono::November,
                                std::chrono::day(30)};
    EXPECT_EQ(delivery_summary(units, false, "Q.zip", nov_30),
              "Q.zip: 2 unit(s), about 100.0 MB. Export date November 30, 2025.");
    units[1].total_bytes = 601;
    EXPECT_EQ(delivery_summary(units, false, "Q.zip", nov_30),
              "Q.zip: 2 unit(s), about 100.0 MB. Export date November 30, 2025. That's a large "
              "upload and may take a while.");
    units.clear();
    EXPECT_EQ(delivery_summary(units, false, "Q.zip", MARCH_5),
              "Q.zip: 0 unit(s), about 0 B. Export date March 5, 2026.");
}

// Answers the boxes as told, in order, and keeps what it was shown.
class ScriptedQuestions : public DeliveryQuestions {
  public:
    struct Shown {
        std::string kind, title, text;
    };

    explicit ScriptedQuestions(std::vector<Answer> answers) : answers_(std::move(answers)) {}

    void error_box(const std::string& title, const std::string& text) override {
        shown.push_back({"error", title, text});
    }
    Answer question_box(const std::string& title, const std::string& text,
                        QuestionIcon icon) override {
        shown.push_back({icon == QuestionIcon::warning ? "warning" : "question", title, text});
        if (next_ >= answers_.size()) {
            ADD_FAILURE() << "unexpected box " << title;
            return Answer::closed;
        }
        return answers_[next_++];
    }

    std::vector<Shown> shown;

  private:
    std::vector<Answer> answers_;
    size_t next_ = 0;
};

const char* const NOTHING_NEW =
    "Every file is identical to the copy already delivered, so there is nothing to send.\n\n"
    "If the exports haven't been re-run yet, choose No and run them.\n\n"
    "Send everything again anyway?";

TEST(PreDeliveryChecks, BlockingProblemsStopFirst) {
    IsolatedEnvironment env;
    std::vector<DeliveryUnit> units;
    units.push_back(placeholder("tblREProperty.txt", true, {problem("not in the parcel folder")}));
    DeliveryUnit owner = unit("OWNER", UnitKind::layer, true);
    for (int i = 1; i <= 15; ++i)
        owner.messages.push_back(problem("problem " + std::to_string(i)));
    units.push_back(owner);
    units.push_back(other("fresh.pdf"));
    units.back().last_sent.reset();

    ScriptedQuestions questions({});
    EXPECT_FALSE(run_pre_delivery_checks(units, questions).has_value());
    ASSERT_EQ(questions.shown.size(), 1u);
    EXPECT_EQ(questions.shown[0].kind, "error");
    EXPECT_EQ(questions.shown[0].title, "Not ready yet");
    std::string expected = "Fix these first:\n\n  tblREProperty.txt: not in the parcel folder\n";
    for (int i = 1; i <= 14; ++i)
        expected += "  OWNER: problem " + std::to_string(i) + "\n";
    EXPECT_EQ(questions.shown[0].text, expected);  // the sixteenth is left out
}

TEST(PreDeliveryChecks, NoExportDateStopsSilently) {
    IsolatedEnvironment env;
    std::vector<DeliveryUnit> units = {table("tblRESales.txt")};
    units[0].selected = false;
    ScriptedQuestions questions({});
    EXPECT_FALSE(run_pre_delivery_checks(units, questions).has_value());
    EXPECT_TRUE(questions.shown.empty());
}

TEST(PreDeliveryChecks, NothingNewQuestion) {
    IsolatedEnvironment env;
    std::vector<DeliveryUnit> units = {table("tblREProperty.txt"), table("tblRESales.txt")};
    units[0].unchanged = units[1].unchanged = true;

    for (const Answer answer : {Answer::no, Answer::closed}) {
        ScriptedQuestions questions({answer});
        EXPECT_FALSE(run_pre_delivery_checks(units, questions).has_value());
        ASSERT_EQ(questions.shown.size(), 1u);
        EXPECT_EQ(questions.shown[0].kind, "question");
        EXPECT_EQ(questions.shown[0].title, "Nothing new");
        EXPECT_EQ(questions.shown[0].text, NOTHING_NEW);
    }

    ScriptedQuestions questions({Answer::yes});
    const auto outcome = run_pre_delivery_checks(units, questions);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_TRUE(outcome->send_everything);
    EXPECT_EQ(outcome->export_date.date, MARCH_5);
    EXPECT_EQ(outcome->export_date.source, "newest table export");
    EXPECT_EQ(questions.shown.size(), 1u);

    // Yes to sending everything again still leads to the warnings.
    units[1].messages = {check("has 10 fields where 11 are usual")};
    ScriptedQuestions both({Answer::yes, Answer::no});
    EXPECT_FALSE(run_pre_delivery_checks(units, both).has_value());
    ASSERT_EQ(both.shown.size(), 2u);
    EXPECT_EQ(both.shown[1].title, "Before you send");
}

TEST(PreDeliveryChecks, BeforeYouSendWarning) {
    IsolatedEnvironment env;
    std::vector<DeliveryUnit> units = {table("tblREProperty.txt"), table("tblRESales.txt")};
    units[1].last_sent.reset();
    const std::string text =
        "Please double-check:\n\n  First time for tblRESales.txt; is that right?\n"
        "\nGo ahead anyway?";

    for (const Answer answer : {Answer::no, Answer::closed}) {
        ScriptedQuestions questions({answer});
        EXPECT_FALSE(run_pre_delivery_checks(units, questions).has_value());
        ASSERT_EQ(questions.shown.size(), 1u);
        EXPECT_EQ(questions.shown[0].kind, "warning");
        EXPECT_EQ(questions.shown[0].title, "Before you send");
        EXPECT_EQ(questions.shown[0].text, text);
    }
    ScriptedQuestions questions({Answer::yes});
    const auto outcome = run_pre_delivery_checks(units, questions);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_FALSE(outcome->send_everything);
    EXPECT_EQ(questions.shown.size(), 1u);

    // Nothing to question: straight on.
    units[1].last_sent = local_time(2026, 2, 1);
    ScriptedQuestions none({});
    ASSERT_TRUE(run_pre_delivery_checks(units, none).has_value());
    EXPECT_TRUE(none.shown.empty());
}

TEST(PreDeliveryChecks, WarningBoxListsFifteenThenTheExportDateWarning) {
    IsolatedEnvironment env;
    // Map files five days older than the tables give the export date's own warning.
    DeliveryUnit owner = unit("OWNER", UnitKind::layer, true);
    owner.newest_modified = local_time(2026, 2, 28);
    std::vector<DeliveryUnit> units = {owner, table("tblRESales.txt")};
    units[1].messages = {check("looks short")};
    ScriptedQuestions short_list({Answer::yes});
    const auto outcome = run_pre_delivery_checks(units, short_list);
    ASSERT_TRUE(outcome.has_value());
    ASSERT_EQ(outcome->export_date.warnings.size(), 1u);
    ASSERT_EQ(short_list.shown.size(), 1u);
    EXPECT_EQ(short_list.shown[0].text,
              "Please double-check:\n\n  tblRESales.txt: looks short\n  " +
                  outcome->export_date.warnings[0] + "\n\nGo ahead anyway?");

    // Past fifteen items the rest are not shown.
    units[1].messages.clear();
    for (int i = 1; i <= 16; ++i)
        units[1].messages.push_back(check("check " + std::to_string(i)));
    ScriptedQuestions long_list({Answer::yes});
    ASSERT_TRUE(run_pre_delivery_checks(units, long_list).has_value());
    std::string expected = "Please double-check:\n\n";
    for (int i = 1; i <= 15; ++i)
        expected += "  tblRESales.txt: check " + std::to_string(i) + "\n";
    expected += "\nGo ahead anyway?";
    ASSERT_EQ(long_list.shown.size(), 1u);
    EXPECT_EQ(long_list.shown[0].text, expected);
}

}  // namespace
}  // namespace dalvento
