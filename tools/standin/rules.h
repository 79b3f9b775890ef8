// The service's rules for what it is sent: the announce body and its units, the compact form of
// JSON bodies, hex digests and local times. Each check names the first problem it finds.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace dalvento::standin {

// 64 lower-case hex digits.
bool is_hex64(const nlohmann::json& value);
// Why an announce body cannot be taken; none when it can.
std::optional<std::string> announce_problem(const nlohmann::json& announce);
// Bodies are written compactly with members in ascending byte order.
bool is_canonical(const nlohmann::json& value, std::string_view text);

}  // namespace dalvento::standin
