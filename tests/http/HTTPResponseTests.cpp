#include <gtest/gtest.h>

#include <cmath>

#include "http/HTTPResponse.hpp"

namespace tavlo {
namespace {

TEST(HTTPResponseBytes, ExactHeadsWithDefaults) {
  EXPECT_EQ(HTTPResponse::notFound().serialize(),
            "HTTP/1.1 404 Not Found\r\n"
            "Access-Control-Allow-Origin: *\r\n"
            "Connection: close\r\n"
            "Content-Length: 32\r\n"
            "Content-Type: application/json; charset=utf-8\r\n"
            "\r\n"
            "{\"error\":\"not found\",\"ok\":false}");
  // The handler's own length is replaced; its other headers stay, in key order; a value cannot break the head.
  HTTPResponse r = HTTPResponse::text("héllo");
  r.headers["Content-Length"] = "999";
  r.headers["X-Name"] = "a\r\nSet-Cookie: evil";
  EXPECT_EQ(r.serialize(),
            "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\nContent-Length: 6\r\n"
            "Content-Type: text/plain; charset=utf-8\r\nX-Name: aSet-Cookie: evil\r\n\r\nhéllo");
  // Keys are matched exactly: a lower-case content-type gets the default beside it.
  HTTPResponse lower = HTTPResponse::json(nlohmann::json::object(), 503);
  lower.headers["content-type"] = "text/html";
  EXPECT_EQ(lower.serialize(),
            "HTTP/1.1 503 OK\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\nContent-Length: 2\r\n"
            "Content-Type: application/json; charset=utf-8\r\ncontent-type: text/html\r\n\r\n{}");
}

// The JSON text itself (compact, sorted, "\/") is the text module's, tested with it.
TEST(HTTPResponseJSON, ErrorBodiesAndValuesThatNeverThrow) {
  auto bad = HTTPResponse::badRequest("missing \"prompt\"");
  EXPECT_EQ(std::make_pair(bad.status, bad.body), std::make_pair(400, std::string("{\"error\":\"missing \\\"prompt\\\"\",\"ok\":false}")));
  // Invalid UTF-8 or a NaN in a value never throws out of the constructor.
  EXPECT_NO_THROW(HTTPResponse::json({{"a", std::string("\xff")}}));
  EXPECT_NO_THROW(HTTPResponse::json({{"a", std::nan("")}}));
}

}  // namespace
}  // namespace tavlo
