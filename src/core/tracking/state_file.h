// The state file on disk: read once at start, written after every change. A file that exists but
// cannot be read stops the start rather than being saved over; one that cannot be parsed is set
// aside before anything replaces it.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

#include "core/platform/platform.h"
#include "core/tracking/state.h"

namespace dalvento {

// How long a start keeps trying to read a state file that another program holds (a backup or a
// virus scan has it open for a moment).
inline constexpr std::chrono::milliseconds READ_PATIENCE{2000};

// The state file as the main window keeps it for the life of the process.
class StateFile {
  public:
    explicit StateFile(std::filesystem::path path = state_file_path());

    const std::filesystem::path& path() const { return path_; }

    // The State with its fix-ups. No file gives the defaults. A file that cannot be parsed is
    // copied aside as state.json.unreadable and gives the defaults; when that copy fails, this
    // object will not save over the file and each save says why. A file that exists but cannot
    // be read, still after `patience`, gives the text that tells the user, and no save either.
    std::expected<State, std::string> load(std::chrono::milliseconds patience = READ_PATIENCE);

    // Writes the file through state.json.tmp and a replacing rename. Saving the text this object
    // last read or wrote to a file that has not changed since writes nothing.
    std::expected<void, std::string> save(const State& state);

  private:
    // The file as this object last saw it: its text, and its size and time then.
    struct Known {
        std::string text;
        uint64_t size = 0;
        std::optional<platform::Time> modified;
    };

    void remember(std::string text);
    bool already_holds(std::string_view text) const;

    std::filesystem::path path_;
    std::optional<Known> known_;
    std::string refusal_;  // why saves must leave the file alone; empty when they may write
};

}  // namespace dalvento
