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
  // The handler's own length is replaced; its other headers stay, in key order.
  HTTPResponse r = HTTPResponse::text("héllo");
  r.headers["Content-Length"] = "999";
  r.headers["X-Extra"] = "1";
  EXPECT_EQ(r.serialize(),
            "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\nContent-Length: 6\r\n"
            "Content-Type: text/plain; charset=utf-8\r\nX-Extra: 1\r\n\r\nhéllo");
  // Keys are matched exactly: a lower-case content-type gets the default beside it.
  HTTPResponse lower;
  lower.headers["content-type"] = "text/html";
  const std::string bytes = lower.serialize();
  EXPECT_NE(bytes.find("\r\nContent-Type: application/json; charset=utf-8\r\n"), std::string::npos);
  EXPECT_NE(bytes.find("\r\ncontent-type: text/html\r\n"), std::string::npos);
  EXPECT_TRUE(bytes.ends_with("\r\n\r\n"));
}

TEST(HTTPResponseBytes, HeaderTextCannotBreakTheHead) {
  HTTPResponse r = HTTPResponse::text("x");
  r.headers["X-Name"] = "a\r\nSet-Cookie: evil";
  const std::string bytes = r.serialize();
  EXPECT_NE(bytes.find("X-Name: aSet-Cookie: evil\r\n"), std::string::npos);
  EXPECT_EQ(bytes.find("\r\nSet-Cookie"), std::string::npos);
}

TEST(HTTPResponseBytes, ReasonPhrases) {
  for (auto [status, text] : {std::pair{200, "OK"}, {400, "Bad Request"}, {404, "Not Found"},
                              {413, "Payload Too Large"}, {500, "Internal Server Error"}, {501, "Not Implemented"}, {201, "OK"}, {503, "OK"}})
    EXPECT_EQ(HTTPResponse::statusText(status), text) << status;
  EXPECT_TRUE(HTTPResponse::json(nlohmann::json::object(), 503).serialize().starts_with("HTTP/1.1 503 OK\r\n"));
}

TEST(HTTPResponseJSON, CompactSortedSlashEscaped) {
  EXPECT_EQ(HTTPResponse::json({{"b", 1}, {"a", "x/y"}}).body, "{\"a\":\"x\\/y\",\"b\":1}");
  nlohmann::json nested = {{"z", {{"k/2", {1, 2.5, nullptr, true}}, {"a", "\n\"\\"}}}, {"A", "ü"}};
  EXPECT_EQ(HTTPResponse::json(nested).body,
            "{\"A\":\"ü\",\"z\":{\"a\":\"\\n\\\"\\\\\",\"k\\/2\":[1,2.5,null,true]}}");
  auto r = HTTPResponse::json({{"ok", true}}, 201);
  EXPECT_EQ(r.status, 201);
  EXPECT_EQ(r.headers, (std::map<std::string, std::string>{{"Content-Type", "application/json; charset=utf-8"}}));
  auto bad = HTTPResponse::badRequest("missing \"prompt\"");
  EXPECT_EQ(bad.status, 400);
  EXPECT_EQ(bad.body, "{\"error\":\"missing \\\"prompt\\\"\",\"ok\":false}");
  // Invalid UTF-8 or a NaN in a value never throws out of the constructor.
  EXPECT_NO_THROW(HTTPResponse::json({{"a", std::string("\xff")}}));
  EXPECT_NO_THROW(HTTPResponse::json({{"a", std::nan("")}}));
}

}  // namespace
}  // namespace tavlo
