#include "http/HTTPRequest.hpp"

#include <algorithm>
#include <charconv>
#include <vector>

#include "text/UnicodeText.hpp"

namespace tavlo {
namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::string_view kLineEnd = "\r\n";

// Tab and the Unicode space separators (general category Zs).
bool isSpaceSeparator(char32_t c) {
  return c == U'\t' || c == U' ' || c == 0x00A0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// Removes leading and trailing space separators from valid UTF-8.
std::string_view trimmed(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    std::size_t next = begin;
    if (!isSpaceSeparator(nextCodePoint(s, next))) break;
    begin = next;
  }
  std::size_t end = begin;
  for (std::size_t i = begin; i < s.size();) {
    if (!isSpaceSeparator(nextCodePoint(s, i))) end = i;
  }
  return s.substr(begin, end - begin);
}

std::string lowerName(std::string_view name) {
  bool ascii = true;
  for (unsigned char c : name) ascii = ascii && c < 0x80;
  return ascii ? lowerASCII(name) : lowercased(name);
}

// Pieces of `s` between separators, empty pieces dropped.
std::vector<std::string_view> splitDroppingEmpty(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (start <= s.size()) {
    std::size_t stop = s.find(sep, start);
    if (stop == std::string_view::npos) stop = s.size();
    if (stop > start) out.push_back(s.substr(start, stop - start));
    start = stop + 1;
  }
  return out;
}

// Deepest nesting of objects and arrays, counted outside strings; stops early
// once `limit` is passed so the parser never recurses on hostile input.
bool nestingWithin(std::string_view text, int limit) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
      continue;
    }
    if (c == '"') inString = true;
    else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

}  // namespace

std::optional<HTTPRequest> HTTPRequest::tryParse(std::string_view buffer) {
  const std::size_t headEnd = buffer.find(kHeadEnd);
  if (headEnd == std::string_view::npos) return std::nullopt;
  const std::string_view head = buffer.substr(0, headEnd);
  if (!isValidUTF8(head)) return std::nullopt;

  std::vector<std::string_view> lines;
  for (std::size_t start = 0;;) {
    std::size_t stop = head.find(kLineEnd, start);
    if (stop == std::string_view::npos) {
      lines.push_back(head.substr(start));
      break;
    }
    lines.push_back(head.substr(start, stop - start));
    start = stop + kLineEnd.size();
  }

  // At most three pieces: the third (version and anything after it) is unused,
  // so only the first two words matter.
  std::vector<std::string_view> words = splitDroppingEmpty(lines.front(), ' ');
  if (words.size() < 2) return std::nullopt;

  HTTPRequest request;
  request.method = std::string(words[0]);
  std::tie(request.path, request.query) = splitPathAndQuery(words[1]);

  bool sawHost = false;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    const std::size_t colon = line.find(':');
    if (line.empty() || colon == std::string_view::npos) continue;
    std::string name = lowerName(line.substr(0, colon));
    // "Host :" counts too: a second Host line must not slip past under another spelling.
    if (trimmed(name) == "host") request.repeatedHost = std::exchange(sawHost, true);
    request.headers[std::move(name)] = std::string(trimmed(line.substr(colon + 1)));
  }
  request.body = std::string(buffer.substr(headEnd + kHeadEnd.size()));
  return request;
}

std::pair<std::string, std::map<std::string, std::string>> HTTPRequest::splitPathAndQuery(std::string_view target) {
  std::map<std::string, std::string> query;
  const std::size_t mark = target.find('?');
  if (mark == std::string_view::npos) return {std::string(target), query};
  for (std::string_view piece : splitDroppingEmpty(target.substr(mark + 1), '&')) {
    const std::size_t eq = piece.find('=');
    if (eq == std::string_view::npos || eq == 0 || eq + 1 == piece.size()) continue;
    query[std::string(piece.substr(0, eq))] = std::string(piece.substr(eq + 1));
  }
  return {std::string(target.substr(0, mark)), query};
}

