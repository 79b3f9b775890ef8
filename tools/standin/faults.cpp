// The fault script: what the tests tell the stand-in to do wrong, read from its JSON form, and
// the ETag a fault puts in place of the right one.
#include "standin/faults.h"

#include <map>
#include <nlohmann/json.hpp>
#include <set>

namespace dalvento::standin {

namespace {

using json = nlohmann::json;

std::string ascii_upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

}  // namespace

std::optional<std::string> faulty_etag(const Fault& fault, std::optional<std::string> etag,
                                       const std::string& hex, const std::string& other_hex) {
    switch (fault.etag) {
        case EtagFault::None:
            break;
        case EtagFault::Wrong:
            etag = "\"" + other_hex + "\"";
            break;
        case EtagFault::Weak:
            etag = "W/\"" + hex + "\"";
            break;
        case EtagFault::Upper:
            etag = "\"" + ascii_upper(hex) + "\"";
            break;
        case EtagFault::WeakUpper:
            etag = "W/\"" + ascii_upper(hex) + "\"";
            break;
        case EtagFault::Missing:
            etag.reset();
            break;
    }
    if (fault.etag_value) etag = *fault.etag_value;
    return etag;
}

const Fault* FaultScript::find(const std::string& step, uint32_t attempt,
                               std::optional<uint64_t> part, uint32_t part_attempt) const {
    for (const Fault& fault : faults) {
        if (fault.step != step) continue;
        if (fault.part && (!part || *fault.part != *part)) continue;
        const uint32_t nth = fault.part ? part_attempt : attempt;
        if (fault.attempt == 0 || fault.attempt == nth) return &fault;
    }
    return nullptr;
}

std::expected<std::vector<Fault>, std::string> faults_from_json(std::string_view text) {
    const json parsed = json::parse(text, nullptr, false);
    if (parsed.is_discarded()) return std::unexpected(std::string("the faults aren't JSON"));
    const json* list = &parsed;
    if (parsed.is_object() && parsed.contains("faults")) list = &parsed["faults"];
    if (!list->is_array()) return std::unexpected(std::string("faults must be an array"));

    static const std::map<std::string, EtagFault> etags = {
        {"wrong", EtagFault::Wrong},     {"weak", EtagFault::Weak},
        {"upper", EtagFault::Upper},     {"weak_upper", EtagFault::WeakUpper},
        {"missing", EtagFault::Missing},
    };
    static const std::set<std::string> steps = {"announce", "upload", "complete", "echo"};
    std::vector<Fault> faults;
    for (const json& item : *list) {
        const std::string where = "fault " + std::to_string(faults.size() + 1) + ": ";
        if (!item.is_object()) return std::unexpected(where + "must be an object");
        Fault fault;
        bool stall_after = false;
        for (const auto& member : item.items()) {
            const std::string& name = member.key();
            const json& value = member.value();
            const auto need = [&](bool ok, const char* what) -> std::optional<std::string> {
                if (ok) return std::nullopt;
                return where + name + " must be " + what;
            };
            std::optional<std::string> problem;
            if (name == "step") {
                problem = need(value.is_string() && steps.contains(value.get<std::string>()),
                               "announce, upload, complete or echo");
                if (!problem) fault.step = value.get<std::string>();
            } else if (name == "attempt") {
                problem = need(value.is_number_unsigned(), "a number");
                if (!problem) fault.attempt = value.get<uint32_t>();
            } else if (name == "part") {
                problem = need(value.is_number_unsigned(), "a number");
                if (!problem) fault.part = value.get<uint64_t>();
            } else if (name == "status") {
                problem = need(value.is_number_unsigned() && value.get<uint64_t>() >= 100 &&
                                   value.get<uint64_t>() <= 999,
                               "a status from 100 to 999");
                if (!problem) fault.status = value.get<int>();
            } else if (name == "body") {
                problem = need(value.is_string(), "a string");
                if (!problem) fault.body = value.get<std::string>();
            } else if (name == "not_json") {
                problem = need(value.is_boolean(), "true or false");
                if (!problem && value.get<bool>()) {
                    fault.body = "<html><body><h1>Service temporarily confused</h1></body></html>";
                }
            } else if (name == "reply_bytes") {
                problem = need(value.is_number_unsigned(), "a number");
                if (!problem) fault.reply_bytes = value.get<uint64_t>();
            } else if (name == "etag") {
                problem = need(value.is_string() && etags.contains(value.get<std::string>()),
                               "wrong, weak, upper, weak_upper or missing");
                if (!problem) fault.etag = etags.at(value.get<std::string>());
            } else if (name == "etag_value") {
                problem = need(value.is_string(), "a string");
                if (!problem) fault.etag_value = value.get<std::string>();
            } else if (name == "drop" || name == "not_http" || name == "cut_reply" ||
                       name == "chunked" || name == "cut_chunked" || name == "cut_in_chunk" ||
                       name == "redirect") {
                problem = need(value.is_boolean(), "true or false");
                if (!problem) {
                    (name == "drop"           ? fault.drop
                     : name == "not_http"     ? fault.not_http
                     : name == "cut_reply"    ? fault.cut_reply
                     : name == "chunked"      ? fault.chunked
                     : name == "cut_chunked"  ? fault.cut_chunked
                     : name == "cut_in_chunk" ? fault.cut_in_chunk
                                              : fault.redirect) = value.get<bool>();
                }
            } else if (name == "drop_after") {
                problem = need(value.is_number_unsigned(), "a number");
                if (!problem) {
                    fault.drop = true;
                    fault.drop_after = value.get<uint64_t>();
                }
            } else if (name == "stall") {
                problem =
                    need(value.is_number() && value.get<double>() >= 0, "a number of seconds");
                if (!problem) fault.stall = value.get<double>();
            } else if (name == "stall_after") {
                problem = need(value.is_number_unsigned(), "a number");
                if (!problem) fault.stall_after = value.get<uint64_t>();
                stall_after = !problem;
            } else {
                problem = where + "unknown member " + name;
            }
            if (problem) return std::unexpected(*problem);
        }
        if (fault.step.empty()) return std::unexpected(where + "step is missing");
        if (stall_after && !fault.stall) return std::unexpected(where + "stall_after needs stall");
        if (fault.redirect && !fault.status) fault.status = 307;
        faults.push_back(std::move(fault));
    }
    return faults;
}

}  // namespace dalvento::standin
