#include <gtest/gtest.h>

#include <cmath>

#include "http/HTTPRequest.hpp"
#include "http/HTTPResponse.hpp"

namespace tavlo {
namespace {

std::optional<HTTPRequest> parse(std::string_view bytes) { return HTTPRequest::tryParse(bytes); }

// The request line, and the target split into path and query.
TEST(HTTPRequestHead, RequestLineAndQuery) {
  const HTTPRequest r = parse("GET /models?sort=name HTTP/1.1\r\n\r\n").value();
  EXPECT_TRUE(r.method == "GET" && r.path == "/models" && r.query.size() == 1 && r.headers.empty() && r.body.empty() &&
              r.contentLength() == 0);
  EXPECT_EQ(parse("  POST  /generate   HTTP/1.1\r\n\r\n").value().path, "/generate");
  EXPECT_EQ(parse("get /x\r\n\r\n").value().method, "get");  // case kept, version optional
  // Incomplete or malformed heads, and invalid UTF-8 before the blank line, yield nothing.
  for (std::string bytes : {"", "GET / HTTP/1.1\r\nHost: x\r\n", "GET\r\n\r\n", "GET   \r\n\r\n", "\r\n\r\n",
                            "GET / HTTP/1.1\n\n", "GET /\xff HTTP/1.1\r\n\r\n",
                            "GET /\xc0\xaf HTTP/1.1\r\n\r\n" /* overlong "/" */, "GET /\xed\xa0\x80 HTTP/1.1\r\n\r\n",
                            "GET /\xf4\x90\x80\x80 HTTP/1.1\r\n\r\n" /* above U+10FFFF */})
    EXPECT_FALSE(parse(bytes)) << bytes;
  EXPECT_TRUE(parse("GET / HTTP/1.1\r\n\r\n\xff\xfe"));  // that is body, not head

  // The path routes a request whatever query follows (no route reads a query; the server test echoes one).
  for (const char* target : {"/models?x=1&&y=%20&z", "/models?", "/models?b=1?c=2", "/models?a=&=b&a"})
    EXPECT_EQ(HTTPRequest::splitPathAndQuery(target).first, "/models") << target;
}

TEST(HTTPRequestHead, HeaderNamesLowerCasedValuesTrimmed) {
  auto r = parse(
      "POST /x HTTP/1.1\r\nContent-Type:  application/json \r\nX-Tabbed:\t v \t\r\nContent-Length: 2\r\n"
      "X-Wide:\xe3\x80\x80wide\xc2\xa0\r\n"  // ideographic and no-break spaces
      "a:b:c\r\nno colon here\r\nX-Empty:\r\nX-\xc3\x9c" "ber: 1\r\ndup: first\r\nDUP: second\r\n"
      "Lf: 1\nB: 2\r\n\r\nabGET / HTTP/1.1\r\n\r\n");  // a lone LF stays inside the line; the rest is body
  ASSERT_TRUE(r);
  EXPECT_EQ(r->headers, (std::map<std::string, std::string>{
                            {"content-type", "application/json"}, {"x-tabbed", "v"}, {"x-wide", "wide"}, {"a", "b:c"},
                            {"x-empty", ""}, {"x-\xc3\xbc" "ber", "1"}, {"dup", "second"}, {"lf", "1\nB: 2"},
                            {"content-length", "2"}}));
  EXPECT_EQ(r->body, "abGET / HTTP/1.1\r\n\r\n");
}

TEST(HTTPRequestBody, ContentLengthValues) {
  const std::pair<const char*, int64_t> lengths[] = {
      {"12", 12}, {"+7", 7}, {"-5", -5}, {"007", 7}, {"12abc", 0}, {"", 0}, {"+", 0}, {"+-3", 0}, {"1 2", 0},
      {"0x10", 0}, {"9223372036854775807", INT64_MAX}, {"9223372036854775808", 0},
      {"-9223372036854775808", INT64_MIN}, {"-9223372036854775809", 0}, {"99999999999999999999999999", 0}};
  for (const auto& [value, expected] : lengths)
    EXPECT_EQ(parse("POST / HTTP/1.1\r\nCONTENT-LENGTH: " + std::string(value) + "\r\n\r\n").value().contentLength(), expected)
        << value;
}

TEST(HTTPRequestBody, JSONObjectsOnlyAndNoDeepRecursion) {
  auto json = [](std::string text) { HTTPRequest r; r.body = std::move(text); return r.jsonBody(); };
  for (const std::string& bad : std::vector<std::string>{"", "[1,2]", "null", "\"text\"", "{\"a\":1", "{\"a\":1} trailing", "{/*c*/\"a\":1}",
                          "{\"a\":\"\xff\"}", "{\"a\":" + std::string(1000000, '[') + std::string(1000000, ']') + "}"})
    EXPECT_FALSE(json(bad)) << bad.substr(0, 40);
  EXPECT_EQ(json("{}"), nlohmann::json::object());
  EXPECT_EQ(json(" {\"prompt\":\"hi\",\"n\":[1,{\"x\":null}]} ").value_or(nullptr)["prompt"], "hi");
  // Brackets inside strings are not nesting; moderate nesting is fine.
  EXPECT_TRUE(json("{\"a\":\"" + std::string(100000, '[') + "\\\"\"}"));
  EXPECT_TRUE(json("{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}"));
}

// Each case decoded whole and cut in two at every point: the same body and status either way.
TEST(HTTPRequestBody, ChunkedDecodingWhereverTheBytesAreCut) {
  using S = ChunkedBodyDecoder::Status;
  const std::tuple<std::string, std::string, S> cases[] = {
      {"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", "hello world", S::done},
      {"A;name=v\r\n0123456789\r\n0;x\r\nTrailer: 1\r\nMore: 2\r\n\r\nAFTER", "0123456789", S::done},
      {"3\nabc\n0\n\n", "abc", S::done},  // LF alone
      {"1f\r\n" + std::string(31, 'x') + "\r\n0\r\n\r\n", std::string(31, 'x'), S::done},
      {"5\r\nhel", "hel", S::more}, {"0\r\n", "", S::more},
      {"\r\n", "", S::malformed}, {"x\r\n", "", S::malformed}, {"-1\r\n", "", S::malformed},
      {"3\r\nabcX\r\n", "abc", S::malformed},  // data longer than its size
      {"3\r\nabc\r\n0\r\n\rX", "abc", S::malformed},
      {"3 \r\nabc\r\n0\r\n\r\n", "abc", S::done},
      {"65\r\n", "", S::tooLarge},  // over the 100 bytes allowed here
      {"32\r\n" + std::string(50, 'a') + "\r\n33\r\n", std::string(50, 'a'), S::tooLarge},
      {"ffffffffffffffffffffffff\r\n", "", S::tooLarge}, {"0000000000000000000000064\r\n", "", S::more},  // no overflow
      {std::string(5000, '0'), "", S::malformed},  // an endless size line
  };
  for (const auto& [input, body, status] : cases)
    for (std::size_t cut = 0; cut <= input.size(); ++cut) {
      ChunkedBodyDecoder decoder(100);
      std::string out;
      decoder.feed(std::string_view(input).substr(0, cut), out);
      const S last = decoder.feed(std::string_view(input).substr(cut), out);
      ASSERT_EQ(std::tie(last, out), std::tie(status, body)) << input.substr(0, 40) << " cut " << cut;
    }
}

TEST(HTTPResponseBytes, ExactHeadsWithDefaults) {
  EXPECT_EQ(HTTPResponse::notFound().serialize(),
            "HTTP/1.1 404 Not Found\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\nContent-Length: 32\r\n"
            "Content-Type: application/json; charset=utf-8\r\n\r\n{\"error\":\"not found\",\"ok\":false}");
  // The handler's own length is replaced; its other headers stay, in key order; a value cannot break the head.
  HTTPResponse r = HTTPResponse::text("héllo");
  r.headers.insert({{"Content-Length", "999"}, {"X-Name", "a\r\nSet-Cookie: evil"}});
  EXPECT_EQ(r.serialize(),
            "HTTP/1.1 200 OK\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\nContent-Length: 6\r\n"
            "Content-Type: text/plain; charset=utf-8\r\nX-Name: aSet-Cookie: evil\r\n\r\nhéllo");
  // Keys are matched exactly: a lower-case content-type gets the default beside it.
  HTTPResponse lower = HTTPResponse::json(nlohmann::json::object(), 503);
  lower.headers["content-type"] = "text/html";
  EXPECT_EQ(lower.serialize(),
            "HTTP/1.1 503 OK\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\nContent-Length: 2\r\n"
            "Content-Type: application/json; charset=utf-8\r\ncontent-type: text/html\r\n\r\n{}");
  EXPECT_NO_THROW(HTTPResponse::json({{"a", std::nan("")}}));  // the JSON text itself is the text module's
}

}  // namespace
}  // namespace tavlo
