// Feeds arbitrary bytes to the request parser and the JSON body reader, and
// checks the invariants the server relies on.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "http/HTTPRequest.hpp"
#include "http/HTTPResponse.hpp"

using namespace tavlo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
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
  if (auto body = request->jsonBody()) {
    if (!body->is_object()) std::abort();
    // Whatever was read can be written back out.
    const std::string out = HTTPResponse::json(*body).serialize();
    if (out.find("\r\n\r\n") == std::string::npos) std::abort();
  }
  return 0;
}
