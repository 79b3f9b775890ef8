#include "standin/rules.h"

#include <regex>
#include <set>

namespace dalvento::standin {

namespace {

using json = nlohmann::json;

// A local time as the client writes it: RFC 3339 with a numeric offset, fractions only when
// non-zero, in 3, 6 or 9 digits.
bool is_local_time(const json& value) {
    if (!value.is_string()) return false;
    static const std::regex form(
        R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.(\d{3}|\d{6}|\d{9}))?[+-]\d{2}:\d{2})");
    std::smatch match;
    const std::string& text = value.get_ref<const std::string&>();
    if (!std::regex_match(text, match, form)) return false;
    const std::string fraction = match[2].str();
    return fraction.empty() || fraction.find_first_not_of('0') != std::string::npos;
}

std::optional<std::string> members_problem(const json& object, const std::set<std::string>& names) {
    for (const auto& item : object.items()) {
        if (!names.contains(item.key())) return "unknown member " + item.key();
    }
    for (const std::string& name : names) {
        if (!object.contains(name)) return "missing member " + name;
    }
    return std::nullopt;
}

std::optional<std::string> unit_problem(const json& unit) {
    if (!unit.is_object()) return std::string("must be an object");
    const auto text = [&](const char* name) {
        return unit.contains(name) && unit[name].is_string() ? unit[name].get<std::string>() : "";
    };
    const std::string status = text("status");
    std::set<std::string> names = {"key", "kind", "source", "core", "status"};
    if (status == "sent") {
        names.insert({"sha256", "files"});
    } else if (status == "unchanged") {
        names.insert({"sha256", "last_sent"});
    } else if (status == "left_out") {
        names.insert("reason");
    } else {
        return std::string("status must be sent, unchanged or left_out");
    }
    if (auto problem = members_problem(unit, names)) return problem;
    if (text("key").empty()) return std::string("key must be a non-empty string");
    const std::string kind = text("kind"), source = text("source");
    if (!((kind == "layer" && source == "map") || (kind == "table" && source == "parcel") ||
          (kind == "file" && source == "other"))) {
        return std::string("kind and source must be layer/map, table/parcel or file/other");
    }
    if (!unit["core"].is_boolean()) return std::string("core must be true or false");
    if (status == "left_out") {
        if (text("reason").empty()) return std::string("reason must be a non-empty string");
        return std::nullopt;
    }
    if (!unit["sha256"].is_null() && !is_hex64(unit["sha256"])) {
        return std::string("sha256 must be 64 lower-case hex digits or null");
    }
    if (status == "unchanged") {
        if (!unit["last_sent"].is_null() && !is_local_time(unit["last_sent"])) {
            return std::string("last_sent must be an RFC 3339 local time or null");
        }
        return std::nullopt;
    }
    if (!unit["files"].is_array()) return std::string("files must be an array");
    for (const json& file : unit["files"]) {
        if (!file.is_object()) return std::string("each file must be an object");
        if (auto problem = members_problem(file, {"name", "sha256", "bytes", "modified"})) {
            return "file: " + *problem;
        }
        if (!file["name"].is_string() || file["name"].get<std::string>().empty()) {
            return std::string("file name must be a non-empty string");
        }
        if (!file["sha256"].is_null() && !is_hex64(file["sha256"])) {
            return std::string("file sha256 must be 64 lower-case hex digits or null");
        }
        if (!file["bytes"].is_number_unsigned()) return std::string("file bytes must be a number");
        if (!file["modified"].is_null() && !is_local_time(file["modified"])) {
            return std::string("file modified must be an RFC 3339 local time or null");
        }
    }
    return std::nullopt;
}

}  // namespace

bool is_hex64(const json& value) {
    if (!value.is_string()) return false;
    const std::string& text = value.get_ref<const std::string&>();
    if (text.size() != 64) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

std::optional<std::string> announce_problem(const json& announce) {
    if (!announce.is_object()) return std::string("the announce must be a JSON object");
    static const char* const texts[] = {"client",   "county",  "export_date", "sender",
                                        "tax_year", "unusual", "zip_name",    "zip_sha256"};
    std::set<std::string> names(std::begin(texts), std::end(texts));
    names.insert({"units", "zip_bytes"});
    if (auto problem = members_problem(announce, names)) return problem;
    for (const char* name : texts) {
        if (!announce[name].is_string()) return std::string(name) + " must be a string";
    }
    if (announce["county"].get<std::string>().empty()) return std::string("county is empty");
    static const std::regex date(R"(\d{4}-\d{2}-\d{2})");
    if (!std::regex_match(announce["export_date"].get<std::string>(), date)) {
        return std::string("export_date must read YYYY-MM-DD");
    }
    if (!announce["zip_bytes"].is_number_unsigned()) {
        return std::string("zip_bytes must be a whole number");
    }
    if (!is_hex64(announce["zip_sha256"])) {
        return std::string("zip_sha256 must be 64 lower-case hex digits");
    }
    const std::string zip_name = announce["zip_name"].get<std::string>();
    if (zip_name == "." || zip_name == ".." || zip_name.find_first_of("/\\") != std::string::npos) {
        return std::string("zip_name must be a plain file name");
    }
    if (!announce["units"].is_array()) return std::string("units must be an array");
    size_t index = 0;
    for (const json& unit : announce["units"]) {
        if (auto problem = unit_problem(unit)) {
            return "units[" + std::to_string(index) + "]: " + *problem;
        }
        ++index;
    }
    return std::nullopt;
}

// Bodies are written compactly with members in ascending byte order; nlohmann's own output is
// exactly that form, so a body that differs from its re-serialisation is not in it.
bool is_canonical(const json& value, std::string_view text) {
    return value.dump() == text;
}

}  // namespace dalvento::standin
