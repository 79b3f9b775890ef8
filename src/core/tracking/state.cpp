#include "core/tracking/state.h"

#include <algorithm>
#include <limits>
#include <type_traits>
#include <variant>

#include <nlohmann/json.hpp>

#include "core/platform/platform.h"
#include "core/tracking/state_migration.h"
#include "core/tracking/strict_json.h"
#include "county/text.h"

namespace dalvento {

namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;
// The ordered object is a vector of members underneath.
using OrderedMembers = std::vector<std::pair<const std::string, OrderedJson>>;

// --- The fields ---

// How a field goes into the file.
enum class Written {
    always,        // an absent optional as null, an empty list or map as [] or {}
    unless_empty,  // left out when absent or empty
    never,         // kept in memory only; a key of that name in the file is passed over
};

// What the settings reset does with a field.
enum class OnReset { kept, cleared };

using Member = std::variant<
    std::vector<std::string> State::*, std::optional<std::string> State::*, std::string State::*,
    std::map<std::string, bool> State::*, std::map<std::string, std::string> State::*,
    std::map<std::string, int64_t> State::*, std::map<std::string, CachedHash> State::*>;

struct Field {
    std::string_view key;
    Member member;
    Written written;
    OnReset reset;
};

// Every field of the State, in the order of the file's keys. The reset's sender is cleared and
// then filled in as at load.
constexpr Field FIELDS[] = {
    {"layers_dirs", &State::layers_dirs, Written::always, OnReset::cleared},
    {"tables_dirs", &State::tables_dirs, Written::always, OnReset::cleared},
    {"other_dirs", &State::other_dirs, Written::always, OnReset::cleared},
    {"layers_dir", &State::layers_dir, Written::unless_empty, OnReset::kept},
    {"tables_dir", &State::tables_dir, Written::unless_empty, OnReset::kept},
    {"other_dir", &State::other_dir, Written::unless_empty, OnReset::kept},
    {"forgotten", &State::forgotten, Written::always, OnReset::kept},
    {"include", &State::include, Written::always, OnReset::cleared},
    {"sent_hash", &State::sent_hash, Written::always, OnReset::cleared},
    {"sent_at", &State::sent_at, Written::always, OnReset::cleared},
    {"last_sent_at", &State::last_sent_at, Written::always, OnReset::cleared},
    {"sender", &State::sender, Written::always, OnReset::cleared},
    {"tax_year", &State::tax_year, Written::always, OnReset::cleared},
    {"out_dir", &State::out_dir, Written::always, OnReset::cleared},
    {"token_protected", &State::token_protected, Written::unless_empty, OnReset::kept},
    {"host", &State::host, Written::unless_empty, OnReset::kept},
    {"hash_cache", &State::hash_cache, Written::always, OnReset::kept},
    {"paths", &State::paths, Written::unless_empty, OnReset::kept},
    {"include_once", &State::include_once, Written::never, OnReset::cleared},
};

// --- Reading ---

// Each reader checks the JSON type strictly; false fails the whole state file.

bool read_value(const Json& value, std::string& out) {
    if (!value.is_string()) return false;
    out = value.get_ref<const std::string&>();
    return true;
}

bool read_value(const Json& value, bool& out) {
    if (!value.is_boolean()) return false;
    out = value.get<bool>();
    return true;
}

bool read_value(const Json& value, int64_t& out) {
    if (value.is_number_unsigned()) {
        const auto n = value.get<uint64_t>();
        if (n > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
        out = static_cast<int64_t>(n);
        return true;
    }
    if (!value.is_number_integer()) return false;
    out = value.get<int64_t>();
    return true;
}

bool read_value(const Json& value, uint64_t& out) {
    if (value.is_number_unsigned()) {
        out = value.get<uint64_t>();
        return true;
    }
    // "-0" arrives as a signed zero.
    if (value.is_number_integer() && value.get<int64_t>() == 0) {
        out = 0;
        return true;
    }
    return false;
}

// Optional text: null counts as absent.
bool read_value(const Json& value, std::optional<std::string>& out) {
    if (value.is_null()) {
        out.reset();
        return true;
    }
    std::string text;
    if (!read_value(value, text)) return false;
    out = std::move(text);
    return true;
}

bool read_value(const Json& value, CachedHash& out) {
    if (!value.is_object()) return false;
    bool has_size = false, has_modified = false, has_sha256 = false;
    for (const auto& [key, member] : value.items()) {
        if (key == "size") {
            if (!read_value(member, out.size)) return false;
            has_size = true;
        } else if (key == "modified_ms") {
            if (!read_value(member, out.modified_ms)) return false;
            has_modified = true;
        } else if (key == "sha256") {
            if (!read_value(member, out.sha256)) return false;
            has_sha256 = true;
        }
    }
    return has_size && has_modified && has_sha256;
}

template <typename T>
bool read_value(const Json& value, std::vector<T>& out) {
    if (!value.is_array()) return false;
    out.clear();
    out.reserve(value.size());
    for (const auto& item : value) {
        T element{};
        if (!read_value(item, element)) return false;
        out.push_back(std::move(element));
    }
    return true;
}

template <typename T>
bool read_value(const Json& value, std::map<std::string, T>& out) {
    if (!value.is_object()) return false;
    out.clear();
    for (const auto& [key, member] : value.items()) {
        T element{};
        if (!read_value(member, element)) return false;
        out.emplace(key, std::move(element));
    }
    return true;
}

const Field* field_named(std::string_view key) {
    for (const Field& field : FIELDS) {
        if (field.key == key && field.written != Written::never) return &field;
    }
    return nullptr;
}

// --- Writing ---

OrderedJson json_of(const std::string& value) {
    return OrderedJson(value);
}
OrderedJson json_of(bool value) {
    return OrderedJson(value);
}
OrderedJson json_of(int64_t value) {
    return OrderedJson(value);
}

OrderedJson json_of(const CachedHash& entry) {
    OrderedJson out = OrderedJson::object();
    out["size"] = entry.size;
    out["modified_ms"] = entry.modified_ms;
    out["sha256"] = entry.sha256;
    return out;
}

OrderedJson json_of(const std::vector<std::string>& list) {
    OrderedJson out = OrderedJson::array();
    for (const auto& item : list)
        out.push_back(item);
    return out;
}

OrderedJson json_of(const std::optional<std::string>& value) {
    return value ? OrderedJson(*value) : OrderedJson(nullptr);
}

// Keys pass through the same replacement of invalid UTF-8 as values, so two keys can meet; the
// first one wins rather than the file getting a key twice (which would make it unreadable).
template <typename T>
OrderedJson json_of(const std::map<std::string, T>& map) {
    std::map<std::string, OrderedJson> sorted;
    for (const auto& [key, value] : map)
        sorted.emplace(utf8_with_replacement(key), json_of(value));
    // The keys are already sorted and unique: append them, rather than let the ordered object
    // look for each key among those before it.
    OrderedJson out = OrderedJson::object();
    auto& members = static_cast<OrderedMembers&>(out.get_ref<OrderedJson::object_t&>());
    members.reserve(sorted.size());
    for (auto& [key, value] : sorted)
        members.emplace_back(key, std::move(value));
    return out;
}

template <typename T>
bool holds_nothing(const T& value) {
    if constexpr (requires { value.has_value(); }) {
        return !value.has_value();
    } else {
        return value.empty();
    }
}

std::vector<std::string>& source_list(State& state, SourceList list) {
    switch (list) {
        case SourceList::layers:
            return state.layers_dirs;
        case SourceList::tables:
            return state.tables_dirs;
        case SourceList::other:
            break;
    }
    return state.other_dirs;
}

void fill_in_sender(State& state) {
    if (trim(state.sender).empty()) state.sender = default_sender_name().value_or("");
}

}  // namespace

std::filesystem::path state_file_path() {
    std::filesystem::path base;
    if (const auto appdata = platform::get_env("APPDATA"); appdata && !appdata->empty()) {
        base = platform::path_from_text(*appdata);
    } else if (const auto home = platform::get_env("HOME"); home && !home->empty()) {
        base = platform::path_from_text(*home) / ".config";
    } else {
        base = ".";
    }
    return base / "dalvento" / "state.json";
}

std::optional<State> parse_state(std::string_view text) {
    const std::optional<Json> root = parse_strict_json(text);
    if (!root || !root->is_object()) return std::nullopt;
    State state;
    for (const auto& [key, value] : root->items()) {
        const Field* field = field_named(key);
        if (!field) continue;  // unknown keys are passed over
        const bool read = std::visit([&](auto member) { return read_value(value, state.*member); },
                                     field->member);
        if (!read) return std::nullopt;
    }
    return state;
}

void apply_load_fixups(State& state) {
    migrate_older_layout(state);
    fill_in_sender(state);
}

std::string serialize_state(const State& state) {
    OrderedJson root = OrderedJson::object();
    for (const Field& field : FIELDS) {
        if (field.written == Written::never) continue;
        std::visit(
            [&](auto member) {
                const auto& value = state.*member;
                if (field.written == Written::unless_empty && holds_nothing(value)) return;
                root[std::string(field.key)] = json_of(value);
            },
            field.member);
    }
    return root.dump(2, ' ', false, OrderedJson::error_handler_t::replace);
}

std::optional<std::string> default_sender_name() {
    if (const auto display = platform::user_display_name()) {
        std::string name = trim(*display);
        if (!name.empty()) return name;
    }
    if (const auto username = platform::get_env("USERNAME")) {
        std::string name = trim(*username);
        if (!name.empty()) return name;
    }
    return std::nullopt;
}

bool add_source_folder(State& state, SourceList list, const std::string& folder) {
    auto& folders = source_list(state, list);
    const bool held = std::any_of(folders.begin(), folders.end(), [&](const std::string& known) {
        return equals_ignoring_ascii_case(known, folder);
    });
    if (held) return false;
    folders.push_back(folder);
    return true;
}

void reset_settings(State& state) {
    for (const Field& field : FIELDS) {
        if (field.reset != OnReset::cleared) continue;
        std::visit([&](auto member) { state.*member = {}; }, field.member);
    }
    fill_in_sender(state);
}

}  // namespace dalvento
