#pragma once
// A reply to the phone and the exact bytes written for it. No Asio here.
// Plain values and pure functions: any thread.
#include <map>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tavlo {

struct HTTPResponse {
  int status = 200;
  std::map<std::string, std::string> headers;  // keys compared exactly (case-sensitive)
  std::string body;

  // Compact JSON with sorted keys and "/" written "\/"; Content-Type JSON.
  static HTTPResponse json(const nlohmann::json& value, int status = 200);
  static HTTPResponse text(std::string text, int status = 200);
  static HTTPResponse notFound();
  static HTTPResponse badRequest(std::string_view message);
  static std::string_view statusText(int status);

  // Status line, the headers with Content-Length, Connection: close,
  // Access-Control-Allow-Origin and the default Content-Type, blank line, body.
  std::string serialize() const;
};

}  // namespace tavlo
