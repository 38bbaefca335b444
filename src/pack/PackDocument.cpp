#include "pack/PackDocument.hpp"

#include <ctime>

#include "text/UnicodeText.hpp"

namespace tavlo::TavloPackWriter {

namespace {

using json = nlohmann::json;

// Builds the value like the library's own DOM parser but gives up past
// kMaxJSONDepth levels, so a hostile answer cannot exhaust the stack later
// (dumping and comparing values recurse).
class DepthLimitedParser {
 public:
  explicit DepthLimitedParser(json& result) : dom_(result, false) {}

  bool null() { return dom_.null(); }
  bool boolean(bool v) { return dom_.boolean(v); }
  bool number_integer(json::number_integer_t v) { return dom_.number_integer(v); }
  bool number_unsigned(json::number_unsigned_t v) { return dom_.number_unsigned(v); }
  bool number_float(json::number_float_t v, const json::string_t& s) { return dom_.number_float(v, s); }
  bool string(json::string_t& v) { return dom_.string(v); }
  bool binary(json::binary_t& v) { return dom_.binary(v); }
  bool key(json::string_t& v) { return dom_.key(v); }
  bool start_object(std::size_t n) { return enter() && dom_.start_object(n); }
  bool start_array(std::size_t n) { return enter() && dom_.start_array(n); }
  bool end_object() { --depth_; return dom_.end_object(); }
  bool end_array() { --depth_; return dom_.end_array(); }
  template <class Exception>
  bool parse_error(std::size_t, const std::string&, const Exception&) {
    failed_ = true;
    return false;
  }
  bool failed() const { return failed_; }

 private:
  bool enter() {
    if (++depth_ > kMaxJSONDepth) {
      failed_ = true;
      return false;
    }
    return true;
  }

