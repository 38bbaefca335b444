#include "providers/ProviderJSON.hpp"

namespace tavlo {

nlohmann::json parseProviderJSON(std::string_view body, int maxDepth) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : body) {
    if (inString) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > maxDepth) return nlohmann::json(nlohmann::json::value_t::discarded);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return nlohmann::json::parse(body, nullptr, false);
}

}  // namespace tavlo
