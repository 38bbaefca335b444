#include "text/UnicodeText.hpp"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/ucasemap.h>
#include <unicode/utext.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace tavlo {

namespace {

// Length of the well-formed sequence at `i`, or 0 when it is ill-formed.
std::size_t sequenceLength(std::string_view s, std::size_t i) noexcept {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  const std::size_t left = s.size() - i;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return (left >= 2 && (b(i + 1) & 0xC0) == 0x80) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (left < 3) return 0;
    const unsigned char c1 = b(i + 1);
    const unsigned char lo = c == 0xE0 ? 0xA0 : 0x80;
    const unsigned char hi = c == 0xED ? 0x9F : 0xBF;
    if (c1 < lo || c1 > hi || (b(i + 2) & 0xC0) != 0x80) return 0;
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (left < 4) return 0;
    const unsigned char c1 = b(i + 1);
    const unsigned char lo = c == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = c == 0xF4 ? 0x8F : 0xBF;
    if (c1 < lo || c1 > hi || (b(i + 2) & 0xC0) != 0x80 || (b(i + 3) & 0xC0) != 0x80) return 0;
    return 4;
  }
  return 0;
}

// Length of the longest prefix of an ill-formed sequence that a decoder would
// take as one unit before emitting U+FFFD (maximal subpart, as ICU does).
std::size_t maximalSubpart(std::string_view s, std::size_t i) noexcept {
  const auto c = static_cast<unsigned char>(s[i]);
  std::size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) need = 1;
  else if (c >= 0xE0 && c <= 0xEF) { need = 2; if (c == 0xE0) lo = 0xA0; if (c == 0xED) hi = 0x9F; }
  else if (c >= 0xF0 && c <= 0xF4) { need = 3; if (c == 0xF0) lo = 0x90; if (c == 0xF4) hi = 0x8F; }
  else return 1;
  std::size_t n = 1;
  for (std::size_t k = 0; k < need && i + n < s.size(); ++k, ++n) {
    const auto d = static_cast<unsigned char>(s[i + n]);
    if (d < lo || d > hi) break;
    lo = 0x80;
    hi = 0xBF;
  }
  return n;
}

}  // namespace

bool isValidUTF8(std::string_view s) noexcept {
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    // ASCII runs are the common case: test eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, s.data() + i, 8);
      if (word & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    const std::size_t len = sequenceLength(s, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string toValidUTF8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t len = sequenceLength(s, i);
    if (len) {
      out.append(s.substr(i, len));
      i += len;
    } else {
      out.append("\xEF\xBF\xBD");
      i += maximalSubpart(s, i);
    }
  }
  return out;
}

char32_t nextCodePoint(std::string_view s, std::size_t& i) noexcept {
  const auto c = static_cast<unsigned char>(s[i]);
  auto cont = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(s[i + k]) & 0x3F); };
  char32_t cp;
  if (c < 0x80) { cp = c; i += 1; }
  else if (c < 0xE0 && i + 1 < s.size()) { cp = (static_cast<char32_t>(c & 0x1F) << 6) | cont(1); i += 2; }
  else if (c < 0xF0 && i + 2 < s.size()) { cp = (static_cast<char32_t>(c & 0x0F) << 12) | (cont(1) << 6) | cont(2); i += 3; }
  else if (i + 3 < s.size()) { cp = (static_cast<char32_t>(c & 0x07) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3); i += 4; }
  else { cp = 0xFFFD; i += 1; }
  return cp;
}

std::string_view graphemePrefix(std::string_view s, std::size_t count) {
  if (count == 0) return s.substr(0, 0);
  // Cheap exits: a string of at most `count` bytes has at most `count` clusters.
  if (s.size() <= count) return s;
  thread_local std::unique_ptr<icu::BreakIterator> iterator;
  UErrorCode status = U_ZERO_ERROR;
  if (!iterator) {
    iterator.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) {
      iterator.reset();
      return s;  // ICU data missing: never cut rather than cut badly
    }
  }
  status = U_ZERO_ERROR;
  UText* text = utext_openUTF8(nullptr, s.data(), static_cast<int64_t>(s.size()), &status);
  if (U_FAILURE(status)) return s;
  iterator->setText(text, status);
  std::size_t end = s.size();
  if (U_SUCCESS(status)) {
    int32_t pos = iterator->first();
    for (std::size_t k = 0; k < count; ++k) {
      pos = iterator->next();
      if (pos == icu::BreakIterator::DONE) break;
    }
    if (pos != icu::BreakIterator::DONE) end = static_cast<std::size_t>(pos);
  }
  // Detach the iterator from the text before the text goes away.
  UErrorCode ignored = U_ZERO_ERROR;
  UText* empty = utext_openUTF8(nullptr, "", 0, &ignored);
  iterator->setText(empty, ignored);
  utext_close(text);
  utext_close(empty);
  return s.substr(0, end);
}

std::string lowerASCII(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string lowercased(std::string_view s) {
  thread_local std::unique_ptr<UCaseMap, decltype(&ucasemap_close)> map(nullptr, &ucasemap_close);
  UErrorCode status = U_ZERO_ERROR;
  if (!map) {
    map.reset(ucasemap_open("", U_FOLD_CASE_DEFAULT, &status));
    if (U_FAILURE(status)) map.reset();
  }
  if (!map || s.size() > INT32_MAX / 4) return lowerASCII(s);
  std::string out(s.size() + 16, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    status = U_ZERO_ERROR;
    const int32_t len = ucasemap_utf8ToLower(map.get(), out.data(), static_cast<int32_t>(out.size()), s.data(),
                                             static_cast<int32_t>(s.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.assign(static_cast<std::size_t>(len) + 1, '\0');
      continue;
    }
    if (U_FAILURE(status)) break;
    out.resize(static_cast<std::size_t>(len));
    return out;
  }
  return std::string(s);
}

}  // namespace tavlo
