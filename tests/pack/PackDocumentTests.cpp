#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>

#include "pack/PackDocument.hpp"
#include "text/UnicodeText.hpp"

namespace tavlo::TavloPackWriter {
namespace {

using json = nlohmann::json;
const std::string kNoJSON = "Model output did not contain JSON: ";

std::string extractionMessage(std::string_view text) {
  try {
    extractJSON(text);
  } catch (const PackError& e) {
    EXPECT_TRUE(e.domain() == "TavloPack" && e.code() == 1) << e.domain() << e.code();
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
}

TEST(Extraction, FailsWithTheAnswersFirst200Characters) {
  for (const std::string text : {"", "{\"a\":1} and {\"b\":2}", "[1,2]", "```\n{\"a\":1"})
    EXPECT_EQ(extractionMessage(text), kNoJSON + text);
  EXPECT_EQ(extractionMessage("[{\"a\":1},{\"b\":2}]").size(), kNoJSON.size() + 17);
  EXPECT_EQ(extractionMessage(std::string(500, 'x')), kNoJSON + std::string(200, 'x'));
  // Family emoji (7 code points joined) and e + combining accent each count once.
  const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
  std::string clusters, expected;
  for (int i = 0; i < 150; ++i) clusters += family, expected += family;
  for (int i = 0; i < 100; ++i) clusters += "e\xCC\x81", expected += i < 50 ? "e\xCC\x81" : "";
  EXPECT_EQ(extractionMessage(clusters), kNoJSON + expected);
}

TEST(Extraction, SurvivesHostileAnswers) {
  // Nesting far past any real document is refused, not a stack overflow; moderate nesting parses.
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_NE(extractionMessage(deep), "");
  EXPECT_NE(extractionMessage("{\"a\":" + deep + "}"), "");
  EXPECT_TRUE(extractJSON("{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}").contains("a"));
  // Bytes that are not UTF-8 are read as U+FFFD, inside and outside the document.
  EXPECT_EQ(extractJSON("\xFF\xFE prose {\"name\":\"a\xC3\x28z\"} \x80")["name"], "a\xEF\xBF\xBD(z");
  EXPECT_TRUE(isValidUTF8(extractionMessage("\xC0\xAF no json")));
  // A 10 MiB answer with prose before the document.
  EXPECT_EQ(extractJSON(std::string(10u << 20, 'p') + "{\"name\":\"late\"}")["name"], "late");
}

TEST(Naming, SlugifyAndSanitizeNameWithTheLocalTime) {
  const std::pair<std::string, std::string> slugs[] = {
      {"Make a Dark-Mode toggle!", "make-a-dark-mode-toggle"}, {std::string(40, 'A'), std::string(32, 'a')}, {"?!... ---", ""},
      {"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82", ""}, {"Caf\xC3\xA9 au lait", "caf-au-lait"},
      {std::string(31, 'a') + " b", std::string(31, 'a') + "-"},  // the cut may leave a dash
      {"\xE2\x84\xAA" "ELVIN", "kelvin"}};                          // Unicode lower-casing: Kelvin sign to ASCII k
  for (const auto& [in, out] : slugs) EXPECT_EQ(slugify(in), out) << in;

  std::tm tm{};  // 2026-12-05 19:44:22 local time
  tm.tm_year = 126, tm.tm_mon = 11, tm.tm_mday = 5, tm.tm_hour = 19, tm.tm_min = 44, tm.tm_sec = 22, tm.tm_isdst = -1;
  const auto at = std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(999);
  EXPECT_EQ(localTimeStamp(at), "194422");
  std::string emoji;
  for (int i = 0; i < 5000; ++i) emoji += "\xF0\x9F\x98\x80";
  const std::pair<std::string, std::string> cases[] = {
      {"Dark Mode Toggle", "dark-mode-toggle"}, {"", "pack"}, {"----", "pack"}, {"\xC3\x89moji Pack", "moji-pack"},
      {"E\xCC\x81moji", "e-moji"},  // decomposed: base letter and one dash
      {"a  b", "a--b"}, {std::string(60, 'Q'), std::string(40, 'q')}, {std::string(39, 'a') + " b", std::string(39, 'a') + "-"},
      {emoji, "pack"}, {"x\xFF\xFEy", "x--y"}};
  for (const auto& [in, stem] : cases) EXPECT_EQ(sanitizeName(in, at), stem + "-194422") << in;
}

TEST(Normalisation, ButtonsAndScriptFileNames) {
  EXPECT_EQ(normalizeButton(json{{"label", "Hi"}}), json({{"label", "Hi"}, {"kind", "snippet"}}));
  EXPECT_EQ(normalizeButton(json{{"label", ""}, {"kind", ""}, {"text", "t"}, {"extra", 1}}),
            json({{"label", ""}, {"kind", ""}, {"text", "t"}}));
  EXPECT_EQ(normalizeButton(json{{"label", "x"}, {"kind", 3}, {"text", 4}}), json({{"label", "x"}, {"kind", "snippet"}}));
  for (const json& b : {json{{"kind", "newline"}}, json{{"label", 1}}, json::array()}) EXPECT_FALSE(normalizeButton(b)) << b;
  // One pass, left to right: ".j.jss" loses its first ".js".
  for (const auto& [in, out] : std::initializer_list<std::pair<const char*, const char*>>{
           {"dark-mode.js", "dark-mode.user.js"}, {"dark-mode", "dark-mode.user.js"}, {"my.jsx.js", "myx.user.js"},
           {"tool.JS", "tool.JS.user.js"}, {"a.user.js", "a.user.js"}, {".j.jss", ".js.user.js"}, {"", ".user.js"}})
    EXPECT_EQ(ensureJsExt(in), out) << in;
}

TEST(Normalisation, UserscriptHeaderHasNineLines) {
  const auto header = [](const std::string& name, const std::string& match, const std::string& runAt, const std::string& desc) {
    return "// ==UserScript==\n// @name        " + name + "\n// @namespace   tavlo.quillet\n// @match       " + match +
           "\n// @run-at      " + runAt + "\n// @grant       none\n// @version     0.1.0\n// @description " + desc +
           "\n// ==/UserScript==\n";
  };
  EXPECT_EQ(userscriptHeader(json::object(), "pack-1"), header("pack-1", "*://*/*", "document-idle", "Generated by Tavlo"));
  const json script = {{"name", "N"}, {"match", "https://x.org/*"}, {"run_at", "document-start"}, {"description", 5}};
  EXPECT_EQ(userscriptHeader(script, "fallback"), header("N", "https://x.org/*", "document-start", "Generated by Tavlo"));
  // Line breaks in values cannot break the block.
  const json hostile = {{"name", "a\r\nb"}, {"description", "x\ny\xE2\x80\xA8z"}, {"match", "m\r"}};
  EXPECT_EQ(userscriptHeader(hostile, "f"), header("a  b", "m ", "document-idle", "x y z"));
}

TEST(Mends, FileNamesStayBelowTheirFolder) {
  for (const auto& [in, out] : std::initializer_list<std::pair<std::string, std::string>>{
           {"../../.bashrc", ".bashrc"}, {"/etc/passwd", "etc/passwd"}, {"a//b", "a/b"}, {"./a/./b/", "a/b"}, {"..", ""},
           {"", ""}, {"/", ""}, {std::string(".\0.", 3) + "/x", "x"}, {"...user.js", "...user.js"},
           {"tools/x.user.js", "tools/x.user.js"}})
    EXPECT_EQ(cleanRelativePath(in), out) << in;
}

TEST(Unicode, RepairAndValidity) {
  EXPECT_TRUE(isValidUTF8("plain \xC3\xA9 \xF0\x9F\x98\x80"));
  // Overlong, surrogate, above U+10FFFF, cut short: refused, and repaired into valid text.
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "abc\xE2\x82"}) {
    EXPECT_FALSE(isValidUTF8(bad)) << bad;
    EXPECT_TRUE(isValidUTF8(toValidUTF8(bad))) << bad;
  }
  EXPECT_EQ(toValidUTF8("a\xE2\x82z"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(toValidUTF8("\xFF\xFE"), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace tavlo::TavloPackWriter
