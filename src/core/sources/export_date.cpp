#include "core/sources/export_date.h"

#include <algorithm>
#include <array>

#include "core/platform/platform.h"
#include "core/platform/time_text.h"
#include "county/text.h"

namespace dalvento {

namespace {

using std::chrono::year_month_day;

constexpr std::string_view CREA_DATE_TAG = "<CreaDate>";

// Streams a file once, checking it is UTF-8 throughout and keeping the 8 bytes that follow the
// first "<CreaDate>". Holds one buffer, whatever the file's size.
class CreaDateScanner {
  public:
    void feed(std::string_view bytes) {
        for (const char c : bytes) {
            if (!valid_) return;
            step_utf8(static_cast<unsigned char>(c));
            step_tag(c);
        }
    }

    // The date, when the file was valid UTF-8 to its end and the tag held a real YYYYMMDD date.
    std::optional<year_month_day> finish() const {
        if (!valid_ || pending_ != 0 || !found_ || digits_.size() < 8) return std::nullopt;
        int values[8];
        for (size_t i = 0; i < 8; ++i) {
            if (digits_[i] < '0' || digits_[i] > '9') return std::nullopt;
            values[i] = digits_[i] - '0';
        }
        const int y = values[0] * 1000 + values[1] * 100 + values[2] * 10 + values[3];
        const unsigned m = static_cast<unsigned>(values[4] * 10 + values[5]);
        const unsigned d = static_cast<unsigned>(values[6] * 10 + values[7]);
        const year_month_day date{std::chrono::year(y), std::chrono::month(m), std::chrono::day(d)};
        if (!date.ok()) return std::nullopt;
        return date;
    }

  private:
    void step_utf8(unsigned char b) {
        if (pending_ == 0) {
            if (b < 0x80) return;
            if ((b & 0xE0) == 0xC0)
                pending_ = 1, code_ = b & 0x1F, min_ = 0x80;
            else if ((b & 0xF0) == 0xE0)
                pending_ = 2, code_ = b & 0x0F, min_ = 0x800;
            else if ((b & 0xF8) == 0xF0)
                pending_ = 3, code_ = b & 0x07, min_ = 0x10000;
            else
                valid_ = false;
            return;
        }
        if ((b & 0xC0) != 0x80) {
            valid_ = false;
            return;
        }
        code_ = (code_ << 6) | (b & 0x3F);
        if (--pending_ == 0 &&
            (code_ < min_ || code_ > 0x10FFFF || (code_ >= 0xD800 && code_ <= 0xDFFF))) {
            valid_ = false;
        }
    }

    void step_tag(char c) {
        if (found_) {
            if (digits_.size() < 8) digits_ += c;
            return;
        }
        if (c == CREA_DATE_TAG[matched_]) {
            if (++matched_ == CREA_DATE_TAG.size()) found_ = true;
        } else {
            matched_ = (c == CREA_DATE_TAG[0]) ? 1 : 0;
        }
    }

    bool valid_ = true;
    int pending_ = 0;
    char32_t code_ = 0;
    char32_t min_ = 0;
    size_t matched_ = 0;
    bool found_ = false;
    std::string digits_;
};

std::optional<year_month_day> read_crea_date(const std::filesystem::path& path) {
    auto file = platform::InputFile::open(path);
    if (!file) return std::nullopt;
    CreaDateScanner scanner;
    std::array<char, 8192> buffer;
    for (;;) {
        const auto got = file->read(buffer.data(), buffer.size());
        if (!got) return std::nullopt;
        if (*got == 0) break;
        scanner.feed(std::string_view(buffer.data(), *got));
    }
    return scanner.finish();
}

int64_t days_apart(year_month_day a, year_month_day b) {
    const auto diff = (std::chrono::sys_days(a) - std::chrono::sys_days(b)).count();
    return diff < 0 ? -diff : diff;
}

}  // namespace

std::optional<year_month_day> newest_export_day(const std::vector<DeliveryUnit>& units,
                                                UnitKind kind) {
    std::optional<Time> newest;
    for (const DeliveryUnit& unit : units) {
        if (unit.kind != kind || !unit.selected || !unit.total_bytes || !unit.newest_modified) {
            continue;
        }
        if (!newest || *unit.newest_modified > *newest) newest = unit.newest_modified;
    }
    if (!newest) return std::nullopt;
    return local_day(*newest);
}

std::optional<year_month_day> map_metadata_date(const std::vector<DeliveryUnit>& units) {
    const auto layer = std::find_if(units.begin(), units.end(), [](const DeliveryUnit& unit) {
        return unit.kind == UnitKind::layer && unit.core && unit.selected;
    });
    if (layer == units.end()) return std::nullopt;
    for (const UnitFile& file : layer->files) {
        if (ascii_lower(file.name).ends_with(".shp.xml")) return read_crea_date(file.path);
    }
    return std::nullopt;
}

std::optional<ExportDate> settle_export_date(const std::vector<DeliveryUnit>& units) {
    const auto metadata = map_metadata_date(units);
    const auto map_day = newest_export_day(units, UnitKind::layer);
    const auto table_day = newest_export_day(units, UnitKind::table);

    ExportDate result;
    if (metadata) {
        result.date = *metadata, result.source = "map metadata";
    } else if (table_day) {
        result.date = *table_day, result.source = "newest table export";
    } else if (map_day) {
        result.date = *map_day, result.source = "newest map file";
    } else {
        return std::nullopt;
    }

    const auto map_side = map_day ? map_day : metadata;
    if (map_side && table_day) {
        const int64_t n = days_apart(*map_side, *table_day);
        if (n >= 4) {
            result.warnings.push_back("the map (" + format_date(*map_side, "%Y-%m-%d") +
                                      ") and the tables (" + format_date(*table_day, "%Y-%m-%d") +
                                      ") were exported " + std::to_string(n) +
                                      " days apart; is one of them from an older export?");
        }
    }
    return result;
}

}  // namespace dalvento
