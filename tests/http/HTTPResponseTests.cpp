#include <gtest/gtest.h>

#include <cmath>

#include "http/HTTPResponse.hpp"

namespace tavlo {
namespace {

// Header lines of a serialized response, in the order written.
std::vector<std::string> headerLines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::size_t start = bytes.find("\r\n") + 2;
  for (;;) {
    std::size_t stop = bytes.find("\r\n", start);
    if (stop == start) break;
    lines.push_back(bytes.substr(start, stop - start));
    start = stop + 2;
  }
  return lines;
}

TEST(HTTPResponseBytes, NotFoundExactly) {
  const std::string bytes = HTTPResponse::notFound().serialize();
  EXPECT_EQ(bytes,
            "HTTP/1.1 404 Not Found\r\n"
            "Access-Control-Allow-Origin: *\r\n"
            "Connection: close\r\n"
            "Content-Length: 32\r\n"
            "Content-Type: application/json; charset=utf-8\r\n"
            "\r\n"
            "{\"error\":\"not found\",\"ok\":false}");
}

TEST(HTTPResponseBytes, HandlerHeadersAndDefaults) {
  HTTPResponse r = HTTPResponse::text("héllo");
  r.headers["Content-Length"] = "999";
  r.headers["X-Extra"] = "1";
  const std::string bytes = r.serialize();
  EXPECT_EQ(bytes.substr(0, bytes.find("\r\n")), "HTTP/1.1 200 OK");
  auto lines = headerLines(bytes);
  EXPECT_EQ(lines, (std::vector<std::string>{"Access-Control-Allow-Origin: *", "Connection: close",
                                             "Content-Length: 6", "Content-Type: text/plain; charset=utf-8",
                                             "X-Extra: 1"}));
  EXPECT_TRUE(bytes.ends_with("\r\n\r\nhéllo"));

  // Keys are matched exactly: a lower-case content-type gets the default beside it.
  HTTPResponse lower;
  lower.headers["content-type"] = "text/html";
  auto lowerLines = headerLines(lower.serialize());
  EXPECT_EQ(std::count(lowerLines.begin(), lowerLines.end(), "Content-Type: application/json; charset=utf-8"), 1);
  EXPECT_EQ(std::count(lowerLines.begin(), lowerLines.end(), "content-type: text/html"), 1);
  EXPECT_EQ(lower.serialize().substr(lower.serialize().size() - 4), "\r\n\r\n");
}

TEST(HTTPResponseBytes, HeaderTextCannotBreakTheHead) {
  HTTPResponse r = HTTPResponse::text("x");
  r.headers["X-Name"] = "a\r\nSet-Cookie: evil";
  const std::string bytes = r.serialize();
  EXPECT_NE(bytes.find("X-Name: aSet-Cookie: evil\r\n"), std::string::npos);
  EXPECT_EQ(bytes.find("\r\nSet-Cookie"), std::string::npos);
}

TEST(HTTPResponseBytes, ReasonPhrases) {
  EXPECT_EQ(HTTPResponse::statusText(200), "OK");
  EXPECT_EQ(HTTPResponse::statusText(400), "Bad Request");
  EXPECT_EQ(HTTPResponse::statusText(404), "Not Found");
  EXPECT_EQ(HTTPResponse::statusText(500), "Internal Server Error");
  EXPECT_EQ(HTTPResponse::statusText(413), "Payload Too Large");
  EXPECT_EQ(HTTPResponse::statusText(201), "OK");
  EXPECT_EQ(HTTPResponse::statusText(503), "OK");
  EXPECT_EQ(HTTPResponse::json(nlohmann::json::object(), 503).serialize().substr(0, 17), "HTTP/1.1 503 OK\r\n");
}

TEST(HTTPResponseJSON, CompactSortedSlashEscaped) {
  EXPECT_EQ(HTTPResponse::json({{"b", 1}, {"a", "x/y"}}).body, "{\"a\":\"x\\/y\",\"b\":1}");
  nlohmann::json nested = {{"z", {{"k/2", {1, 2.5, nullptr, true}}, {"a", "\n\"\\"}}}, {"A", "ü"}};
  EXPECT_EQ(HTTPResponse::json(nested).body,
            "{\"A\":\"ü\",\"z\":{\"a\":\"\\n\\\"\\\\\",\"k\\/2\":[1,2.5,null,true]}}");
  EXPECT_EQ(HTTPResponse::json(nlohmann::json::array()).body, "[]");
  EXPECT_EQ(HTTPResponse::json("s").body, "\"s\"");

  auto r = HTTPResponse::json({{"ok", true}}, 201);
  EXPECT_EQ(r.status, 201);
  EXPECT_EQ(r.headers, (std::map<std::string, std::string>{{"Content-Type", "application/json; charset=utf-8"}}));
}

TEST(HTTPResponseJSON, BadRequestAndUnwritableValues) {
  auto r = HTTPResponse::badRequest("missing \"prompt\"");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, "{\"error\":\"missing \\\"prompt\\\"\",\"ok\":false}");
  // Invalid UTF-8 in a value never throws out of the constructor.
  EXPECT_NO_THROW(HTTPResponse::json({{"a", std::string("\xff")}}));
  EXPECT_NO_THROW(HTTPResponse::json({{"a", std::nan("")}}));
}

}  // namespace
}  // namespace tavlo
