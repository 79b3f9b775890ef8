// The token store over the Windows Data Protection API, per-user scope.
// windows.h first: wincrypt.h builds on its types.
#include <windows.h>

#include <wincrypt.h>

#include "core/platform/sha256.h"
#include "county/text.h"
#include "token_store/token_store.h"

namespace dalvento {

namespace {

// The description as DPAPI takes it: UTF-16, NUL-terminated.
constexpr const wchar_t* DESCRIPTION_W = L"Dalvento office token";

}  // namespace

std::optional<std::string> protect_token(std::string_view token) {
    DATA_BLOB input;
    input.cbData = static_cast<DWORD>(token.size());
    input.pbData = reinterpret_cast<BYTE*>(const_cast<char*>(token.data()));
    DATA_BLOB output = {};
    if (!CryptProtectData(&input, DESCRIPTION_W, nullptr, nullptr, nullptr,
                          CRYPTPROTECT_UI_FORBIDDEN, &output)) {
        return std::nullopt;
    }
    if (output.pbData == nullptr) return std::nullopt;
    std::string hex = to_hex(output.pbData, output.cbData);
    LocalFree(output.pbData);
    return hex;
}

std::optional<std::string> unprotect_token(std::string_view hex) {
    auto blob = bytes_from_hex(hex);
    if (!blob) return std::nullopt;
    DATA_BLOB input;
    input.cbData = static_cast<DWORD>(blob->size());
    input.pbData = reinterpret_cast<BYTE*>(blob->data());
    DATA_BLOB output = {};
    if (!CryptUnprotectData(&input, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                            &output)) {
        return std::nullopt;
    }
    if (output.pbData == nullptr) return std::nullopt;
    std::string token(reinterpret_cast<const char*>(output.pbData), output.cbData);
    SecureZeroMemory(output.pbData, output.cbData);
    LocalFree(output.pbData);
    if (!is_valid_utf8(token)) return std::nullopt;
    return token;
}

}  // namespace dalvento