int64_t HTTPRequest::contentLength() const {
  auto it = headers.find("content-length");
  if (it == headers.end()) return 0;
  std::string_view text = it->second;
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() < '0' || text.front() > '9') return 0;
  // Parse the magnitude unsigned so INT64_MIN is accepted and anything larger refused.
  uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (ec != std::errc() || end != text.data() + text.size()) return 0;
  constexpr uint64_t maxPositive = static_cast<uint64_t>(INT64_MAX);
  if (!negative) return magnitude <= maxPositive ? static_cast<int64_t>(magnitude) : 0;
  if (magnitude > maxPositive + 1) return 0;
  return magnitude == maxPositive + 1 ? INT64_MIN : -static_cast<int64_t>(magnitude);
}

std::optional<nlohmann::json> HTTPRequest::jsonBody() const {
  if (body.empty() || !nestingWithin(body, kMaxJSONDepth)) return std::nullopt;
  nlohmann::json value = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false, /*ignore_comments=*/false);
  if (!value.is_object()) return std::nullopt;
  return value;
}

ChunkedBodyDecoder::Status ChunkedBodyDecoder::feed(std::string_view bytes, std::string& body) {
  std::size_t i = 0;
  while (status_ == Status::more && i < bytes.size()) {
    if (phase_ == Phase::data) {
      const std::size_t take = static_cast<std::size_t>(std::min<int64_t>(chunkLeft_, static_cast<int64_t>(bytes.size() - i)));
      body.append(bytes.substr(i, take));
      i += take;
      chunkLeft_ -= static_cast<int64_t>(take);
      if (chunkLeft_ == 0) phase_ = Phase::dataEnd;
      continue;
    }
    const char c = bytes[i++];
    if (phase_ != Phase::dataEnd && phase_ != Phase::dataLF && ++lineBytes_ > kMaxLine) status_ = Status::malformed;
    else status_ = step(c);
  }
  return status_;
}

// One byte outside chunk data.
ChunkedBodyDecoder::Status ChunkedBodyDecoder::step(char c) {
  switch (phase_) {
    case Phase::size:
      return sizeByte(c);
    case Phase::extension:
      if (c == '\n') endSizeLine();
      return Status::more;
    case Phase::sizeLF:
      if (c != '\n') return Status::malformed;
      endSizeLine();
      return Status::more;
    case Phase::dataEnd:
      if (c == '\r') phase_ = Phase::dataLF;
      else if (c == '\n') phase_ = Phase::size;
      else return Status::malformed;
      return Status::more;
    case Phase::dataLF:
      if (c != '\n') return Status::malformed;
      phase_ = Phase::size;
      return Status::more;
    case Phase::lineStart:  // a trailer line, or the empty line that ends the body
      lineBytes_ = 1;
      if (c == '\n') return Status::done;
      phase_ = c == '\r' ? Phase::lastLF : Phase::trailer;
      return Status::more;
    case Phase::trailer:
      if (c == '\n') phase_ = Phase::lineStart;
      return Status::more;
    case Phase::lastLF:
      return c == '\n' ? Status::done : Status::malformed;
    case Phase::data:
      break;
  }
  return Status::more;
}

// A byte of the size line: a hex digit, or what ends the size.
ChunkedBodyDecoder::Status ChunkedBodyDecoder::sizeByte(char c) {
  int digit = -1;
  if (c >= '0' && c <= '9') digit = c - '0';
  else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
  if (digit >= 0) {
    sawDigit_ = true;
    chunkLeft_ = chunkLeft_ * 16 + digit;
    // Checked at every digit, so the size never overflows.
    return chunkLeft_ > maxBody_ - announced_ ? Status::tooLarge : Status::more;
  }
  if (!sawDigit_) return Status::malformed;
  if (c == ';' || c == ' ' || c == '\t') phase_ = Phase::extension;
  else if (c == '\r') phase_ = Phase::sizeLF;
  else if (c == '\n') endSizeLine();
  else return Status::malformed;
  return Status::more;
}

void ChunkedBodyDecoder::endSizeLine() {
  lineBytes_ = 0;
  sawDigit_ = false;
  if (chunkLeft_ == 0) {
    phase_ = Phase::lineStart;
  } else {
    announced_ += chunkLeft_;
    phase_ = Phase::data;
  }
}

}  // namespace tavlo
