#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>

#include "pack/PackDocument.hpp"
#include "pack/UnicodeText.hpp"

namespace tavlo::TavloPackWriter {
namespace {

using json = nlohmann::json;

std::string extractionMessage(std::string_view text) {
  try {
    extractJSON(text);
  } catch (const PackError& e) {
    EXPECT_EQ(e.domain(), "TavloPack");
    EXPECT_EQ(e.code(), 1);
    return e.what();
  }
  ADD_FAILURE() << "no extraction error";
  return {};
}

TEST(Extraction, ReadsTheWholeAnswerTheFencedBlockOrTheOutermostBraces) {
  EXPECT_EQ(extractJSON(" \n{\"name\":\"a\"}\n\t"), json({{"name", "a"}}));
  EXPECT_EQ(extractJSON("Sure:\n```json\n{\"name\":\"b\"}\n```\nEnjoy"), json({{"name", "b"}}));
  // Capital tag: the fenced reading fails, the braces reading finds it.
  EXPECT_EQ(extractJSON("Sure:\n```JSON\n{\"name\":\"c\"}\n```\nEnjoy"), json({{"name", "c"}}));
  // A broken fenced block does not hide a valid object spanning the answer.
  EXPECT_EQ(extractJSON("Here ```\n{\"name\":\"d\"} oops``` end"), json({{"name", "d"}}));
  // The fenced reading wins over the braces when both would parse.
  EXPECT_EQ(extractJSON("{\"a\":1} ```\n{\"b\":2}``` {\"c\":3}").dump(), R"({"b":2})");
  EXPECT_EQ(extractJSON("[{\"only\":true}]"), json({{"only", true}}));
  EXPECT_EQ(extractJSON("{}"), json::object());
}

TEST(Extraction, FailsWithTheAnswersFirst200Characters) {
  EXPECT_EQ(extractionMessage(""), "Model output did not contain JSON: ");
  EXPECT_EQ(extractionMessage("{\"a\":1} and {\"b\":2}"), "Model output did not contain JSON: {\"a\":1} and {\"b\":2}");
  EXPECT_EQ(extractionMessage("[{\"a\":1},{\"b\":2}]").size(), std::string("Model output did not contain JSON: ").size() + 17);
  EXPECT_EQ(extractionMessage("[1,2]"), "Model output did not contain JSON: [1,2]");
  EXPECT_EQ(extractionMessage("```\n{\"a\":1"), "Model output did not contain JSON: ```\n{\"a\":1");

  const std::string ascii(500, 'x');
  EXPECT_EQ(extractionMessage(ascii), "Model output did not contain JSON: " + std::string(200, 'x'));
  // Family emoji (7 code points joined) and e + combining accent each count once.
  std::string clusters;
  for (int i = 0; i < 150; ++i) clusters += "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
  for (int i = 0; i < 100; ++i) clusters += "e\xCC\x81";
  std::string expected;
  for (int i = 0; i < 150; ++i) expected += "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
  for (int i = 0; i < 50; ++i) expected += "e\xCC\x81";
  EXPECT_EQ(extractionMessage(clusters), "Model output did not contain JSON: " + expected);
}

TEST(Extraction, SurvivesHostileAnswers) {
  // Nesting far past any real document: refused, not a stack overflow.
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_NE(extractionMessage(deep), "");
  const std::string deepObject = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_NE(extractionMessage(deepObject), "");
  // Moderate nesting still parses.
  const std::string ok = "{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}";
  EXPECT_TRUE(extractJSON(ok).contains("a"));

  // Bytes that are not UTF-8 are read as U+FFFD, inside and outside the document.
  const json doc = extractJSON("\xFF\xFE prose {\"name\":\"a\xC3\x28z\"} \x80");
  EXPECT_EQ(doc["name"], "a\xEF\xBF\xBD(z");
  const std::string message = extractionMessage("\xC0\xAF no json");
  EXPECT_TRUE(isValidUTF8(message));

  // A large answer with prose before the document.
  std::string big(10u << 20, 'p');
  big += "{\"name\":\"late\"}";
  EXPECT_EQ(extractJSON(big)["name"], "late");
}

TEST(Naming, SlugifyKeepsAsciiLettersAndDigits) {
  EXPECT_EQ(slugify("Make a Dark-Mode toggle!"), "make-a-dark-mode-toggle");
  EXPECT_EQ(slugify(std::string(40, 'A')), std::string(32, 'a'));
  EXPECT_EQ(slugify("?!... ---"), "");
  EXPECT_EQ(slugify("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"), "");  // Cyrillic only
  EXPECT_EQ(slugify("Caf\xC3\xA9 au lait"), "caf-au-lait");
  // The cut may leave a trailing dash.
  EXPECT_EQ(slugify(std::string(31, 'a') + " b"), std::string(31, 'a') + "-");
  // Lower-casing is Unicode's: the Kelvin sign becomes an ASCII k.
  EXPECT_EQ(slugify("\xE2\x84\xAA" "ELVIN"), "kelvin");
}

TEST(Naming, SanitizeNameAppendsTheLocalTime) {
  std::tm tm{};
  tm.tm_year = 126;
  tm.tm_mon = 11;
  tm.tm_mday = 5;
  tm.tm_hour = 19;
  tm.tm_min = 44;
  tm.tm_sec = 22;
  tm.tm_isdst = -1;
  const auto at = std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(999);
  EXPECT_EQ(localTimeStamp(at), "194422");
  EXPECT_EQ(sanitizeName("Dark Mode Toggle", at), "dark-mode-toggle-194422");
  EXPECT_EQ(sanitizeName("", at), "pack-194422");
  EXPECT_EQ(sanitizeName("----", at), "pack-194422");
  EXPECT_EQ(sanitizeName("\xC3\x89moji Pack", at), "moji-pack-194422");
  EXPECT_EQ(sanitizeName("E\xCC\x81moji", at), "e-moji-194422");  // decomposed: base letter and one dash
  EXPECT_EQ(sanitizeName("a  b", at), "a--b-194422");
  EXPECT_EQ(sanitizeName(std::string(60, 'Q'), at), std::string(40, 'q') + "-194422");
  EXPECT_EQ(sanitizeName(std::string(39, 'a') + " b", at), std::string(39, 'a') + "--194422");
  std::string emoji;
  for (int i = 0; i < 5000; ++i) emoji += "\xF0\x9F\x98\x80";
  EXPECT_EQ(sanitizeName(emoji, at), "pack-194422");
  EXPECT_EQ(sanitizeName("x\xFF\xFEy", at), "x--y-194422");
  EXPECT_EQ(utcTimeStamp(std::chrono::system_clock::from_time_t(1796499862)), "2026-12-05T19:44:22Z");
}

TEST(Normalisation, ButtonsKeepLabelKindAndText) {
  EXPECT_EQ(normalizeButton(json{{"label", "Hi"}}), json({{"label", "Hi"}, {"kind", "snippet"}}));
  EXPECT_EQ(normalizeButton(json{{"label", ""}, {"kind", ""}, {"text", "t"}, {"extra", 1}}),
            json({{"label", ""}, {"kind", ""}, {"text", "t"}}));
  EXPECT_EQ(normalizeButton(json{{"label", "x"}, {"kind", 3}, {"text", 4}}), json({{"label", "x"}, {"kind", "snippet"}}));
  EXPECT_FALSE(normalizeButton(json{{"kind", "newline"}}));
  EXPECT_FALSE(normalizeButton(json{{"label", 1}}));
  EXPECT_FALSE(normalizeButton(json::array()));
}

TEST(Normalisation, EnsureJsExt) {
  EXPECT_EQ(ensureJsExt("dark-mode.js"), "dark-mode.user.js");
  EXPECT_EQ(ensureJsExt("dark-mode"), "dark-mode.user.js");
  EXPECT_EQ(ensureJsExt("my.jsx.js"), "myx.user.js");
  EXPECT_EQ(ensureJsExt("tool.JS"), "tool.JS.user.js");
  EXPECT_EQ(ensureJsExt("a.user.js"), "a.user.js");
  EXPECT_EQ(ensureJsExt(".j.jss"), ".js.user.js");  // one pass, left to right
  EXPECT_EQ(ensureJsExt(""), ".user.js");
}

TEST(Normalisation, UserscriptHeaderHasNineLines) {
  EXPECT_EQ(userscriptHeader(json::object(), "pack-1"),
            "// ==UserScript==\n"
            "// @name        pack-1\n"
            "// @namespace   tavlo.quillet\n"
            "// @match       *://*/*\n"
            "// @run-at      document-idle\n"
            "// @grant       none\n"
            "// @version     0.1.0\n"
            "// @description Generated by Tavlo\n"
            "// ==/UserScript==\n");
  const json script = {{"name", "N"}, {"match", "https://x.org/*"}, {"run_at", "document-start"}, {"description", 5}};
  const std::string header = userscriptHeader(script, "fallback");
  EXPECT_NE(header.find("// @name        N\n"), std::string::npos);
  EXPECT_NE(header.find("// @match       https://x.org/*\n"), std::string::npos);
  EXPECT_NE(header.find("// @run-at      document-start\n"), std::string::npos);
  EXPECT_NE(header.find("// @description Generated by Tavlo\n"), std::string::npos);
}

TEST(Mends, HeaderValuesCannotBreakTheBlock) {
  const json script = {{"name", "a\r\nb"}, {"description", "x\ny\xE2\x80\xA8z"}, {"match", "m\r"}};
  const std::string header = userscriptHeader(script, "f");
  EXPECT_EQ(std::count(header.begin(), header.end(), '\n'), 9);
  EXPECT_NE(header.find("// @name        a  b\n"), std::string::npos);
  EXPECT_NE(header.find("// @description x y z\n"), std::string::npos);
  EXPECT_NE(header.find("// @match       m \n"), std::string::npos);
}

TEST(Mends, FileNamesStayBelowTheirFolder) {
  EXPECT_EQ(cleanRelativePath("../../.bashrc"), ".bashrc");
  EXPECT_EQ(cleanRelativePath("/etc/passwd"), "etc/passwd");
  EXPECT_EQ(cleanRelativePath("a//b"), "a/b");
  EXPECT_EQ(cleanRelativePath("./a/./b/"), "a/b");
  EXPECT_EQ(cleanRelativePath(".."), "");
  EXPECT_EQ(cleanRelativePath(""), "");
  EXPECT_EQ(cleanRelativePath("/"), "");
  EXPECT_EQ(cleanRelativePath(std::string(".\0.", 3) + "/x"), "x");
  EXPECT_EQ(cleanRelativePath("...user.js"), "...user.js");
  EXPECT_EQ(cleanRelativePath("tools/x.user.js"), "tools/x.user.js");
}

TEST(Unicode, RepairAndValidity) {
  EXPECT_TRUE(isValidUTF8("plain \xC3\xA9 \xF0\x9F\x98\x80"));
  EXPECT_FALSE(isValidUTF8("\xC0\xAF"));          // overlong
  EXPECT_FALSE(isValidUTF8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(isValidUTF8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(isValidUTF8("abc\xE2\x82"));        // cut short
  EXPECT_EQ(toValidUTF8("a\xE2\x82z"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(toValidUTF8("\xFF\xFE"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(graphemePrefix("e\xCC\x81" "abc", 1), "e\xCC\x81");
  EXPECT_EQ(lowercased("\xC3\x89T\xC3\x89"), "\xC3\xA9t\xC3\xA9");
}

}  // namespace
}  // namespace tavlo::TavloPackWriter
