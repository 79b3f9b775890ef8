// Small text helpers shared by every module. Text is UTF-8 in std::string throughout.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace dalvento {

// Lower-cases ASCII letters only; every other byte is kept.
std::string ascii_lower(std::string_view text);

// Upper-cases ASCII letters only; every other byte is kept.
std::string ascii_upper(std::string_view text);

// Equality ignoring the case of ASCII letters.
bool equals_ignoring_ascii_case(std::string_view a, std::string_view b);

// Trims white space (ASCII and Unicode spaces as the platform would count them) at both ends.
std::string trim(std::string_view text);

// True when the bytes are well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// The bytes as UTF-8, each invalid sequence replaced by U+FFFD.
std::string utf8_with_replacement(std::string_view bytes);

// The text trimmed, or the fallback when nothing is left.
std::string given_or(std::string_view text, std::string_view fallback);

// "1 {noun}" for one, otherwise "{n} {noun}s" (zero takes the plural).
std::string count_with_noun(size_t n, std::string_view noun);

// Joins the items with the separator between them.
std::string join(const std::vector<std::string>& items, std::string_view separator);

}  // namespace dalvento
