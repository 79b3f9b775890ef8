#include "check/delivery_check.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>

#include "check/delivery_texts.h"
#include "core/packing/zip_reader.h"
#include "core/platform/platform.h"
#include "core/platform/sha256.h"
#include "core/platform/time_text.h"
#include "core/sources/cutoff_checks.h"
#include "core/sources/unit_checks.h"
#include "county/profile.h"
#include "county/text.h"

namespace dalvento {

namespace {

constexpr std::string_view NOTE_NAME = "NOTE.txt";
constexpr std::string_view SUMS_NAME = "SHA256SUMS";
constexpr uint16_t UTF8_NAME_FLAG = 1 << 11;
// NOTE.txt and SHA256SUMS are read whole; more than this is no note or list the program wrote.
constexpr size_t MOST_TEXT_BYTES = 16 << 20;
// What is kept of a shapefile member: its header, and enough of its end for the last index
// entry and the table's end-of-file mark.
constexpr size_t LAYER_TAIL_BYTES = 8;

const std::string ASK_AGAIN = "; ask the sender for a new copy";

// A member's start and end, kept while it streams by, for the checks that read them.
struct Kept {
    std::string head;
    std::string tail;
    size_t head_bytes = 0;
    size_t tail_bytes = 0;

    void add(const unsigned char* data, size_t size) {
        const char* p = reinterpret_cast<const char*>(data);
        if (head.size() < head_bytes) head.append(p, std::min(size, head_bytes - head.size()));
        if (tail_bytes == 0) return;
        if (size >= tail_bytes) {
            tail.assign(p + size - tail_bytes, tail_bytes);
        } else {
            tail.append(p, size);
            if (tail.size() > tail_bytes) tail.erase(0, tail.size() - tail_bytes);
        }
    }
};

// What one member's streaming left behind.
struct MemberState {
    const ZipMember* member = nullptr;
    std::string name;  // as text, invalid sequences replaced
    std::vector<std::string> problems;
    std::optional<std::string> sha256;  // when it read whole
    Kept kept;
    std::unique_ptr<TableFieldCounter> table;
    std::optional<unsigned> expected_fields;
};

class Checker {
  public:
    explicit Checker(CheckReport& report) : report_(report) {}

    void run(const std::filesystem::path& path);

  private:
    CheckReport& report_;
    std::vector<MemberState> members_;
    std::map<std::string, size_t> by_name_;  // exact names
    std::vector<Finding> general_;
    std::string note_text_, sums_text_;
    bool note_too_large_ = false, sums_too_large_ = false;

    void problem(const std::string& subject, std::string text) {
        general_.push_back({subject, std::move(text), false});
    }
    MemberState* find(std::string_view name) {
        const auto found = by_name_.find(std::string(name));
        return found == by_name_.end() ? nullptr : &members_[found->second];
    }

