#include "core/platform/sha256.h"

namespace dalvento {

std::string to_hex(const uint8_t* bytes, size_t size) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string out(size * 2, '0');
    for (size_t i = 0; i < size; ++i) {
        out[2 * i] = DIGITS[bytes[i] >> 4];
        out[2 * i + 1] = DIGITS[bytes[i] & 0x0F];
    }
    return out;
}

std::string sha256_hex(std::string_view data) {
    Sha256 hash;
    hash.update(data);
    return hash.finish_hex();
}

}  // namespace dalvento
