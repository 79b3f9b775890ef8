#include "check/delivery_texts.h"

#include <array>

#include "county/profile.h"

namespace dalvento {

namespace {

constexpr std::string_view CRLF = "\r\n";
constexpr std::string_view LISTING_MIDDLE = " bytes  modified ";
constexpr std::string_view EXTRA_MARK = "  (extra)";
constexpr std::array<std::string_view, 12> MONTHS = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

std::optional<uint64_t> number(std::string_view digits) {
    if (!all_digits(digits) || digits.size() > 19) return std::nullopt;
    uint64_t value = 0;
    for (const char c : digits)
        value = value * 10 + static_cast<uint64_t>(c - '0');
    return value;
}

bool is_lower_hex(std::string_view text) {
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

std::optional<std::chrono::year_month_day> valid_date(uint64_t year, uint64_t month, uint64_t day) {
    if (year > 9999 || month > 12 || day > 31) return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year(static_cast<int>(year)),
                                           std::chrono::month(static_cast<unsigned>(month)),
                                           std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok()) return std::nullopt;
    return date;
}

// "%Y-%m-%d".
std::optional<std::chrono::year_month_day> iso_date(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
    const auto y = number(text.substr(0, 4)), m = number(text.substr(5, 2)),
               d = number(text.substr(8, 2));
    if (!y || !m || !d) return std::nullopt;
    return valid_date(*y, *m, *d);
}

// "%B %-d, %Y", as the note writes the export date.
std::optional<std::chrono::year_month_day> written_date(std::string_view text) {
    const size_t space = text.find(' ');
    const size_t comma = text.find(", ");
    if (space == std::string_view::npos || comma == std::string_view::npos || comma < space) {
        return std::nullopt;
    }
    const std::string_view month_name = text.substr(0, space);
    uint64_t month = 0;
    for (size_t i = 0; i < MONTHS.size(); ++i) {
        if (MONTHS[i] == month_name) month = i + 1;
    }
    const auto day = number(text.substr(space + 1, comma - space - 1));
    const auto year = number(text.substr(comma + 2));
    if (month == 0 || !day || !year || text.substr(comma + 2).size() != 4) return std::nullopt;
    return valid_date(*year, month, *day);
}

// The text's lines without their CRLF; none when a line ends otherwise.
std::optional<std::vector<std::string_view>> crlf_lines(std::string_view text, size_t& bad_line) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        if (end == std::string_view::npos || end == 0 || text[end - 1] != '\r') {
            bad_line = lines.size() + 1;
            return std::nullopt;
        }
        const std::string_view line = text.substr(0, end - 1);
        if (line.find('\r') != std::string_view::npos) {
            bad_line = lines.size() + 1;
            return std::nullopt;
        }
        lines.push_back(line);
        text.remove_prefix(end + 1);
    }
    return lines;
}

std::string at_line(size_t line, std::string_view what) {
    return "line " + std::to_string(line) + " " + std::string(what);
}

}  // namespace

