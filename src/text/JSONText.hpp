#pragma once
// The two ways JSON leaves this program: compact for HTTP replies (and the
// `pack` command, which prints exactly what POST /generate answers) and
// pretty-printed for pack files.
// Pure functions: any thread.
#include <string>

#include <nlohmann/json.hpp>

namespace tavlo {

// Compact, object keys in ascending order, every "/" inside a string written "\/".
// Never throws: bytes that are not UTF-8 become U+FFFD.
std::string writeCompactJSON(const nlohmann::json& value);

// Two-space indentation, object keys in ascending order, "/" unescaped.
// Never throws: bytes that are not UTF-8 become U+FFFD.
std::string writePrettyJSON(const nlohmann::json& value);

}  // namespace tavlo
