#include "core/tracking/state_file.h"

#include <thread>

namespace dalvento {

namespace {

// How long a read waits before trying a held file again.
constexpr std::chrono::milliseconds READ_RETRY{100};

std::filesystem::path with_suffix(std::filesystem::path path, std::string_view suffix) {
    path += platform::path_from_text(suffix);
    return path;
}

std::string located_error(const std::filesystem::path& path, const platform::OsError& error) {
    return platform::path_text(path) + ": " + error.text;
}

std::expected<std::string, platform::OsError> read_whole_file(const std::filesystem::path& path) {
    auto file = platform::InputFile::open(path);
    if (!file) return std::unexpected(file.error());
    std::string text;
    char buffer[64 * 1024];
    for (;;) {
        const auto got = file->read(buffer, sizeof buffer);
        if (!got) return std::unexpected(got.error());
        if (*got == 0) break;
        text.append(buffer, *got);
    }
    return text;
}

std::string couldnt_read_text(const std::filesystem::path& path, const platform::OsError& error) {
    return "Dalvento couldn't read its settings file " + platform::path_text(path) + ": " +
           error.text +
           ".\n\nClose any program that may be holding it (a backup or antivirus scan) and start "
           "Dalvento again. Nothing was changed.";
}

std::string not_set_aside_text(const std::filesystem::path& path, const std::filesystem::path& copy,
                               const std::string& reason) {
    return "Dalvento's settings file " + platform::path_text(path) +
           " isn't one it can read, and it couldn't be copied aside to " +
           platform::path_text(copy) + ": " + reason +
           ".\n\nDalvento started with its default settings and leaves that file as it is, so "
           "nothing you change now is kept. Copy the file somewhere safe, or free some space on "
           "the disk, and start Dalvento again.";
}

}  // namespace

StateFile::StateFile(std::filesystem::path path) : path_(std::move(path)) {}

std::expected<State, std::string> StateFile::load(std::chrono::milliseconds patience) {
    known_.reset();
    refusal_.clear();
    const auto give_up = std::chrono::steady_clock::now() + patience;
    std::expected<std::string, platform::OsError> text = read_whole_file(path_);
    while (!text && !platform::is_not_found(text.error()) &&
           std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(READ_RETRY);
        text = read_whole_file(path_);
    }

    std::optional<State> state;
    if (text) {
        state = parse_state(*text);
        if (state) {
            remember(std::move(*text));
        } else {
            // The defaults take over and the next save replaces the file: keep a copy of what
            // was there first, and replace nothing when that copy cannot be made.
            const std::filesystem::path copy = with_suffix(path_, ".unreadable");
            if (auto copied = platform::copy_file_replacing(path_, copy); !copied) {
                refusal_ = not_set_aside_text(path_, copy, copied.error().text);
            }
        }
    } else if (!platform::is_not_found(text.error())) {
        refusal_ = couldnt_read_text(path_, text.error());
        return std::unexpected(refusal_);
    }
    if (!state) state.emplace();
    apply_load_fixups(*state);
    return std::move(*state);
}

std::expected<void, std::string> StateFile::save(const State& state) {
    if (!refusal_.empty()) return std::unexpected(refusal_);
    const std::filesystem::path folder = path_.parent_path();
    if (!folder.empty()) {
        if (auto made = platform::create_directories(folder); !made) {
            return std::unexpected(located_error(folder, made.error()));
        }
    }
    std::string text;
    try {
        text = serialize_state(state);
    } catch (const std::exception& e) {
        return std::unexpected(platform::path_text(path_) + ": " + e.what());
    }
    if (already_holds(text)) return {};
    const std::filesystem::path temporary = with_suffix(path_, ".tmp");
    auto file = platform::OutputFile::create(temporary);
    if (!file) return std::unexpected(located_error(temporary, file.error()));
    if (auto wrote = file->write_all(text.data(), text.size()); !wrote) {
        return std::unexpected(located_error(temporary, wrote.error()));
    }
    if (auto closed = file->close(); !closed) {
        return std::unexpected(located_error(temporary, closed.error()));
    }
    if (auto renamed = platform::replace_rename(temporary, path_); !renamed) {
        return std::unexpected(located_error(path_, renamed.error()));
    }
    remember(std::move(text));
    return {};
}

void StateFile::remember(std::string text) {
    const auto info = platform::file_info(path_);
    if (!info || !info->is_file) {
        known_.reset();
        return;
    }
    known_ = Known{std::move(text), info->size, info->modified};
}

bool StateFile::already_holds(std::string_view text) const {
    if (!known_) return false;
    const auto info = platform::file_info(path_);
    return info && info->is_file && known_->size == info->size &&
           known_->modified == info->modified && known_->text == text;
}

}  // namespace dalvento
