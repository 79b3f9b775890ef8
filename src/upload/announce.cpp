// The announce request's body and the time form the service reads.
#include <chrono>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "core/packing/delivery_plan.h"
#include "core/platform/platform.h"
#include "core/platform/time_text.h"
#include "county/text.h"
#include "upload/delivery.h"

namespace dalvento {

namespace {

// std::map keeps members in std::less<std::string> order, which compares bytes as unsigned:
// the byte order of the names the service expects.
using Json = nlohmann::json;

std::string two_digits(int64_t value) {
    return (value < 10 ? "0" : "") + std::to_string(value);
}

Json optional_text(const std::optional<std::string>& text) {
    return text ? Json(*text) : Json(nullptr);
}

Json optional_time(const std::optional<Time>& time) {
    if (!time) return nullptr;
    return optional_text(rfc3339_local(*time));
}

std::string_view source_word(UnitKind kind) {
    switch (kind) {
        case UnitKind::layer:
            return "map";
        case UnitKind::table:
            return "parcel";
        case UnitKind::file:
            break;
    }
    return "other";
}

Json unit_object(const DeliveryUnit& unit, bool send_everything) {
    Json out = Json::object();
    out["key"] = unit.key;
    out["kind"] = std::string(unit_kind_word(unit.kind));
    out["source"] = std::string(source_word(unit.kind));
    out["core"] = unit.core;
    if (goes(unit, send_everything)) {
        out["status"] = "sent";
        out["sha256"] = optional_text(unit.sha256);
        Json files = Json::array();
        for (const UnitFile& file : unit.files) {
            Json entry = Json::object();
            entry["name"] = file.name;
            entry["sha256"] = optional_text(file.sha256);
            entry["bytes"] = file.bytes;
            entry["modified"] = optional_time(file.modified);
            files.push_back(std::move(entry));
        }
        out["files"] = std::move(files);
    } else if (unit.selected && is_ready(unit)) {
        out["status"] = "unchanged";
        out["sha256"] = optional_text(unit.sha256);
        out["last_sent"] = optional_time(unit.last_sent);
    } else {
        out["status"] = "left_out";
        std::vector<std::string> reasons;
        if (!unit.selected) {
            reasons.push_back("not selected");
        } else {
            for (const UnitMessage& message : unit.messages) {
                if (message.blocking) reasons.push_back(message.text);
            }
        }
        out["reason"] = join(reasons, "; ");
    }
    return out;
}

}  // namespace

std::optional<std::string> rfc3339_local(Time time) {
    using namespace std::chrono;
    const auto whole = floor<seconds>(time);
    const auto local = platform::to_local(Time(whole));
    if (!local) return std::nullopt;
    const year_month_day day{year(local->year), month(static_cast<unsigned>(local->month)),
                             std::chrono::day(static_cast<unsigned>(local->day))};
    const int64_t local_seconds = sys_days(day).time_since_epoch() / seconds(1) +
                                  local->hour * 3600 + local->minute * 60 + local->second;
    const int64_t offset = local_seconds - whole.time_since_epoch().count();

    std::string year_text = std::to_string(local->year);
    while (year_text.size() < 4)
        year_text.insert(year_text.begin(), '0');
    std::string out = year_text + "-" + two_digits(local->month) + "-" + two_digits(local->day) +
                      "T" + two_digits(local->hour) + ":" + two_digits(local->minute) + ":" +
                      two_digits(local->second);

    const int64_t nanos = duration_cast<nanoseconds>(time - whole).count();
    if (nanos != 0) {
        std::string digits = std::to_string(nanos);
        digits.insert(digits.begin(), 9 - digits.size(), '0');
        if (nanos % 1'000'000 == 0) {
            digits.resize(3);
        } else if (nanos % 1'000 == 0) {
            digits.resize(6);
        }
        out += "." + digits;
    }

    const int64_t minutes = std::llabs(offset) / 60;
    out += offset < 0 ? "-" : "+";
    out += two_digits(minutes / 60) + ":" + two_digits(minutes % 60);
    return out;
}

std::string announce_zip_name(const std::filesystem::path& zip_path) {
    return platform::path_text_strict(zip_path.filename()).value_or("");
}

std::string build_announce_body(const std::vector<DeliveryUnit>& units, bool send_everything,
                                std::chrono::year_month_day export_date, std::string_view sender,
                                std::string_view tax_year, std::string_view unusual,
                                std::string_view zip_name, uint64_t zip_bytes,
                                std::string_view zip_sha256) {
    Json body = Json::object();
    body["client"] = std::string(USER_AGENT);
    body["county"] = std::string(county_profile().key);
    body["export_date"] = format_date(export_date, "%Y-%m-%d");
    body["sender"] = trim(sender);
    body["tax_year"] = trim(tax_year);
    body["unusual"] = trim(unusual);
    body["zip_bytes"] = zip_bytes;
    body["zip_name"] = std::string(zip_name);
    body["zip_sha256"] = std::string(zip_sha256);
    Json listed = Json::array();
    for (const DeliveryUnit& unit : units) {
        if (unit.total_bytes) listed.push_back(unit_object(unit, send_everything));
    }
    body["units"] = std::move(listed);
    // Compact, UTF-8 as it is; a text that is not valid UTF-8 gets replacement characters rather
    // than stopping the send.
    return body.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace dalvento
