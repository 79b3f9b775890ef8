#include "core/packing/delivery_plan.h"

#include <cstddef>

#include "core/platform/time_text.h"
#include "county/text.h"

namespace dalvento {

namespace {

// The boxes list this many items at most, so they stay on the screen.
constexpr size_t MAX_LISTED_ITEMS = 15;

// Above this a delivery gets the note that the upload may take a while (100 MiB).
constexpr uint64_t LARGE_UPLOAD_BYTES = 104'857'600;

constexpr const char* NOT_READY_TITLE = "Not ready yet";
constexpr const char* NOT_READY_INTRO = "Fix these first:\n\n";
constexpr const char* NOTHING_NEW_TITLE = "Nothing new";
constexpr const char* NOTHING_NEW_TEXT =
    "Every file is identical to the copy already delivered, so there is nothing to send.\n\n"
    "If the exports haven't been re-run yet, choose No and run them.\n\n"
    "Send everything again anyway?";
constexpr const char* BEFORE_SEND_TITLE = "Before you send";
constexpr const char* BEFORE_SEND_INTRO = "Please double-check:\n\n";
constexpr const char* BEFORE_SEND_QUESTION = "\nGo ahead anyway?";

bool found(const DeliveryUnit& unit) {
    return unit.total_bytes.has_value();
}

// The first items of a list, each on its own indented line.
std::string listed_items(const std::vector<std::string>& items) {
    std::string out;
    for (size_t i = 0; i < items.size() && i < MAX_LISTED_ITEMS; ++i) {
        out += "  " + items[i] + "\n";
    }
    return out;
}

// value / divisor rounded to the nearest whole number, a tie going to the even one.
uint64_t divide_half_even(uint64_t value, uint64_t divisor) {
    uint64_t quotient = value / divisor;
    const uint64_t remainder = value % divisor;
    const uint64_t twice = remainder * 2;  // remainder < divisor <= 2^20 here: no overflow
    if (twice > divisor || (twice == divisor && quotient % 2 == 1)) ++quotient;
    return quotient;
}

}  // namespace

std::string unit_status_word(const DeliveryUnit& unit) {
    if (!found(unit)) {
        for (const UnitMessage& m : unit.messages) {
            if (m.text.find("not found") != std::string::npos) {
                return "Problem: not found where it was last time";
            }
        }
        return unit.core ? "Needed" : "Optional";
    }
    if (unit.messages.empty()) {
        if (!unit.selected) return "Not selected";
        if (unit.unchanged) return "Same as last delivery; not re-sent";
        return "Ready";
    }
    // A problem outranks any thing to check, whichever was found first.
    const UnitMessage* shown = &unit.messages.back();
    for (const UnitMessage& m : unit.messages) {
        if (m.blocking) shown = &m;
    }
    if (shown->blocking) return "Problem: " + shown->text;
    if (!unit.selected) return "Not selected";
    return "Check: " + shown->text;
}

std::optional<std::string> staying_out_reason(const DeliveryUnit& unit, bool send_everything) {
    if (!found(unit) || goes(unit, send_everything)) return std::nullopt;
    std::string reason;
    if (!unit.selected) {
        reason = "not selected";
    } else if (is_ready(unit)) {
        reason = "same as last delivery";
        if (unit.last_sent) reason += " (sent " + format_local(*unit.last_sent, "%Y-%m-%d") + ")";
    } else {
        std::vector<std::string> problems;
        for (const UnitMessage& m : unit.messages) {
            if (m.blocking) problems.push_back(m.text);
        }
        reason = join(problems, "; ");
    }
    return "  " + unit.key + ": " + reason + "\r\n";
}

std::vector<std::string> blocking_problems(const std::vector<DeliveryUnit>& units) {
    std::vector<std::string> items;
    for (const DeliveryUnit& unit : units) {
        if (!unit.core || !unit.selected) continue;
        for (const UnitMessage& m : unit.messages) {
            if (m.blocking) items.push_back(unit.key + ": " + m.text);
        }
    }
    return items;
}

bool nothing_new(const std::vector<DeliveryUnit>& units) {
    bool any = false;
    for (const DeliveryUnit& unit : units) {
        if (!unit.selected || !found(unit)) continue;
        if (!unit.unchanged) return false;
        any = true;
    }
    return any;
}

std::vector<std::string> pre_send_warnings(const std::vector<DeliveryUnit>& units,
                                           const std::vector<std::string>& further) {
    std::vector<std::string> items;
    for (const DeliveryUnit& unit : units) {
        if (!found(unit)) continue;
        if (unit.core) {
            if (!unit.selected) {
                items.push_back(unit.key + " is not selected and will not be sent");
                continue;
            }
            for (const UnitMessage& m : unit.messages) {
                if (!m.blocking) items.push_back(unit.key + ": " + m.text);
            }
        } else if (unit.selected) {
            for (const UnitMessage& m : unit.messages) {
                if (m.blocking) items.push_back(unit.key + " will be left out: " + m.text);
            }
            for (const UnitMessage& m : unit.messages) {
                if (!m.blocking) items.push_back(unit.key + ": " + m.text);
            }
        }
    }

    std::vector<std::string> first_time;
    for (const DeliveryUnit& unit : units) {
        if (unit.selected && is_ready(unit) && !unit.last_sent) first_time.push_back(unit.key);
    }
    if (first_time.size() == 1) {
        items.push_back("First time for " + first_time.front() + "; is that right?");
    } else if (first_time.size() > 1) {
        items.push_back("First time for these files: " + join(first_time, ", ") +
                        "; is that right?");
    }

    items.insert(items.end(), further.begin(), further.end());
    return items;
}

std::string delivery_summary(const std::vector<DeliveryUnit>& units, bool send_everything,
                             const std::string& zip_name, std::chrono::year_month_day export_date) {
    size_t going = 0;
    size_t left_out = 0;
    uint64_t total = 0;
    for (const DeliveryUnit& unit : units) {
        if (goes(unit, send_everything)) {
            ++going;
            total += *unit.total_bytes;
        } else if (unit.selected && is_ready(unit)) {
            ++left_out;
        }
    }
    std::string line = zip_name + ": " + std::to_string(going) + " unit(s)";
    if (left_out > 0) line += ", " + std::to_string(left_out) + " unchanged left out";
    line += ", about " + size_text(total) + ". Export date " +
            format_date(export_date, "%B %-d, %Y") + ".";
    if (total > LARGE_UPLOAD_BYTES) line += " That's a large upload and may take a while.";
    return line;
}

std::string size_text(uint64_t bytes) {
    constexpr uint64_t KIB = 1024;
    constexpr uint64_t MIB = 1024 * 1024;
    if (bytes < KIB) return std::to_string(bytes) + " B";
    if (bytes < MIB) return std::to_string(divide_half_even(bytes, KIB)) + " KB";
    // Tenths of a MiB, split so that bytes * 10 cannot overflow for any count.
    const uint64_t whole = bytes / MIB;
    const uint64_t rest = bytes % MIB;
    const uint64_t tenths = whole * 10 + divide_half_even(rest * 10, MIB);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MB";
}

std::optional<PreDeliveryOutcome> run_pre_delivery_checks(const std::vector<DeliveryUnit>& units,
                                                          DeliveryQuestions& questions) {
    const std::vector<std::string> problems = blocking_problems(units);
    if (!problems.empty()) {
        questions.error_box(NOT_READY_TITLE, NOT_READY_INTRO + listed_items(problems));
        return std::nullopt;
    }

    std::optional<ExportDate> export_date = settle_export_date(units);
    if (!export_date) return std::nullopt;

    PreDeliveryOutcome outcome{.send_everything = false, .export_date = std::move(*export_date)};
    if (nothing_new(units)) {
        if (questions.question_box(NOTHING_NEW_TITLE, NOTHING_NEW_TEXT, QuestionIcon::question) !=
            Answer::yes) {
            return std::nullopt;
        }
        outcome.send_everything = true;
    }

    const std::vector<std::string> warnings =
        pre_send_warnings(units, outcome.export_date.warnings);
    if (!warnings.empty()) {
        const std::string text = BEFORE_SEND_INTRO + listed_items(warnings) + BEFORE_SEND_QUESTION;
        if (questions.question_box(BEFORE_SEND_TITLE, text, QuestionIcon::warning) != Answer::yes) {
            return std::nullopt;
        }
    }
    return outcome;
}

}  // namespace dalvento
