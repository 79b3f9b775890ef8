#include "core/tracking/state.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>

#include "core/platform/platform.h"
#include "county/text.h"

namespace dalvento {

namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;
// The ordered object is a vector of members underneath.
using OrderedMembers = std::vector<std::pair<const std::string, OrderedJson>>;

constexpr const char* LAYER_FILE = "OWNER.shp";
constexpr const char* PROPERTY_TABLE_FILE = "tblREProperty.txt";
constexpr const char* SALES_TABLE_FILE = "tblRESales.txt";

std::filesystem::path with_suffix(std::filesystem::path path, std::string_view suffix) {
    path += platform::path_from_text(suffix);
    return path;
}

std::string located_error(const std::filesystem::path& path, const platform::OsError& error) {
    return platform::path_text(path) + ": " + error.text;
}

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

bool read_state_member(const std::string& key, const Json& value, State& state) {
    if (key == "layers_dirs") return read_value(value, state.layers_dirs);
    if (key == "tables_dirs") return read_value(value, state.tables_dirs);
    if (key == "other_dirs") return read_value(value, state.other_dirs);
    if (key == "layers_dir") return read_value(value, state.layers_dir);
    if (key == "tables_dir") return read_value(value, state.tables_dir);
    if (key == "other_dir") return read_value(value, state.other_dir);
    if (key == "forgotten") return read_value(value, state.forgotten);
    if (key == "include") return read_value(value, state.include);
    if (key == "sent_hash") return read_value(value, state.sent_hash);
    if (key == "sent_at") return read_value(value, state.sent_at);
    if (key == "last_sent_at") return read_value(value, state.last_sent_at);
    if (key == "sender") return read_value(value, state.sender);
    if (key == "tax_year") return read_value(value, state.tax_year);
    if (key == "out_dir") return read_value(value, state.out_dir);
    if (key == "token_protected") return read_value(value, state.token_protected);
    if (key == "host") return read_value(value, state.host);
    if (key == "hash_cache") return read_value(value, state.hash_cache);
    if (key == "paths") return read_value(value, state.paths);
    return true;  // unknown keys are skipped
}

// The folder holding a stored path, split on text so that a Windows path stored in the file gives
// the same answer on every system. None when the path names no folder.
std::optional<std::string> parent_folder_text(std::string_view path) {
    const auto is_separator = [](char c) { return c == '\\' || c == '/'; };
    while (!path.empty() && is_separator(path.back()))
        path.remove_suffix(1);
    const size_t last = path.find_last_of("\\/");
    if (path.empty() || last == std::string_view::npos) return std::nullopt;
    std::string_view parent = path.substr(0, last);
    while (!parent.empty() && is_separator(parent.back()))
        parent.remove_suffix(1);
    // Keep the separator of a root: "\OWNER.shp" -> "\", "C:\OWNER.shp" -> "C:\".
    if (parent.empty() || (parent.size() == 2 && parent[1] == ':')) {
        return std::string(path.substr(0, parent.size() + 1));
    }
    return std::string(parent);
}

std::optional<std::string> parent_of_entry(const std::map<std::string, std::string>& paths,
                                           const char* name) {
    const auto found = paths.find(name);
    if (found == paths.end()) return std::nullopt;
    return parent_folder_text(found->second);
}

void fold_single_folder(std::optional<std::string>& single, std::vector<std::string>& list) {
    if (!single) return;
    if (std::find(list.begin(), list.end(), *single) == list.end()) list.push_back(*single);
    single.reset();
}

std::optional<std::string> read_whole_file(const std::filesystem::path& path) {
    auto file = platform::InputFile::open(path);
    if (!file) return std::nullopt;
    std::string text;
    char buffer[64 * 1024];
    for (;;) {
        const auto got = file->read(buffer, sizeof buffer);
        if (!got) return std::nullopt;
        if (*got == 0) break;
        text.append(buffer, *got);
    }
    return text;
}

// Builds the document in one pass and refuses a key given twice in one object (the library
// would keep the last one). The library's callback parser cannot be used for that: it looks
// through the whole parent object again after each member object, which made loading a large
// hash cache take time growing with the square of its entries.
class StrictDocument : public nlohmann::json_sax<Json> {
  public:
    const Json& root() const { return root_; }