  nlohmann::detail::json_sax_dom_parser<json> dom_;
  std::size_t depth_ = 0;
  bool failed_ = false;
};

bool inClass(char32_t c, bool dashToo) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (dashToo && c == '-');
}

std::string trimDashes(std::string s) {
  const auto first = s.find_first_not_of('-');
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of('-');
  return s.substr(first, last - first + 1);
}

// Header values go in verbatim, except for line breaks, which would end the
// comment line and spill the rest of the value into the script.
std::string headerValue(std::string_view v) {
  std::string out;
  out.reserve(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    const char c = v[i];
    if (c == '\r' || c == '\n') {
      out.push_back(' ');
    } else if (c == '\xE2' && i + 2 < v.size() && v[i + 1] == '\x80' && (v[i + 2] == '\xA8' || v[i + 2] == '\xA9')) {
      out.push_back(' ');  // U+2028, U+2029 end a JavaScript comment too
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string validText(std::string_view s) { return isValidUTF8(s) ? std::string(s) : toValidUTF8(s); }

}  // namespace

std::optional<json> parseObject(std::string_view text) {
  json result;
  DepthLimitedParser parser(result);
  // Syntax errors and excess depth reach the parser's parse_error, never an exception.
  const bool ok = json::sax_parse(text.data(), text.data() + text.size(), &parser);
  if (!ok || parser.failed() || !result.is_object()) return std::nullopt;
  return result;
}

Result<json> extractJSON(std::string_view rawText) {
  // The answer is text: bytes that are not UTF-8 are read as U+FFFD, as any
  // decoder of the model's reply would.
  std::string repaired;
  std::string_view text = rawText;
  if (!isValidUTF8(text)) {
    repaired = toValidUTF8(text);
    text = repaired;
  }

  if (auto whole = parseObject(text)) return std::move(*whole);

  constexpr std::string_view fence = "```";
  if (const auto open = text.find(fence); open != std::string_view::npos) {
    const auto start = open + fence.size();
    if (const auto close = text.find(fence, start); close != std::string_view::npos) {
      std::string_view inner = text.substr(start, close - start);
      if (inner.starts_with("json\n")) inner.remove_prefix(5);
      if (auto fenced = parseObject(inner)) return std::move(*fenced);
    }
  }

  const auto first = text.find('{');
  const auto last = text.rfind('}');
  if (first != std::string_view::npos && last != std::string_view::npos && first < last) {
    if (auto braced = parseObject(text.substr(first, last - first + 1))) return std::move(*braced);
  }

  return fail("Model output did not contain JSON: " + std::string(graphemePrefix(text, 200)));
}

std::string slugify(std::string_view input) {
  const std::string lower = lowercased(validText(input));
  std::string out;
  bool inRun = false;
  for (std::size_t i = 0; i < lower.size();) {
    const char32_t c = nextCodePoint(lower, i);
    if (inClass(c, false)) {
      out.push_back(static_cast<char>(c));
      inRun = false;
    } else if (!inRun) {
      out.push_back('-');
      inRun = true;
    }
  }
  out = trimDashes(std::move(out));
  if (out.size() > 32) out.resize(32);
  return out;
}

std::string sanitizeName(std::string_view input, std::chrono::system_clock::time_point now) {
  const std::string lower = lowercased(validText(input));
  std::string out;
  out.reserve(lower.size());
  for (std::size_t i = 0; i < lower.size();) {
    const char32_t c = nextCodePoint(lower, i);
    out.push_back(inClass(c, true) ? static_cast<char>(c) : '-');
  }
  out = trimDashes(std::move(out));
  if (out.empty()) out = "pack";
  if (out.size() > 40) out.resize(40);
  return out + "-" + localTimeStamp(now);
}

std::optional<json> normalizeButton(const json& raw) {
  const std::string* label = stringAt(raw, "label");
  if (!label) return std::nullopt;
  const std::string* kind = stringAt(raw, "kind");
  json button = json::object();
  button["label"] = *label;
  button["kind"] = kind ? *kind : std::string("snippet");
  if (const std::string* text = stringAt(raw, "text")) button["text"] = *text;
  return button;
}

std::string ensureJsExt(std::string_view name) {
  if (name.ends_with(".user.js")) return std::string(name);
  std::string out;
  out.reserve(name.size() + 8);
  for (std::size_t i = 0; i < name.size();) {
    if (name.compare(i, 3, ".js") == 0) {
      i += 3;
    } else {
      out.push_back(name[i++]);
    }
  }
  return out + ".user.js";
}

std::string userscriptHeader(const json& script, std::string_view fallbackName) {
  auto value = [&](std::string_view key, std::string_view fallback) {
    const std::string* s = stringAt(script, key);
    return headerValue(s ? std::string_view(*s) : fallback);
  };
  std::string header = "// ==UserScript==\n// @name        ";
  header += value("name", fallbackName);
  header += "\n// @namespace   tavlo.quillet\n// @match       ";
  header += value("match", "*://*/*");
  header += "\n// @run-at      ";
  header += value("run_at", "document-idle");
  header += std::string("\n// @grant       none\n// @version     ") + kPackVersion + "\n// @description ";
  header += value("description", "Generated by Tavlo");
  header += "\n// ==/UserScript==\n";
  return header;
}

std::string cleanRelativePath(std::string_view name) {
  std::string out;
  std::size_t pos = 0;
  while (pos <= name.size()) {
    auto slash = name.find('/', pos);
    if (slash == std::string_view::npos) slash = name.size();
    std::string segment;
    for (char c : name.substr(pos, slash - pos))
      if (c != '\0') segment.push_back(c);
    if (!segment.empty() && segment != "." && segment != "..") {
      if (!out.empty()) out.push_back('/');
      out += segment;
    }
    pos = slash + 1;
  }
  return out;
}

std::string localTimeStamp(std::chrono::system_clock::time_point t) {
  const std::time_t secs = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  localtime_r(&secs, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "%H%M%S", &tm);
  return buf;
}

std::string utcTimeStamp(std::chrono::system_clock::time_point t) {
  const std::time_t secs = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

const std::string* stringAt(const json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

const json* objectArrayAt(const json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  if (it == object.end() || !it->is_array()) return nullptr;
  for (const auto& element : *it)
    if (!element.is_object()) return nullptr;
  return &*it;
}

}  // namespace tavlo::TavloPackWriter