std::expected<DeliveryNote, std::string> read_delivery_note(std::string_view text) {
    size_t bad = 0;
    const auto lines = crlf_lines(text, bad);
    if (!lines) return std::unexpected(at_line(bad, "doesn't end in CR LF"));
    if (lines->empty()) return std::unexpected(std::string("it is empty"));
    const std::vector<std::string_view>& l = *lines;

    if (l[0] != std::string(county_profile().display_name) + " data delivery") {
        return std::unexpected(at_line(1, "isn't the heading \"" +
                                              std::string(county_profile().display_name) +
                                              " data delivery\""));
    }
    // The dialog's texts come before "Packed:"; the export date is on the line that starts so.
    size_t at = 1;
    std::optional<std::chrono::year_month_day> date;
    for (; at < l.size() && !l[at].starts_with("Packed: "); ++at) {
        if (!date && l[at].starts_with("Exported: ")) {
            std::string_view rest = l[at].substr(10);
            const size_t from = rest.find(" (from ");
            if (from == std::string_view::npos || !rest.ends_with(")")) {
                return std::unexpected(
                    at_line(at + 1, "doesn't say where the export date came from"));
            }
            date = written_date(rest.substr(0, from));
            if (!date) return std::unexpected(at_line(at + 1, "doesn't give an export date"));
        }
    }
    if (!date) return std::unexpected(std::string("it has no \"Exported:\" line"));
    if (at + 2 >= l.size() || !l[at + 1].empty() || l[at + 2] != "Files:") {
        return std::unexpected(at_line(at + 1, "isn't followed by the \"Files:\" heading"));
    }

    DeliveryNote note{*date, {}};
    for (at += 3; at < l.size() && !l[at].empty(); ++at) {
        std::string_view line = l[at];
        const size_t middle = line.rfind(LISTING_MIDDLE);
        if (!line.starts_with("  ") || middle == std::string_view::npos) {
            return std::unexpected(at_line(at + 1, "doesn't read as a file of the list"));
        }
        NoteListing listing;
        listing.extra = line.ends_with(EXTRA_MARK);
        std::string_view left = line.substr(2, middle - 2);
        size_t digits = left.size();
        while (digits > 0 && left[digits - 1] >= '0' && left[digits - 1] <= '9')
            --digits;
        const auto bytes = number(left.substr(digits));
        left = left.substr(0, digits);
        if (!bytes || !left.ends_with(' ')) {
            return std::unexpected(at_line(at + 1, "doesn't give the file's size"));
        }
        while (!left.empty() && left.back() == ' ')
            left.remove_suffix(1);
        if (left.empty()) return std::unexpected(at_line(at + 1, "doesn't name a file"));
        listing.name = std::string(left);
        listing.bytes = *bytes;
        note.files.push_back(std::move(listing));
    }
    // Then the optional sections, each after an empty line, and the signature last.
    if (l.size() < 2 || !l.back().starts_with("Packed by Dalvento ") || !l[l.size() - 2].empty()) {
        return std::unexpected(
            std::string("it doesn't end with the line \"Packed by Dalvento\" and its version"));
    }
    return note;
}

std::expected<std::vector<SumsLine>, std::string> read_sums(std::string_view text) {
    size_t bad = 0;
    const auto lines = crlf_lines(text, bad);
    if (!lines) return std::unexpected(at_line(bad, "doesn't end in CR LF"));
    std::vector<SumsLine> sums;
    for (size_t i = 0; i < lines->size(); ++i) {
        const std::string_view line = (*lines)[i];
        if (line.size() < 67 || line.substr(64, 2) != "  " || !is_lower_hex(line.substr(0, 64))) {
            return std::unexpected(at_line(i + 1, "isn't \"{SHA-256}  {name}\""));
        }
        sums.push_back({std::string(line.substr(0, 64)), std::string(line.substr(66))});
    }
    return sums;
}

std::optional<std::chrono::year_month_day> zip_name_date(std::string_view zip_name) {
    const std::string key = std::string(county_profile().key) + "-";
    if (!zip_name.starts_with(key) || !zip_name.ends_with(".zip")) return std::nullopt;
    std::string_view rest = zip_name.substr(key.size(), zip_name.size() - key.size() - 4);
    if (rest.size() < 11 || rest[10] != '-') return std::nullopt;
    const auto date = iso_date(rest.substr(0, 10));
    if (!date) return std::nullopt;
    rest.remove_prefix(11);
    // The tag: 8 hex digits, or nothing; then perhaps "-{n}", n from 2.
    std::string_view tag = rest, copy;
    if (const size_t dash = rest.find('-'); dash != std::string_view::npos) {
        tag = rest.substr(0, dash);
        copy = rest.substr(dash + 1);
        const auto n = number(copy);
        if (!n || *n < 2 || copy.front() == '0') return std::nullopt;
    }
    if (!tag.empty() && (tag.size() != 8 || !is_lower_hex(tag))) return std::nullopt;
    return date;
}

}  // namespace dalvento
