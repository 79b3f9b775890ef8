#include "county/text.h"

#include <cstdint>

namespace dalvento {

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string ascii_upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

namespace {

// Length of the well-formed UTF-8 sequence starting at text[i], or 0 when it is not one.
size_t utf8_sequence_length(std::string_view text, size_t i, char32_t* value = nullptr) {
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    const uint8_t b0 = byte(i);
    size_t len;
    char32_t cp;
    char32_t min;
    if (b0 < 0x80) {
        if (value) *value = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > text.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        const uint8_t b = byte(i + k);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    if (value) *value = cp;
    return len;
}

bool is_space(char32_t c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

}  // namespace

std::string trim(std::string_view text) {
    // Walk code points so that multi-byte spaces (no-break space and the like) are trimmed too.
    size_t begin = 0, end = 0, i = 0;
    bool seen = false;
    while (i < text.size()) {
        char32_t cp = 0;
        size_t len = utf8_sequence_length(text, i, &cp);
        if (len == 0) len = 1, cp = 0xFFFD;
        if (!is_space(cp)) {
            if (!seen) begin = i, seen = true;
            end = i + len;
        }
        i += len;
    }
    return seen ? std::string(text.substr(begin, end - begin)) : std::string();
}

bool is_valid_utf8(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        const size_t len = utf8_sequence_length(bytes, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string utf8_with_replacement(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        const size_t len = utf8_sequence_length(bytes, i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(bytes.substr(i, len));
            i += len;
        }
    }
    return out;
}

std::string given_or(std::string_view text, std::string_view fallback) {
    std::string trimmed = trim(text);
    return trimmed.empty() ? std::string(fallback) : trimmed;
}

std::string count_with_noun(size_t n, std::string_view noun) {
    std::string text = std::to_string(n) + " " + std::string(noun);
    if (n != 1) text += "s";
    return text;
}

std::string join(const std::vector<std::string>& items, std::string_view separator) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += separator;
        out += items[i];
    }
    return out;
}

}  // namespace dalvento
