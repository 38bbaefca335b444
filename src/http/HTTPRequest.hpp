#pragma once
// One request as the phone sends it: parsed from the bytes gathered on a
// connection, one request per connection. No Asio here (the fuzzers link this).
// Plain values and pure functions: any thread.
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
  std::string body;                            // tryParse: every byte after the blank line; the server
                                               // then keeps exactly the body the head announces
  std::string peerAddress;                     // the client's address as text (IPv4-mapped IPv6 as IPv4); set by the server
  bool repeatedHost = false;                   // more than one Host line: which one names the server is unclear

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

// Decodes a body sent with "Transfer-Encoding: chunked" as its bytes arrive, cut
// anywhere: a size line in hex (anything after ";" ignored), that many bytes, a line
// end, and so on up to a chunk of size 0, optional trailer lines and an empty line.
// Line ends may be CR LF or LF alone. Bytes after the last line are ignored.
class ChunkedBodyDecoder {
 public:
  enum class Status { more, done, malformed, tooLarge };

  explicit ChunkedBodyDecoder(int64_t maxBody) : maxBody_(maxBody) {}

  // Appends the data carried by `bytes` to `body`; the status after them. Once not
  // `more`, the status stays and further bytes are ignored.
  Status feed(std::string_view bytes, std::string& body);
  Status status() const { return status_; }
  // The sum of the chunk sizes read so far (counted before their data arrives).
  int64_t announced() const { return announced_; }

  // A size line, extension or trailer line longer than this is malformed.
  static constexpr std::size_t kMaxLine = 4096;

 private:
  enum class Phase { size, extension, sizeLF, data, dataEnd, dataLF, lineStart, trailer, lastLF };
  Status step(char c);
  Status sizeByte(char c);
  void endSizeLine();

  int64_t maxBody_;
  int64_t announced_ = 0;
  int64_t chunkLeft_ = 0;
  std::size_t lineBytes_ = 0;
  bool sawDigit_ = false;
  Phase phase_ = Phase::size;
  Status status_ = Status::more;
};

}  // namespace tavlo
