#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tvr::unicode {

// Unicode helpers over ICU, independent of the machine's locale. Text is UTF-8; invalid
// sequences are treated as U+FFFD.

std::u32string toUTF32(std::string_view text);
std::string toUTF8(std::u32string_view text);

// Strict UTF-8, checked without ICU: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(std::string_view text);
// The length (1 to 4) of the valid sequence that starts at `at` (< text.size()), or 0.
std::size_t utf8SequenceLength(std::string_view text, std::size_t at);

// Canonical composition (NFC).
std::string nfc(std::string_view text);
// Full lower-casing with the root ("en_US_POSIX"-like) locale.
std::string lowercased(std::string_view text);

// General categories.
bool isLetterMarkOrNumber(char32_t c);  // L*, M*, N*
bool isLetterOrNumber(char32_t c);      // L*, N*
bool isControlOrFormat(char32_t c);     // Cc, Cf
bool containsControlOrFormat(std::string_view text);

// Number of extended grapheme clusters (user-perceived characters).
std::size_t graphemeClusterCount(std::string_view text);

// Finder-like order of names: numeric runs compared by value, letter case ignored.
// Returns <0, 0 or >0.
int finderCompare(std::string_view a, std::string_view b);

}  // namespace tvr::unicode
