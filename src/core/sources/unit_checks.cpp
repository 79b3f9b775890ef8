#include "core/sources/unit_checks.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>

#include "core/platform/platform.h"
#include "core/platform/time_text.h"
#include "core/sources/cutoff_checks.h"
#include "core/tracking/hash_cache.h"
#include "county/text.h"

namespace dalvento {

namespace {

constexpr const char* IN_USE_TEXT =
    "file is in use; close ArcGIS Pro (or the program holding it) and check again";
constexpr const char* CANT_READ_PREFIX = "can't read it: ";
constexpr const char* CANT_OPEN_PREFIX = "can't open it: ";
constexpr const char* NO_CPG_TEXT =
    "no .cpg file; the text encoding of the attributes isn't recorded";
constexpr const char* LOCK_TEXT =
    "an ArcGIS lock file sits next to it; is ArcGIS Pro still open on this layer?";
constexpr const char* EMPTY_FILE_TEXT = "file is empty";
constexpr const char* NOT_DELIMITED_TEXT = "doesn't look like a ^-delimited export";

// The field check looks at the start of a table only: enough lines to judge the export.
constexpr uint64_t FIELD_CHECK_LINES = 500;
constexpr size_t FIELD_CHECK_BUFFER_BYTES = 8 * 1024;
constexpr double FIELD_SHARE_NEEDED = 0.9;

// The field count most lines have, the larger count on a tie; 0 when no line was counted.
uint64_t most_common(const std::map<uint64_t, uint64_t>& lines_per_count) {
    uint64_t best = 0;
    uint64_t best_lines = 0;
    for (const auto& [fields, lines] : lines_per_count) {
        if (lines >= best_lines) {
            best = fields;
            best_lines = lines;
        }
    }
    return best;
}

double share_of(const std::map<uint64_t, uint64_t>& lines_per_count, uint64_t total,
                uint64_t fields) {
    if (total == 0) return 0.0;
    const auto found = lines_per_count.find(fields);
    const uint64_t lines = found == lines_per_count.end() ? 0 : found->second;
    return static_cast<double>(lines) / static_cast<double>(total);
}

void add_message(DeliveryUnit& unit, std::string text, bool blocking) {
    unit.messages.push_back(UnitMessage{std::move(text), blocking});
}

// Orders member files by name in byte order, then by path, whatever order the folder listed them.
bool member_before(const MemberFile& a, const MemberFile& b) {
    if (a.name != b.name) return a.name < b.name;
    return platform::path_text(a.path) < platform::path_text(b.path);
}

}  // namespace

std::expected<UnitFile, std::string> read_unit_file(const std::string& name,
                                                    const std::filesystem::path& path,
                                                    State& state) {
    const auto info = platform::file_info(path);
    if (!info) return std::unexpected(CANT_READ_PREFIX + info.error().text);
    {
        // Opened only to learn whether another program holds the file; closed again at once.
        const auto opened = platform::InputFile::open(path);
        if (!opened) {
            if (platform::is_in_use(opened.error())) return std::unexpected(IN_USE_TEXT);
            return std::unexpected(CANT_OPEN_PREFIX + opened.error().text);
        }
    }
    UnitFile file{name, path, std::nullopt, info->size, info->modified};
    if (info->size > 0) {
        auto sha256 = file_fingerprint(state, path, info->size, info->modified);
        if (!sha256) return std::unexpected(CANT_READ_PREFIX + sha256.error());
        file.sha256 = std::move(*sha256);
    }
    return file;
}

void check_layer_siblings(DeliveryUnit& unit, const std::vector<std::string>& member_names) {
    std::set<std::string_view> extensions;
    for (const std::string& name : member_names) {
        if (const auto split = split_layer_file_name(name)) extensions.insert(split->extension);
    }
    std::vector<std::string> missing;
    for (std::string_view extension : CORE_LAYER_EXTENSIONS) {
        if (!extensions.contains(extension)) missing.push_back("." + std::string(extension));
    }
    if (!missing.empty()) add_message(unit, "missing " + join(missing, ", "), true);
    if (!extensions.contains("cpg")) add_message(unit, NO_CPG_TEXT, false);
}

DeliveryUnit check_layer_unit(const std::string& key, const ProfileUnit* profile,
                              const std::filesystem::path& folder, std::vector<MemberFile> members,
                              bool locked, State& state) {
    std::sort(members.begin(), members.end(), member_before);

    DeliveryUnit unit;
    unit.key = key;
    unit.description = profile ? std::string(profile->description) : "layer";
    unit.folder = folder;
    unit.core = profile != nullptr;
    unit.kind = UnitKind::layer;
    apply_selection_and_last_sent(unit, state);

    std::vector<std::string> names;
    for (const MemberFile& member : members)
        names.push_back(member.name);
    check_layer_siblings(unit, names);
    if (locked) add_message(unit, LOCK_TEXT, false);

    uint64_t total = 0;
    for (const MemberFile& member : members) {
        auto file = read_unit_file(member.name, member.path, state);
        if (!file) {
            add_message(unit, member.name + ": " + file.error(), true);
            continue;
        }
        total += file->bytes;
        if (file->modified && (!unit.newest_modified || *file->modified > *unit.newest_modified)) {
            unit.newest_modified = file->modified;
        }
        unit.files.push_back(std::move(*file));
    }
    unit.total_bytes = total;

    std::vector<std::string> empty;
    for (const UnitFile& file : unit.files) {
        if (file.bytes == 0) empty.push_back(file.name);
    }
    if (!empty.empty()) add_message(unit, "empty: " + join(empty, ", "), true);
    check_layer_consistency(unit);

    unit_fingerprint_and_unchanged(unit, state.sent_hash);
    return unit;
}

void TableFieldCounter::end_line() {
    ++lines_;
    // A carriage return before the line feed is no content: a line of just "\r" is empty.
    const bool empty = line_bytes_ == 0 || (line_bytes_ == 1 && starts_with_cr_);
    if (!empty) {
        ++lines_per_count_[carets_ + 1];
        ++counted_;
        if (!first_line_fields_) first_line_fields_ = carets_ + 1;
    }
    line_bytes_ = 0;
    carets_ = 0;
}

void TableFieldCounter::feed(const char* data, size_t size) {
    for (size_t i = 0; i < size && lines_ < FIELD_CHECK_LINES; ++i) {
        const char c = data[i];
        if (c == '\n') {
            end_line();
            continue;
        }
        if (line_bytes_ == 0) starts_with_cr_ = c == '\r';
        ++line_bytes_;
        if (c == '^') ++carets_;
    }
}

void TableFieldCounter::finish() {
    if (lines_ < FIELD_CHECK_LINES && line_bytes_ > 0) end_line();
}

bool TableFieldCounter::full() const {
    return lines_ >= FIELD_CHECK_LINES;
}

std::optional<uint64_t> judge_table_fields(DeliveryUnit& unit, const TableFieldCounter& counter,
                                           std::optional<unsigned> expected_fields) {
    const auto& counts = counter.lines_per_count_;
    if (expected_fields) {
        if (share_of(counts, counter.counted_, *expected_fields) < FIELD_SHARE_NEEDED) {
            add_message(unit,
                        "doesn't look like the usual export (expected " +
                            std::to_string(*expected_fields) + " fields per line)",
                        true);
            return std::nullopt;
        }
        return *expected_fields;
    }
    const uint64_t mode = most_common(counts);
    if (mode < 2 || share_of(counts, counter.counted_, mode) < FIELD_SHARE_NEEDED) {
        add_message(unit, NOT_DELIMITED_TEXT, true);
        return std::nullopt;
    }
    unit.description = "table, " + std::to_string(mode) + " fields";
    return mode;
}

std::optional<uint64_t> check_table_fields(DeliveryUnit& unit, const UnitFile& file,
                                           std::optional<unsigned> expected_fields) {
    auto opened = platform::InputFile::open(file.path);
    if (!opened) {
        add_message(unit, CANT_READ_PREFIX + opened.error().text, true);
        return std::nullopt;
    }
    TableFieldCounter counter;
    std::array<char, FIELD_CHECK_BUFFER_BYTES> buffer;
    while (!counter.full()) {
        const auto got = opened->read(buffer.data(), buffer.size());
        if (!got) {
            add_message(unit, CANT_READ_PREFIX + got.error().text, true);
            return std::nullopt;
        }
        if (*got == 0) break;
        counter.feed(buffer.data(), *got);
    }
    counter.finish();
    return judge_table_fields(unit, counter, expected_fields);
}

void check_table_unit(DeliveryUnit& unit, const std::string& name,
                      const std::filesystem::path& path, std::optional<unsigned> expected_fields,
                      State& state) {
    auto file = read_unit_file(name, path, state);
    if (!file) {
        add_message(unit, file.error(), true);
        unit.total_bytes = 0;
    } else {
        unit.total_bytes = file->bytes;
        unit.newest_modified = file->modified;
        unit.files = {std::move(*file)};
        const UnitFile& table = unit.files.front();
        if (table.bytes == 0) {
            add_message(unit, EMPTY_FILE_TEXT, true);
        } else if (const auto fields = check_table_fields(unit, table, expected_fields)) {
            check_table_end(unit, table, *fields);
        }
    }
    unit_fingerprint_and_unchanged(unit, state.sent_hash);
}

void check_other_file_unit(DeliveryUnit& unit, const std::string& name,
                           const std::filesystem::path& path, State& state) {
    auto file = read_unit_file(name, path, state);
    if (!file) {
        add_message(unit, file.error(), false);
        unit.total_bytes = 0;
    } else {
        unit.total_bytes = file->bytes;
        unit.newest_modified = file->modified;
        if (file->bytes == 0) add_message(unit, EMPTY_FILE_TEXT, false);
        unit.files = {std::move(*file)};
    }
    unit_fingerprint_and_unchanged(unit, state.sent_hash);
}

void apply_selection_and_last_sent(DeliveryUnit& unit, const State& state) {
    if (const auto once = state.include_once.find(unit.key); once != state.include_once.end()) {
        unit.selected = once->second;
    } else if (const auto always = state.include.find(unit.key); always != state.include.end()) {
        unit.selected = always->second;
    } else {
        unit.selected = unit.core;
    }
    unit.last_sent.reset();
    const auto sent = state.sent_at.find(unit.key);
    // A negative stored time counts as never sent; one too large for the clock, likewise.
    if (sent != state.sent_at.end() && sent->second >= 0) {
        unit.last_sent = time_from_unix_seconds(sent->second);
    }
}

}  // namespace dalvento
