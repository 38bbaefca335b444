// Feeds arbitrary bytes to the request parser, the chunked body decoder and the
// JSON body reader, and checks the invariants the server relies on.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "http/HTTPRequest.hpp"
#include "http/HTTPResponse.hpp"

using namespace tavlo;

namespace {

// The bytes as a chunked body: decoded whole, and fed in pieces, give the same
// body and status, and the body never exceeds the limit nor what was announced.
void decodeChunked(std::string_view bytes) {
  constexpr int64_t kLimit = 1024;
  ChunkedBodyDecoder whole(kLimit);
  std::string wholeBody;
  const auto status = whole.feed(bytes, wholeBody);
  if (static_cast<int64_t>(wholeBody.size()) > whole.announced() || whole.announced() > kLimit) std::abort();

  ChunkedBodyDecoder pieces(kLimit);
  std::string piecesBody;
  const std::size_t step = bytes.empty() ? 1 : 1 + static_cast<unsigned char>(bytes[0]) % 7;
  for (std::size_t at = 0; at < bytes.size(); at += step) pieces.feed(bytes.substr(at, step), piecesBody);
  if (pieces.status() != status || piecesBody != wholeBody || pieces.announced() != whole.announced()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  decodeChunked(bytes);
  auto request = HTTPRequest::tryParse(bytes);
  if (!request) return 0;
  // The body is exactly what followed the first blank line.
  const std::size_t headEnd = bytes.find("\r\n\r\n");
  if (headEnd == std::string_view::npos || request->body != bytes.substr(headEnd + 4)) std::abort();
  if (request->method.empty() || request->path.find('?') != std::string::npos) std::abort();
  for (const auto& [name, value] : request->headers) {
    if (name.find(':') != std::string::npos || name.find("\r\n") != std::string::npos) std::abort();
    (void)value;
  }
  (void)request->contentLength();
  if (request->headers.contains("transfer-encoding")) decodeChunked(request->body);
  if (auto body = request->jsonBody()) {
    if (!body->is_object()) std::abort();
    // Whatever was read can be written back out.
    const std::string out = HTTPResponse::json(*body).serialize();
    if (out.find("\r\n\r\n") == std::string::npos) std::abort();
  }
  return 0;
}
