#pragma once
// UTF-8 helpers backed by ICU: validity, repair, user-perceived characters
// (extended grapheme clusters) and locale-independent lower-casing.
// Pure functions: any thread (ICU objects are per thread).
#include <cstddef>
#include <string>
#include <string_view>

namespace tavlo {

// Strict UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool isValidUTF8(std::string_view s) noexcept;

// `s` with every ill-formed sequence replaced by U+FFFD.
std::string toValidUTF8(std::string_view s);

// The first `count` grapheme clusters of valid UTF-8 `s` (the whole string when shorter).
std::string_view graphemePrefix(std::string_view s, std::size_t count);

// Unicode lower-case mapping with the root locale; `s` must be valid UTF-8.
std::string lowercased(std::string_view s);

// Only A-Z mapped to a-z; every other byte kept (HTTP names, host names, or
// bytes that are not UTF-8).
std::string lowerASCII(std::string_view s);

// Decodes one code point of valid UTF-8 at `i` and advances `i`.
char32_t nextCodePoint(std::string_view s, std::size_t& i) noexcept;

}  // namespace tavlo
