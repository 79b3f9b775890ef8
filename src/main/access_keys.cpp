#include "main/access_keys.h"

#include <cctype>

namespace dalvento {

namespace {

char upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

}  // namespace

std::string with_access_key(std::string_view text, std::string_view keys) {
    size_t marked = std::string_view::npos;
    for (const char key : keys) {
        for (size_t i = 0; i < text.size() && marked == std::string_view::npos; ++i) {
            if (upper(text[i]) == key) marked = i;
        }
        if (marked != std::string_view::npos) break;
    }
    std::string shown;
    shown.reserve(text.size() + 2);
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == marked) shown += '&';
        shown += text[i];
        if (text[i] == '&') shown += '&';
    }
    return shown;
}

char access_key_of(std::string_view shown) {
    for (size_t i = 0; i + 1 < shown.size(); ++i) {
        if (shown[i] != '&') continue;
        if (shown[i + 1] != '&') return upper(shown[i + 1]);
        ++i;  // a doubled ampersand shows one
    }
    return 0;
}

}  // namespace dalvento
