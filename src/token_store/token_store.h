// The office token store: the token is kept in the state file only as a blob that the Windows
// account that saved it can read back (DPAPI; a per-user key file on other systems), written as
// lower-case hex. The plain token lives only in memory.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "core/tracking/state.h"

namespace dalvento {

// The blob's description, as DPAPI records it.
inline constexpr std::string_view TOKEN_DESCRIPTION = "Dalvento office token";

// The message box shown when the token could not be protected.
inline constexpr std::string_view TOKEN_NOT_KEPT_TITLE = "Couldn't keep the token";
inline constexpr std::string_view TOKEN_NOT_KEPT_TEXT =
    "Windows refused to protect it; nothing was saved.";

// Protects a token for the current user; the blob as lower-case hex, or none when refused.
std::optional<std::string> protect_token(std::string_view token);

// The token a protect_token blob holds; none for text that is not even-length hex, a blob this
// user cannot open (another account, another computer, damage) or a token that is not UTF-8.
std::optional<std::string> unprotect_token(std::string_view hex);

using ProtectTokenFn = std::optional<std::string> (*)(std::string_view token);

// Saves an entered token into the state: trims it, protects it and sets token_protected. Gives
// the trimmed token (the caller keeps it in memory and writes the state file), none for a blank
// entry (nothing saved), or TOKEN_NOT_KEPT_TEXT when protecting failed, with the state untouched.
std::expected<std::optional<std::string>, std::string> save_token(
    State& state, std::string_view entered, ProtectTokenFn protect = protect_token);

// The bytes written as hex (two digits per byte, either case); none for odd length or a non-digit.
std::optional<std::string> bytes_from_hex(std::string_view hex);

// Removes the saved token from the state; the caller drops the in-memory one and saves.
void remove_token(State& state);

// The token saved in the state, for start-up; none when there is none or it cannot be read here.
// A blob that cannot be read stays in the state until a token is saved or removed.
std::optional<std::string> load_token(const State& state);

}  // namespace dalvento