    void stream(ZipReader& zip, MemberState& state);
    void check_names();
    void check_sums();
    std::optional<DeliveryNote> check_note();
    void check_layers();
    void check_tables(const std::optional<DeliveryNote>& note);
};

void Checker::stream(ZipReader& zip, MemberState& state) {
    const ZipMember& member = *state.member;
    std::string* whole = nullptr;
    bool* too_large = nullptr;
    if (member.name == NOTE_NAME) whole = &note_text_, too_large = &note_too_large_;
    if (member.name == SUMS_NAME) whole = &sums_text_, too_large = &sums_too_large_;
    Sha256 hash;
    const auto read = zip.read_member(member, [&](const unsigned char* data, size_t size) {
        hash.update(data, size);
        if (state.kept.head_bytes + state.kept.tail_bytes > 0) state.kept.add(data, size);
        if (state.table && !state.table->full()) {
            state.table->feed(reinterpret_cast<const char*>(data), size);
        }
        if (whole) {
            if (whole->size() + size > MOST_TEXT_BYTES) {
                *too_large = true;
            } else {
                whole->append(reinterpret_cast<const char*>(data), size);
            }
        }
    });
    if (!read) {
        state.problems.push_back("damaged in the zip: " + read.error() + ASK_AGAIN);
        if (whole) whole->clear();
        state.table.reset();
        state.kept = Kept{};
        return;
    }
    state.sha256 = hash.finish_hex();
    if (state.table) state.table->finish();
}

void Checker::check_names() {
    std::map<std::string, std::string> lower_names;
    for (MemberState& state : members_) {
        const std::string& name = state.member->name;
        if (!is_valid_utf8(name)) {
            state.problems.push_back("its name isn't valid UTF-8 text");
        } else if (std::any_of(name.begin(), name.end(),
                               [](char c) { return static_cast<unsigned char>(c) >= 0x80; }) &&
                   !(state.member->flags & UTF8_NAME_FLAG)) {
            state.problems.push_back(
                "its name isn't marked as UTF-8; unzip programs may show it garbled");
        }
        if (name.empty() || name.find('/') != std::string::npos ||
            name.find('\\') != std::string::npos) {
            state.problems.push_back(
                "sits in a folder; a delivery keeps every file at the top of the zip");
        }
        const auto [at, fresh] = lower_names.emplace(ascii_lower(name), name);
        if (!fresh) {
            state.problems.push_back("has the name of " + utf8_with_replacement(at->second) +
                                     " but for capitals; unpacked on Windows, one would "
                                     "overwrite the other");
        }
    }
}

void Checker::check_sums() {
    if (!find(SUMS_NAME)) {
        problem(std::string(SUMS_NAME),
                "missing; the files can't be checked against the sender's sums");
        return;
    }
    if (sums_too_large_) {
        problem(std::string(SUMS_NAME), "is too large to be a delivery's checksum list");
        return;
    }
    if (!find(SUMS_NAME)->sha256) return;  // damaged: said already
    const auto sums = read_sums(sums_text_);
    if (!sums) {
        problem(std::string(SUMS_NAME), "doesn't read as a checksum list (" + sums.error() +
                                            "); the files can't be checked against it");
        return;
    }
    std::map<std::string, int> listed;
    for (const SumsLine& line : *sums) {
        if (++listed[line.name] == 2) {
            if (MemberState* state = find(line.name)) {
                state->problems.push_back("listed more than once in SHA256SUMS");
            } else {
                problem(utf8_with_replacement(line.name), "listed more than once in SHA256SUMS");
            }
        }
        if (line.name == NOTE_NAME || line.name == SUMS_NAME) {
            problem(std::string(SUMS_NAME),
                    "lists " + line.name + ", which a delivery's checksum list never does");
            continue;
        }
        MemberState* state = find(line.name);
        if (!state) {
            problem(utf8_with_replacement(line.name),
                    "listed in SHA256SUMS but not in the zip; a file of the delivery is missing");
            continue;
        }
        if (listed[line.name] == 1 && state->sha256 && *state->sha256 != line.sha256) {
            state->problems.push_back(
                "its SHA-256 doesn't match SHA256SUMS; the file changed after it was packed" +
                ASK_AGAIN);
        }
    }
    for (MemberState& state : members_) {
        const std::string& name = state.member->name;
        if (name == NOTE_NAME || name == SUMS_NAME || listed.contains(name)) continue;
        state.problems.push_back(
            "not listed in SHA256SUMS; it can't be checked against the sender's sum");
    }
}

std::optional<DeliveryNote> Checker::check_note() {
    MemberState* note_member = find(NOTE_NAME);
    if (!note_member) {
        problem(std::string(NOTE_NAME),
                "missing; the delivery has no cover note saying what it holds");
        return std::nullopt;
    }
    if (note_too_large_) {
        problem(std::string(NOTE_NAME), "is too large to be a delivery's cover note");
        return std::nullopt;
    }
    if (!note_member->sha256) return std::nullopt;
    auto note = read_delivery_note(note_text_);
    if (!note) {
        problem(std::string(NOTE_NAME), "doesn't read as Dalvento writes it (" + note.error() +
                                            "); what it says about the files can't be checked");
        return std::nullopt;
    }
    const auto named = zip_name_date(report_.zip_name);
    if (!named) {
        problem(report_.zip_name,
                "its name doesn't follow the delivery's naming (" +
                    std::string(county_profile().key) +
                    "-YYYY-MM-DD-xxxxxxxx.zip), so its export date can't be checked against "
                    "NOTE.txt");
    } else if (*named != note->export_date) {
        problem(std::string(NOTE_NAME),
                "names the export of " + format_date(note->export_date, "%B %-d, %Y") +
                    " but the zip's name says " + format_date(*named, "%Y-%m-%d") +
                    "; the note may belong to another delivery");
    }

    std::map<std::string, int> listed;
    for (const NoteListing& file : note->files) {
        if (++listed[file.name] > 1) {
            problem(std::string(NOTE_NAME), "lists " + file.name + " more than once");
            continue;
        }
        MemberState* state = find(file.name);
        if (!state || file.name == NOTE_NAME || file.name == SUMS_NAME) {
            problem(utf8_with_replacement(file.name),
                    "listed in NOTE.txt but not in the zip; a file of the delivery is missing");
            continue;
        }
        if (state->member->size != file.bytes) {
            state->problems.push_back("NOTE.txt gives it " + count_text(file.bytes) +
                                      " bytes but the zip holds " +
                                      count_text(state->member->size) +
                                      "; the file changed between its check and its packing");
        }
    }
    for (MemberState& state : members_) {
        const std::string& name = state.member->name;
        if (name == NOTE_NAME || name == SUMS_NAME || listed.contains(name)) continue;
        state.problems.push_back("not among the files NOTE.txt lists");
    }
    return std::move(*note);
}

// The answer of a kept member's start or end to a check that reads it.
std::expected<void, std::string> read_kept(const Kept& kept, uint64_t size, uint64_t offset,
                                           void* buffer, size_t bytes) {
    if (offset + bytes <= kept.head.size()) {
        std::memcpy(buffer, kept.head.data() + offset, bytes);
        return {};
    }
    const uint64_t tail_at = size - kept.tail.size();
    if (offset >= tail_at && offset + bytes <= size) {
        std::memcpy(buffer, kept.tail.data() + (offset - tail_at), bytes);
        return {};
    }
    return std::unexpected(std::string("that part of it was not kept"));
}

void Checker::check_layers() {
    // Shapefile sets by stem, ignoring case as the scan does.
    struct Set {
        std::string stem;
        std::vector<MemberState*> members;
        bool shapes = false;  // holds a .shp or .shx
    };
    std::map<std::string, Set> sets;
    for (MemberState& state : members_) {
        const auto split = split_layer_file_name(state.member->name);
        if (!split) continue;
        Set& set = sets[ascii_lower(split->stem)];
        if (set.members.empty()) set.stem = split->stem;
        set.members.push_back(&state);
        if (split->extension == "shp" || split->extension == "shx") set.shapes = true;
    }
    for (auto& [lower, set] : sets) {
        const ProfileUnit* profile = find_profile_unit(set.stem);
        const bool core = profile && profile->kind == UnitKind::layer;
        if (!set.shapes && !core) continue;  // a lone table or projection is no shapefile set
        DeliveryUnit unit;
        unit.key = set.stem;
        std::vector<std::string> names;
        std::map<std::string, const MemberState*> by_file;
        bool whole = true;
        for (const MemberState* state : set.members) {
            names.push_back(state->member->name);
            if (!state->sha256) whole = false;
            unit.files.push_back(UnitFile{
                state->member->name, {}, state->sha256, state->member->size, std::nullopt});
            by_file[state->member->name] = state;
        }
        check_layer_siblings(unit, names);
        if (whole) {
            check_layer_consistency(
                unit, [&](const UnitFile& file, uint64_t offset, void* buffer, size_t bytes) {
                    const MemberState* state = by_file.at(file.name);
                    return read_kept(state->kept, file.bytes, offset, buffer, bytes);
                });
        }
        const std::string subject = set.stem + " (shapefile set)";
        for (const UnitMessage& message : unit.messages) {
            if (!message.blocking) continue;  // a missing .cpg is for the office to look at
            std::string text = message.text;
            if (text.starts_with("missing ")) {
                text += "; the map layer is incomplete and may not open" + ASK_AGAIN;
            }
            problem(subject, std::move(text));
        }
    }
}

void Checker::check_tables(const std::optional<DeliveryNote>& note) {
    std::set<std::string> extras;
    if (note) {
        for (const NoteListing& file : note->files) {
            if (file.extra) extras.insert(file.name);
        }
    }
    for (MemberState& state : members_) {
        if (!state.table || !state.sha256 || extras.contains(state.member->name)) continue;
        DeliveryUnit unit;
        unit.key = state.member->name;
        const UnitFile file{state.member->name, {}, state.sha256, state.member->size, {}};
        if (file.bytes == 0) {
            state.problems.push_back("the table is empty" + ASK_AGAIN);
            continue;
        }
        const auto header = state.table->first_line_fields();
        if (header && *header != *state.expected_fields) {
            state.problems.push_back("its header line has " + count_text(*header) +
                                     " fields, not " + std::to_string(*state.expected_fields) +
                                     "; it isn't the usual export");
        }
        if (const auto fields = judge_table_fields(unit, *state.table, state.expected_fields)) {
            check_table_end(unit, file, *fields,
                            [&](const UnitFile& f, uint64_t offset, void* buffer, size_t bytes) {
                                return read_kept(state.kept, f.bytes, offset, buffer, bytes);
                            });
        }
        for (const UnitMessage& message : unit.messages)
            state.problems.push_back(message.text);
    }
}

void Checker::run(const std::filesystem::path& path) {
    auto opened = ZipReader::open(path);
    if (!opened) {
        report_.unreadable = true;
        report_.findings.push_back(
            {report_.zip_name, "not a readable zip: " + opened.error() + ASK_AGAIN, false});
        return;
    }
    ZipReader& zip = *opened;
    members_.reserve(zip.members().size());
    for (const ZipMember& member : zip.members()) {
        MemberState state;
        state.member = &member;
        state.name = utf8_with_replacement(member.name);
        if (const auto split = split_layer_file_name(member.name)) {
            if (split->extension == "shp" || split->extension == "shx" ||
                split->extension == "dbf") {
                state.kept.head_bytes = LAYER_HEAD_BYTES;
                state.kept.tail_bytes = LAYER_TAIL_BYTES;
            }
        }
        const ProfileUnit* profile = find_profile_unit(member.name);
        if (profile && profile->kind == UnitKind::table) {
            state.table = std::make_unique<TableFieldCounter>();
            state.expected_fields = profile->expected_fields;
            state.kept.tail_bytes = TABLE_END_BYTES;
        }
        by_name_.try_emplace(member.name, members_.size());
        members_.push_back(std::move(state));
    }
    if (!find(NOTE_NAME) && !find(SUMS_NAME)) {
        report_.unreadable = true;
        report_.findings.push_back(
            {report_.zip_name,
             "holds neither NOTE.txt nor SHA256SUMS: it is not a Dalvento delivery", false});
        return;
    }

    for (MemberState& state : members_)
        stream(zip, state);
    check_names();
    check_sums();
    const auto note = check_note();
    check_layers();
    check_tables(note);

    for (const MemberState& state : members_) {
        if (state.problems.empty()) report_.findings.push_back({state.name, "ok", true});
        for (const std::string& text : state.problems)
            report_.findings.push_back({state.name, text, false});
    }
    for (Finding& finding : general_)
        report_.findings.push_back(std::move(finding));
    report_.members = members_.size();
}

}  // namespace

CheckReport check_delivery(const std::filesystem::path& zip) {
    CheckReport report;
    report.zip_name = platform::path_text(zip.filename());
    Checker(report).run(zip);
    for (const Finding& finding : report.findings) {
        if (!finding.ok) ++report.problems;
    }
    return report;
}

std::string report_text(const CheckReport& report) {
    std::string out;
    for (const Finding& finding : report.findings)
        out += finding.subject + ": " + finding.text + "\n";
    out += std::to_string(report.members) + " members checked, " + std::to_string(report.problems) +
           " problems\n";
    return out;
}

std::string report_json(const CheckReport& report) {
    nlohmann::ordered_json findings = nlohmann::ordered_json::array();
    for (const Finding& finding : report.findings) {
        findings.push_back(
            {{"subject", finding.subject}, {"ok", finding.ok}, {"text", finding.text}});
    }
    const nlohmann::ordered_json out = {{"zip", report.zip_name},
                                        {"findings", std::move(findings)},
                                        {"members", report.members},
                                        {"problems", report.problems},
                                        {"status", exit_status(report)}};
    return out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

int exit_status(const CheckReport& report) {
    if (report.unreadable) return 2;
    return report.problems == 0 ? 0 : 1;
}

}  // namespace dalvento
