#include "token_store/token_store.h"

#include "county/text.h"

namespace dalvento {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<std::string> bytes_from_hex(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = hex_digit(hex[i]);
        const int low = hex_digit(hex[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    return bytes;
}

std::expected<std::optional<std::string>, std::string> save_token(State& state,
                                                                  std::string_view entered,
                                                                  ProtectTokenFn protect) {
    std::string token = trim(entered);
    if (token.empty()) return std::optional<std::string>();
    auto blob = protect(token);
    if (!blob) return std::unexpected(std::string(TOKEN_NOT_KEPT_TEXT));
    state.token_protected = std::move(*blob);
    return std::optional<std::string>(std::move(token));
}

void remove_token(State& state) {
    state.token_protected.reset();
}

std::optional<std::string> load_token(const State& state) {
    if (!state.token_protected) return std::nullopt;
    return unprotect_token(*state.token_protected);
}

}  // namespace dalvento
