// The announce request's body: what goes, what stays out, in the service's exact form.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/platform/platform.h"
#include "support/test_support.h"
#include "upload/delivery.h"

namespace dalvento {
namespace {

using testing::IsolatedEnvironment;
using testing::local_time;
using testing::unit_of_files;
using Json = nlohmann::json;

UnitFile member(std::string name, uint64_t bytes, std::optional<Time> modified,
                std::optional<std::string> sha256) {
    UnitFile f;
    f.name = std::move(name);
    f.bytes = bytes;
    f.modified = modified;
    f.sha256 = std::move(sha256);
    return f;
}

TEST(AnnounceBody, ExactTextForARealisticDelivery) {
    IsolatedEnvironment env;  // EST5
    const std::string A(64, 'a'), B(64, 'b'), C(64, 'c'), D(64, 'd');
    std::vector<DeliveryUnit> units;

    DeliveryUnit owner =
        unit_of_files("OWNER", UnitKind::layer, true,
                      {member("OWNER.shp", 1000,
                              local_time(2026, 3, 5, 9, 30) + std::chrono::milliseconds(250), A),
                       member("OWNER.prj", 0, std::nullopt, std::nullopt)});
    owner.sha256 = D;
    units.push_back(owner);

    DeliveryUnit assessment =
        unit_of_files("tblREAssessment.txt", UnitKind::table, true,
                      {member("tblREAssessment.txt", 1234, local_time(2026, 3, 5, 9, 30), B)});
    assessment.unchanged = true;
    assessment.sha256 = B;
    assessment.last_sent = local_time(2026, 2, 1, 16, 45);
    units.push_back(assessment);

    DeliveryUnit placeholder;  // not found: never listed
    placeholder.key = "tblREProperty.txt";
    placeholder.kind = UnitKind::table;
    placeholder.core = true;
    placeholder.selected = true;
    units.push_back(placeholder);

    DeliveryUnit sales = unit_of_files("tblRESales.txt", UnitKind::table, true,
                                       {member("tblRESales.txt", 7, local_time(2026, 3, 4), C)});
    sales.selected = false;
    sales.messages = {{"is empty", true}};
    units.push_back(sales);

    DeliveryUnit scan = unit_of_files("Übersicht \"März\".pdf", UnitKind::file, false,
                                      {member("Übersicht \"März\".pdf", 9, std::nullopt, C)});
    scan.messages = {{"cannot be read", true}, {"looks short", false}, {"is locked", true}};
    units.push_back(scan);

    const std::string body = build_announce_body(
        units, false, std::chrono::year(2026) / 3 / 5, "  Dana Pérez\t", " 2026 roll ",
        "new \\ \"road\"\nnames ", "QUARNELL-2026-03-05-1a2b3c4d.zip", 123456, D);
    std::string expected =
        R"({"client":"dalvento/0.2.0","county":"QUARNELL","export_date":"2026-03-05",)"
        R"("sender":"Dana Pérez","tax_year":"2026 roll","units":[)"
        R"({"core":true,"files":[)"
        R"({"bytes":1000,"modified":"2026-03-05T09:30:00.250-05:00","name":"OWNER.shp",)"
        R"("sha256":"<A>"},)"
        R"({"bytes":0,"modified":null,"name":"OWNER.prj","sha256":null}],)"
        R"("key":"OWNER","kind":"layer","sha256":"<D>","source":"map","status":"sent"},)"
        R"({"core":true,"key":"tblREAssessment.txt","kind":"table",)"
        R"("last_sent":"2026-02-01T16:45:00-05:00","sha256":"<B>","source":"parcel",)"
        R"("status":"unchanged"},)"
        R"({"core":true,"key":"tblRESales.txt","kind":"table","reason":"not selected",)"
        R"("source":"parcel","status":"left_out"},)"
        R"({"core":false,"key":"Übersicht \"März\".pdf","kind":"file",)"
        R"("reason":"cannot be read; is locked","source":"other","status":"left_out"}],)"
        R"("unusual":"new \\ \"road\"\nnames","zip_bytes":123456,)"
        R"("zip_name":"QUARNELL-2026-03-05-1a2b3c4d.zip","zip_sha256":"<D>"})";
    for (const auto& [mark, hash] : {std::pair{"<A>", A}, {"<B>", B}, {"<D>", D}}) {
        for (size_t at; (at = expected.find(mark)) != std::string::npos;) {
            expected.replace(at, 3, hash);
        }
    }
    EXPECT_EQ(body, expected);

    // Read back by the library as a second parser, and every level's names in byte order.
    const Json parsed = Json::parse(body);
    EXPECT_EQ(parsed.dump(-1, ' ', false), body);

    // Sent again on purpose: the unchanged table goes with its files.
    const Json everything = Json::parse(
        build_announce_body(units, true, std::chrono::year(2026) / 3 / 5, "", "", "", "", 0, ""));
    EXPECT_EQ(everything["units"][1]["status"], "sent");
    EXPECT_EQ(everything["units"][1]["files"][0]["modified"], "2026-03-05T09:30:00-05:00");
    EXPECT_EQ(everything["unusual"], "");
}

TEST(AnnounceBody, MemberNamesSortByBytes) {
    // The library's object keeps names in unsigned byte order: capitals, then lower case, then
    // anything beyond ASCII.
    Json object = Json::object();
    object["\xC3\xA9t\xC3\xA9"] = 1;
    object["zip"] = 2;
    object["Zip"] = 3;
    object["_"] = 4;
    EXPECT_EQ(object.dump(-1, ' ', false), "{\"Zip\":3,\"_\":4,\"zip\":2,\"\xC3\xA9t\xC3\xA9\":1}");
}

TEST(AnnounceBody, LocalTimesCarryTheirOffset) {
    IsolatedEnvironment env;  // EST5
    using namespace std::chrono;
    const Time t = local_time(2026, 1, 2, 3, 4, 5);
    EXPECT_EQ(rfc3339_local(t), "2026-01-02T03:04:05-05:00");
    EXPECT_EQ(rfc3339_local(t + milliseconds(500)), "2026-01-02T03:04:05.500-05:00");
    EXPECT_EQ(rfc3339_local(t + microseconds(123456)), "2026-01-02T03:04:05.123456-05:00");
    EXPECT_EQ(rfc3339_local(t + microseconds(1000)), "2026-01-02T03:04:05.001-05:00");
    EXPECT_EQ(rfc3339_local(t + duration_cast<Time::duration>(nanoseconds(7))),
              "2026-01-02T03:04:05.000000007-05:00");
    // Before 1970 the fraction still counts up from the whole second, on both builds.
    EXPECT_EQ(rfc3339_local(Time{} - milliseconds(250)), "1969-12-31T18:59:59.750-05:00");

    platform::set_time_zone("UTC0");
    EXPECT_EQ(rfc3339_local(t), "2026-01-02T08:04:05+00:00");
    platform::set_time_zone("IST-5:30");
    EXPECT_EQ(rfc3339_local(t), "2026-01-02T13:34:05+05:30");
    platform::set_time_zone("EST5");

    EXPECT_EQ(announce_zip_name(std::filesystem::path("out") / "QUARNELL-2026-03-05-x.zip"),
              "QUARNELL-2026-03-05-x.zip");
}

}  // namespace
}  // namespace dalvento
