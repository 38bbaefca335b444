#include <gtest/gtest.h>

#include "http/HTTPRequest.hpp"

namespace tavlo {
namespace {

std::optional<HTTPRequest> parse(std::string_view bytes) { return HTTPRequest::tryParse(bytes); }

TEST(HTTPRequestLine, MethodPathAndVersion) {
  auto r = parse("GET /health HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->method, "GET");
  EXPECT_EQ(r->path, "/health");
  EXPECT_TRUE(r->query.empty());
  EXPECT_TRUE(r->headers.empty());
  EXPECT_EQ(r->body, "");
  EXPECT_EQ(r->contentLength(), 0);

  auto spaced = parse("  POST  /generate   HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(spaced);
  EXPECT_EQ(spaced->method, "POST");
  EXPECT_EQ(spaced->path, "/generate");

  auto noVersion = parse("get /x\r\n\r\n");  // case kept, version optional
  ASSERT_TRUE(noVersion);
  EXPECT_EQ(noVersion->method, "get");
}

TEST(HTTPRequestLine, IncompleteOrMalformedHeadsYieldNothing) {
  EXPECT_FALSE(parse(""));
  EXPECT_FALSE(parse("GET / HTTP/1.1\r\nHost: x\r\n"));
  EXPECT_FALSE(parse(std::string(200000, 'a')));
  EXPECT_FALSE(parse("GET\r\n\r\n"));
  EXPECT_FALSE(parse("GET   \r\n\r\n"));
  EXPECT_FALSE(parse("\r\n\r\n"));
  EXPECT_FALSE(parse("GET / HTTP/1.1\n\n"));  // lone LF does not end a line
  EXPECT_FALSE(parse("GET /\xff HTTP/1.1\r\n\r\n"));
  EXPECT_FALSE(parse("GET /\xc0\xaf HTTP/1.1\r\n\r\n"));      // overlong "/"
  EXPECT_FALSE(parse("GET /\xed\xa0\x80 HTTP/1.1\r\n\r\n"));  // surrogate
  // Invalid UTF-8 after the head is body, not head.
  EXPECT_TRUE(parse("GET / HTTP/1.1\r\n\r\n\xff\xfe"));
}

TEST(HTTPRequestHeaders, NamesLowerCasedValuesTrimmed) {
  auto r = parse(
      "POST /x HTTP/1.1\r\n"
      "Content-Type:  application/json \r\n"
      "X-Tabbed:\t v \t\r\n"
      "X-Wide:\xe3\x80\x80wide\xc2\xa0\r\n"  // ideographic and no-break spaces
      "a:b:c\r\n"
      "no colon here\r\n"
      "X-Empty:\r\n"
      "X-\xc3\x9c" "ber: 1\r\n"
      "dup: first\r\n"
      "DUP: second\r\n"
      "\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->headers.at("content-type"), "application/json");
  EXPECT_EQ(r->headers.at("x-tabbed"), "v");
  EXPECT_EQ(r->headers.at("x-wide"), "wide");
  EXPECT_EQ(r->headers.at("a"), "b:c");
  EXPECT_EQ(r->headers.at("x-empty"), "");
  EXPECT_EQ(r->headers.at("x-\xc3\xbc" "ber"), "1");
  EXPECT_EQ(r->headers.at("dup"), "second");
  EXPECT_EQ(r->headers.count("no colon here"), 0u);
  EXPECT_EQ(r->headers.size(), 7u);
}

TEST(HTTPRequestHeaders, LoneLineFeedStaysInsideALine) {
  auto r = parse("GET / HTTP/1.1\r\nA: 1\nB: 2\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->headers.at("a"), "1\nB: 2");
}

TEST(HTTPRequestHeaders, ManyHeaderLines) {
  std::string head = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 10000; ++i) head += "X-" + std::to_string(i) + ": v\r\n";
  auto r = parse(head + "\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->headers.size(), 10000u);
}

TEST(HTTPRequestQuery, SplittingRules) {
  auto q = [](std::string_view target) { return HTTPRequest::splitPathAndQuery(target); };
  auto [path, query] = q("/models?x=1&&y=%20&z");
  EXPECT_EQ(path, "/models");
  EXPECT_EQ(query, (std::map<std::string, std::string>{{"x", "1"}, {"y", "%20"}}));

  EXPECT_EQ(q("/a?").first, "/a");
  EXPECT_TRUE(q("/a?").second.empty());
  EXPECT_EQ(q("/a?b=1?c=2").second.at("b"), "1?c=2");
  EXPECT_EQ(q("/a?a==b").second.at("a"), "=b");
  EXPECT_TRUE(q("/a?a=&=b&a").second.empty());
  EXPECT_EQ(q("/a?k=1&k=2&p=a+b").second, (std::map<std::string, std::string>{{"k", "2"}, {"p", "a+b"}}));
  EXPECT_EQ(q("/plain").first, "/plain");
  EXPECT_EQ(q("?x=1").first, "");

  auto r = parse("GET /models?sort=name HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->path, "/models");
  EXPECT_EQ(r->query.at("sort"), "name");
}

TEST(HTTPRequestBody, KeepsEverythingAfterTheBlankLine) {
  auto r = parse("POST /g HTTP/1.1\r\nContent-Length: 2\r\n\r\nabGET / HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "abGET / HTTP/1.1\r\n\r\n");
  r->appendBody("zz");
  EXPECT_EQ(r->body.substr(r->body.size() - 2), "zz");
}

TEST(HTTPRequestBody, ContentLengthReading) {
  auto length = [](std::string value) {
    auto r = parse("POST / HTTP/1.1\r\nCONTENT-LENGTH: " + value + "\r\n\r\n");
    return r ? r->contentLength() : -999;
  };
  EXPECT_EQ(length("12"), 12);
  EXPECT_EQ(length("+7"), 7);
  EXPECT_EQ(length("-5"), -5);
  EXPECT_EQ(length("007"), 7);
  EXPECT_EQ(length("12abc"), 0);
  EXPECT_EQ(length(""), 0);
  EXPECT_EQ(length("+"), 0);
  EXPECT_EQ(length("+-3"), 0);
  EXPECT_EQ(length("1 2"), 0);
  EXPECT_EQ(length("0x10"), 0);
  EXPECT_EQ(length("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(length("9223372036854775808"), 0);
  EXPECT_EQ(length("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(length("-9223372036854775809"), 0);
  EXPECT_EQ(length("99999999999999999999999999"), 0);
  EXPECT_EQ(parse("GET / HTTP/1.1\r\n\r\n")->contentLength(), 0);
}

TEST(HTTPRequestBody, JSONObjectsOnly) {
  auto body = [](std::string text) {
    HTTPRequest r;
    r.body = std::move(text);
    return r.jsonBody();
  };
  EXPECT_FALSE(body(""));
  EXPECT_FALSE(body("[1,2]"));
  EXPECT_FALSE(body("null"));
  EXPECT_FALSE(body("\"text\""));
  EXPECT_FALSE(body("{\"a\":1"));
  EXPECT_FALSE(body("{\"a\":1} trailing"));
  EXPECT_FALSE(body("{/*c*/\"a\":1}"));
  EXPECT_FALSE(body("{\"a\":\"\xff\"}"));
  ASSERT_TRUE(body("{}"));
  EXPECT_TRUE(body("{}")->empty());
  auto object = body(" {\"prompt\":\"hi\",\"n\":[1,{\"x\":null}]} ");
  ASSERT_TRUE(object);
  EXPECT_EQ((*object)["prompt"], "hi");
}

TEST(HTTPRequestBody, DeepNestingIsRefusedNotRecursed) {
  HTTPRequest r;
  r.body = "{\"a\":" + std::string(1000000, '[') + std::string(1000000, ']') + "}";
  EXPECT_FALSE(r.jsonBody());
  // Brackets inside strings do not count as nesting.
  r.body = "{\"a\":\"" + std::string(100000, '[') + "\\\"\"}";
  ASSERT_TRUE(r.jsonBody());
  r.body = "{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}";
  EXPECT_TRUE(r.jsonBody());
}

}  // namespace
}  // namespace tavlo
