// Finding the delivery units in the configured folders, and sorting chosen or dropped paths into
// map-layer and parcel folders.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/tracking/state.h"
#include "county/delivery_unit.h"

namespace dalvento {

// Builds, checks and fingerprints every unit of the configured folders. Never fails as a whole;
// it changes only the State's hash cache.
std::vector<DeliveryUnit> scan_sources(State& state);

// What the folder guess looks for.
enum class GuessMode : uint8_t { layers = 0, tables = 1, either = 255 };

struct FolderGuess {
    std::vector<std::string> not_used;  // one text per path that matched nothing
    std::optional<std::filesystem::path> layers_folder;
    std::optional<std::filesystem::path> tables_folder;
};

// Decides which of the given paths (or the folders directly inside them) hold the map layers and
// which the parcel tables.
FolderGuess guess_source_folders(const std::vector<std::filesystem::path>& paths, GuessMode mode);

}  // namespace dalvento