    bool null() override { return add(Json(nullptr)); }
    bool boolean(bool value) override { return add(Json(value)); }
    bool number_integer(number_integer_t value) override { return add(Json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return add(Json(value)); }
    bool number_float(number_float_t value, const string_t&) override { return add(Json(value)); }
    bool string(string_t& value) override { return add(Json(std::move(value))); }
    bool binary(binary_t&) override { return false; }

    bool start_object(std::size_t) override { return open(Json::object()); }
    bool key(string_t& key) override {
        auto& members = open_.back()->get_ref<Json::object_t&>();
        const auto [slot, inserted] = members.try_emplace(std::move(key));
        member_ = &slot->second;
        return inserted;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(Json::array()); }
    bool end_array() override { return close(); }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

  private:
    // Where the next value goes: the root, the end of the open array or the member just named.
    Json* place(Json&& value) {
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        Json& parent = *open_.back();
        if (parent.is_array()) {
            auto& items = parent.get_ref<Json::array_t&>();
            items.push_back(std::move(value));
            return &items.back();
        }
        *member_ = std::move(value);
        return member_;
    }
    bool add(Json&& value) {
        place(std::move(value));
        return true;
    }
    bool open(Json&& container) {
        open_.push_back(place(std::move(container)));
        return true;
    }
    bool close() {
        open_.pop_back();
        return true;
    }

    Json root_;
    std::vector<Json*> open_;
    Json* member_ = nullptr;
};

// --- Writing ---

// Keys pass through the same replacement of invalid UTF-8 as values, so two keys can meet; the
// first one wins rather than the file getting a key twice (which would make it unreadable).
template <typename T, typename Convert>
OrderedJson map_json(const std::map<std::string, T>& map, Convert convert) {
    std::map<std::string, OrderedJson> sorted;
    for (const auto& [key, value] : map)
        sorted.emplace(utf8_with_replacement(key), convert(value));
    // The keys are already sorted and unique: append them, rather than let the ordered object
    // look for each key among those before it.
    OrderedJson out = OrderedJson::object();
    auto& members = static_cast<OrderedMembers&>(out.get_ref<OrderedJson::object_t&>());
    members.reserve(sorted.size());
    for (auto& [key, value] : sorted)
        members.emplace_back(key, std::move(value));
    return out;
}

OrderedJson list_json(const std::vector<std::string>& list) {
    OrderedJson out = OrderedJson::array();
    for (const auto& item : list)
        out.push_back(item);
    return out;
}

OrderedJson optional_json(const std::optional<std::string>& value) {
    return value ? OrderedJson(*value) : OrderedJson(nullptr);
}

// The state file as this program last saw it: the text it wrote there or read from there, and
// the size and time the file had then. Saving the same text again to an untouched file would
// change nothing, so it writes nothing.
struct KnownFile {
    std::filesystem::path path;
    std::string text;
    uint64_t size = 0;
    std::optional<platform::Time> modified;
};

std::mutex g_known_mutex;
std::optional<KnownFile> g_known;

void remember_file(const std::filesystem::path& path, std::string text) {
    const auto info = platform::file_info(path);
    std::lock_guard lock(g_known_mutex);
    if (!info || !info->is_file) {
        g_known.reset();
        return;
    }
    g_known = KnownFile{path, std::move(text), info->size, info->modified};
}

bool file_already_holds(const std::filesystem::path& path, std::string_view text) {
    const auto info = platform::file_info(path);
    std::lock_guard lock(g_known_mutex);
    return g_known && info && info->is_file && g_known->path == path &&
           g_known->size == info->size && g_known->modified == info->modified &&
           g_known->text == text;
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
    // The library's reader takes a NUL byte for the end of the text; here it is text that
    // follows the document, which makes the file unreadable.
    if (text.find('\0') != std::string_view::npos || !is_valid_utf8(text)) return std::nullopt;
    try {
        StrictDocument document;
        if (!Json::sax_parse(text.begin(), text.end(), &document,
                             nlohmann::json::input_format_t::json,
                             /*strict=*/true, /*ignore_comments=*/false)) {
            return std::nullopt;
        }
        const Json& root = document.root();
        if (!root.is_object()) return std::nullopt;
        State state;
        for (const auto& [key, value] : root.items()) {
            if (!read_state_member(key, value, state)) return std::nullopt;
        }
        return state;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void apply_load_fixups(State& state) {
    if (!state.paths.empty()) {
        if (!state.layers_dir && state.layers_dirs.empty()) {
            state.layers_dir = parent_of_entry(state.paths, LAYER_FILE);
        }
        if (!state.tables_dir && state.tables_dirs.empty()) {
            state.tables_dir = parent_of_entry(state.paths, PROPERTY_TABLE_FILE);
            if (!state.tables_dir)
                state.tables_dir = parent_of_entry(state.paths, SALES_TABLE_FILE);
        }
        state.paths.clear();
    }
    fold_single_folder(state.layers_dir, state.layers_dirs);
    fold_single_folder(state.tables_dir, state.tables_dirs);
    fold_single_folder(state.other_dir, state.other_dirs);
    if (trim(state.sender).empty()) state.sender = default_sender_name().value_or("");
}

State load_state() {
    const std::filesystem::path path = state_file_path();
    std::optional<State> state;
    if (auto text = read_whole_file(path)) {
        state = parse_state(*text);
        if (state) remember_file(path, std::move(*text));
    }
    if (!state) {
        // The defaults take over and the next save replaces the file: keep a copy of what was
        // there so nothing the user had is lost for good.
        const auto info = platform::file_info(path);
        if (info && info->is_file) {
            (void)platform::copy_file_replacing(path, with_suffix(path, ".unreadable"));
        }
        state.emplace();
    }
    apply_load_fixups(*state);
    return std::move(*state);
}

std::string serialize_state(const State& state) {
    const auto same = [](const auto& value) { return OrderedJson(value); };
    OrderedJson root = OrderedJson::object();
    root["layers_dirs"] = list_json(state.layers_dirs);
    root["tables_dirs"] = list_json(state.tables_dirs);
    root["other_dirs"] = list_json(state.other_dirs);
    if (state.layers_dir) root["layers_dir"] = *state.layers_dir;
    if (state.tables_dir) root["tables_dir"] = *state.tables_dir;
    if (state.other_dir) root["other_dir"] = *state.other_dir;
    root["forgotten"] = map_json(state.forgotten, same);
    root["include"] = map_json(state.include, same);
    root["sent_hash"] = map_json(state.sent_hash, same);
    root["sent_at"] = map_json(state.sent_at, same);
    root["last_sent_at"] = optional_json(state.last_sent_at);
    root["sender"] = state.sender;
    root["tax_year"] = state.tax_year;
    root["out_dir"] = optional_json(state.out_dir);
    if (state.token_protected) root["token_protected"] = *state.token_protected;
    if (state.host) root["host"] = *state.host;
    root["hash_cache"] = map_json(state.hash_cache, [](const CachedHash& entry) {
        OrderedJson out = OrderedJson::object();
        out["size"] = entry.size;
        out["modified_ms"] = entry.modified_ms;
        out["sha256"] = entry.sha256;
        return out;
    });
    if (!state.paths.empty()) root["paths"] = map_json(state.paths, same);
    return root.dump(2, ' ', false, OrderedJson::error_handler_t::replace);
}

std::expected<void, std::string> save_state(const State& state) {
    const std::filesystem::path path = state_file_path();
    const std::filesystem::path folder = path.parent_path();
    if (!folder.empty()) {
        if (auto made = platform::create_directories(folder); !made) {
            return std::unexpected(located_error(folder, made.error()));
        }
    }
    std::string text;
    try {
        text = serialize_state(state);
    } catch (const std::exception& e) {
        return std::unexpected(platform::path_text(path) + ": " + e.what());
    }
    if (file_already_holds(path, text)) return {};
    const std::filesystem::path temporary = with_suffix(path, ".tmp");
    auto file = platform::OutputFile::create(temporary);
    if (!file) return std::unexpected(located_error(temporary, file.error()));
    if (auto wrote = file->write_all(text.data(), text.size()); !wrote) {
        return std::unexpected(located_error(temporary, wrote.error()));
    }
    if (auto closed = file->close(); !closed) {
        return std::unexpected(located_error(temporary, closed.error()));
    }
    if (auto renamed = platform::replace_rename(temporary, path); !renamed) {
        return std::unexpected(located_error(path, renamed.error()));
    }
    remember_file(path, std::move(text));
    return {};
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
    state.layers_dirs.clear();
    state.tables_dirs.clear();
    state.other_dirs.clear();
    state.include.clear();
    state.include_once.clear();
    state.sender = default_sender_name().value_or("");
    state.tax_year.clear();
    state.out_dir.reset();
    state.sent_hash.clear();
    state.sent_at.clear();
    state.last_sent_at.reset();
}

}  // namespace dalvento
