// Everything Dalvento remembers between runs: one record, kept as one JSON file per user. Its
// fields are listed once, in the table in state.cpp that reads, writes and resets them; the file
// itself is read and written through StateFile (state_file.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dalvento {

// One entry of the hash cache: a file's fingerprint while its size and last-write time hold.
struct CachedHash {
    uint64_t size = 0;
    int64_t modified_ms = 0;
    std::string sha256;

    bool operator==(const CachedHash&) const = default;
};

// Fields in declaration order, which is also the order of the keys in the file.
struct State {
    std::vector<std::string> layers_dirs;
    std::vector<std::string> tables_dirs;
    std::vector<std::string> other_dirs;
    std::optional<std::string> layers_dir;  // older layout, folded into layers_dirs at load
    std::optional<std::string> tables_dir;
    std::optional<std::string> other_dir;
    std::map<std::string, bool> forgotten;
    std::map<std::string, bool> include;
    std::map<std::string, std::string> sent_hash;
    std::map<std::string, int64_t> sent_at;
    std::optional<std::string> last_sent_at;
    std::string sender;
    std::string tax_year;
    std::optional<std::string> out_dir;
    std::optional<std::string> token_protected;
    std::optional<std::string> host;
    std::map<std::string, CachedHash> hash_cache;
    std::map<std::string, std::string> paths;  // older layout, consumed at load

    // Choices for the next delivery only; never saved.
    std::map<std::string, bool> include_once;

    bool operator==(const State&) const = default;
};

// The three folder lists of the State.
enum class SourceList { layers, tables, other };

// Where the state file lives: APPDATA, else HOME/.config, else the current folder.
std::filesystem::path state_file_path();

// Parses state-file text strictly; none when the text is not a valid state file.
std::optional<State> parse_state(std::string_view text);

// The load-time fix-ups: the older-layout migration and the sender fill-in.
void apply_load_fixups(State& state);

// The state as the file's exact text: indented JSON, no newline at the end.
std::string serialize_state(const State& state);

// The user's display name, else USERNAME, trimmed; absent when both are empty.
std::optional<std::string> default_sender_name();

// Appends a folder to one list unless it already holds it, ignoring ASCII case.
// True when it was added.
bool add_source_folder(State& state, SourceList list, const std::string& folder);

// Forgets folders, selections, sender details, the zip folder and the delivery record; keeps the
// token, the service address, forgotten files and the hash cache. The caller saves.
void reset_settings(State& state);

}  // namespace dalvento
