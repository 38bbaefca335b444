#include "text/JSONText.hpp"

namespace tavlo {

std::string writeCompactJSON(const nlohmann::json& value) {
  const std::string plain = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  // In compact output a "/" can only stand inside a string (keys included).
  std::string out;
  out.reserve(plain.size() + plain.size() / 16);
  for (char c : plain) {
    if (c == '/') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::string writePrettyJSON(const nlohmann::json& value) {
  return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace tavlo
