#pragma once
// The pack document a model answers with, and the rules that turn its values
// into a pack name, file names, keyboard buttons and userscript headers.
// Pure functions: any thread.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/Result.hpp"

namespace tavlo {

// The version written into every manifest and userscript header; the phone
// reads it. It is the pack format's, not the program's (TAVLO_VERSION).
inline constexpr const char* kPackVersion = "0.1.0";

namespace TavloPackWriter {

// Deeper JSON than this is not taken for a pack document (the parse gives up).
constexpr std::size_t kMaxJSONDepth = 512;

// The pack document found in a model's answer: the whole answer, else the
// first fenced block, else the span from the first "{" to the last "}".
// Fails with "Model output did not contain JSON: " and the first 200 characters.
Result<nlohmann::json> extractJSON(std::string_view text);

// One JSON object parsed from `text`, or nothing (invalid, too deep, not an object).
std::optional<nlohmann::json> parseObject(std::string_view text);

std::string slugify(std::string_view s);

// Cleaned stem (at most 40 characters), "-", the local time as HHmmss.
std::string sanitizeName(std::string_view s, std::chrono::system_clock::time_point now);

std::optional<nlohmann::json> normalizeButton(const nlohmann::json& raw);

std::string ensureJsExt(std::string_view name);

// The nine-line metadata block in front of every userscript.
std::string userscriptHeader(const nlohmann::json& script, std::string_view fallbackName);

// A file name from the document as a path relative to its pack subfolder:
// "", "." and ".." segments, a leading "/" and NUL bytes are dropped.
// Returns the empty string when nothing is left.
std::string cleanRelativePath(std::string_view name);

// "HHmmss" of `t` in the local time zone.
std::string localTimeStamp(std::chrono::system_clock::time_point t);

// ISO 8601 in UTC to whole seconds with "Z", e.g. 2026-12-05T19:44:22Z.
std::string utcTimeStamp(std::chrono::system_clock::time_point t);

// The value under `key` when it is a string.
const std::string* stringAt(const nlohmann::json& object, std::string_view key);

// The value under `key` when it is an array whose every element is an object.
const nlohmann::json* objectArrayAt(const nlohmann::json& object, std::string_view key);

}  // namespace TavloPackWriter
}  // namespace tavlo
