#include "core/platform/time_text.h"

#include "core/platform/platform.h"

namespace dalvento {

namespace {

constexpr const char* MONTH_NAMES[] = {"January",   "February", "March",    "April",
                                       "May",       "June",     "July",     "August",
                                       "September", "October",  "November", "December"};

std::string two_digits(int value) {
    std::string s = std::to_string(value);
    return s.size() < 2 ? "0" + s : s;
}

std::string format_fields(const platform::LocalDateTime& t, std::string_view pattern) {
    std::string out;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%' || i + 1 == pattern.size()) {
            out += pattern[i];
            continue;
        }
        char c = pattern[++i];
        if (c == '-' && i + 1 < pattern.size() && pattern[i + 1] == 'd') {
            ++i;
            out += std::to_string(t.day);
            continue;
        }
        switch (c) {
            case 'Y': {
                std::string year = std::to_string(t.year);
                while (year.size() < 4)
                    year.insert(year.begin(), '0');
                out += year;
                break;
            }
            case 'm':
                out += two_digits(t.month);
                break;
            case 'd':
                out += two_digits(t.day);
                break;
            case 'H':
                out += two_digits(t.hour);
                break;
            case 'M':
                out += two_digits(t.minute);
                break;
            case 'S':
                out += two_digits(t.second);
                break;
            case 'B':
                out += (t.month >= 1 && t.month <= 12) ? MONTH_NAMES[t.month - 1] : "?";
                break;
            case '%':
                out += '%';
                break;
            default:
                out += '%';
                out += c;
                break;
        }
    }
    return out;
}

}  // namespace

std::string format_local(Time time, std::string_view pattern) {
    const auto local = platform::to_local(time);
    if (!local) return "";
    return format_fields(*local, pattern);
}

std::string format_date(std::chrono::year_month_day date, std::string_view pattern) {
    platform::LocalDateTime t;
    t.year = static_cast<int>(date.year());
    t.month = static_cast<int>(static_cast<unsigned>(date.month()));
    t.day = static_cast<int>(static_cast<unsigned>(date.day()));
    return format_fields(t, pattern);
}

std::optional<std::chrono::year_month_day> local_day(Time time) {
    const auto local = platform::to_local(time);
    if (!local) return std::nullopt;
    return std::chrono::year_month_day{std::chrono::year(local->year),
                                       std::chrono::month(static_cast<unsigned>(local->month)),
                                       std::chrono::day(static_cast<unsigned>(local->day))};
}

int64_t unix_seconds(Time time) {
    return std::chrono::floor<std::chrono::seconds>(time.time_since_epoch()).count();
}

std::optional<Time> time_from_unix_seconds(int64_t seconds) {
    // The clock counts in units finer than seconds; keep well inside its range.
    constexpr int64_t limit =
        std::chrono::duration_cast<std::chrono::seconds>(Time::duration::max()).count() / 2;
    if (seconds > limit || seconds < -limit) return std::nullopt;
    return Time(std::chrono::duration_cast<Time::duration>(std::chrono::seconds(seconds)));
}

}  // namespace dalvento
