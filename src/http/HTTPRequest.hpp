#pragma once
// One request as the phone sends it: parsed from the bytes gathered on a
// connection, one request per connection. No Asio here (the fuzzers link this).
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

namespace tavlo {

struct HTTPRequest {
  std::string method;                          // first word of the request line, as sent
  std::string path;                            // target up to the first "?", not percent-decoded
  std::map<std::string, std::string> query;    // pairs after the first "?", as sent
  std::map<std::string, std::string> headers;  // names lower-cased, values trimmed
  std::string body;                            // every byte after the blank line
  std::string peerAddress;                     // the client's address as text (IPv4-mapped IPv6 as IPv4); set by the server

  // A request once the buffer holds a complete, well-formed head; none otherwise
  // (incomplete and malformed heads are not told apart).
  static std::optional<HTTPRequest> tryParse(std::string_view buffer);

  // Divides a request target into its path and its query pairs.
  static std::pair<std::string, std::map<std::string, std::string>> splitPathAndQuery(std::string_view target);

  // The content-length header as a signed decimal; 0 when absent or unreadable.
  int64_t contentLength() const;

  // The body as a JSON object, or none (empty, not JSON, not an object, nested too deep).
  std::optional<nlohmann::json> jsonBody() const;

  void appendBody(std::string_view bytes) { body.append(bytes); }

  // Objects and arrays nested deeper than this are refused before parsing.
  static constexpr int kMaxJSONDepth = 512;
};

}  // namespace tavlo
