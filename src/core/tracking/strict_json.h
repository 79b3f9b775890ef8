// A JSON reader stricter than the library's, for the state file: a file it refuses is set aside
// whole rather than half-read.
#pragma once

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace dalvento {

// Parses text as one JSON document followed by nothing but white space (a leading byte-order
// mark is allowed). None when it is not that, holds a NUL byte or invalid UTF-8, or an object
// names a key twice.
std::optional<nlohmann::json> parse_strict_json(std::string_view text);

}  // namespace dalvento
