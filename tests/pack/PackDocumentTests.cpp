#include <gtest/gtest.h>

#include <ctime>

#include "pack/PackDocument.hpp"
#include "text/UnicodeText.hpp"

namespace tavlo::TavloPackWriter {
namespace {

using json = nlohmann::json;
using Pairs = std::vector<std::pair<std::string, std::string>>;
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

// The whole answer, else the first fenced block, else the outermost braces; hostile answers
// (deep nesting, bytes that are not UTF-8, 10 MiB of prose) neither crash nor hide the document.
TEST(Extraction, FindsTheDocumentInAnyAnswer) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const Pairs cases = {
      {" \n{\"name\":\"a\"}\n\t", R"({"name":"a"})"},
      {"Sure:\n```json\n{\"name\":\"b\"}\n```\nEnjoy", R"({"name":"b"})"},
      {"Sure:\n```JSON\n{\"name\":\"c\"}\n```\nEnjoy", R"({"name":"c"})"},  // the braces reading finds it
      {"Here ```\n{\"name\":\"d\"} oops``` end", R"({"name":"d"})"},           // a broken fence hides nothing
      {"{\"a\":1} ```\n{\"b\":2}``` {\"c\":3}", R"({"b":2})"},                // the fence wins over the braces
      {"[{\"only\":true}]", R"({"only":true})"},
      {"{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}", "{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}"},
      {"\xFF\xFE prose {\"name\":\"a\xC3\x28z\"} \x80", "{\"name\":\"a\xEF\xBF\xBD(z\"}"},
      {std::string(10u << 20, 'p') + "{\"name\":\"late\"}", R"({"name":"late"})"},
  };
  for (const auto& [answer, document] : cases) EXPECT_EQ(extractJSON(answer).dump(), document) << answer.substr(0, 40);
  // Failing, the message quotes the answer's first 200 characters (grapheme clusters), as valid UTF-8.
  for (const std::string text : {"", "{\"a\":1} and {\"b\":2}", "[1,2]", "```\n{\"a\":1"}) EXPECT_EQ(extractionMessage(text), kNoJSON + text);
  EXPECT_EQ(extractionMessage(std::string(500, 'x')), kNoJSON + std::string(200, 'x'));
  EXPECT_EQ(extractionMessage("[{\"a\":1},{\"b\":2}]").size(), kNoJSON.size() + 17);
  EXPECT_TRUE(extractionMessage(deep).starts_with(kNoJSON) && extractionMessage("{\"a\":" + deep + "}").starts_with(kNoJSON));
  EXPECT_TRUE(isValidUTF8(extractionMessage("\xC0\xAF no json")));
  const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
  std::string clusters, expected;
  for (int i = 0; i < 150; ++i) clusters += family, expected += family;
  for (int i = 0; i < 100; ++i) clusters += "e\xCC\x81", expected += i < 50 ? "e\xCC\x81" : "";
  EXPECT_EQ(extractionMessage(clusters), kNoJSON + expected);
}

TEST(Naming, SlugifyAndSanitizeNameWithTheLocalTime) {
  const Pairs slugs = {{"Make a Dark-Mode toggle!", "make-a-dark-mode-toggle"}, {std::string(40, 'A'), std::string(32, 'a')},
                       {"?!... ---", ""}, {"\xD0\x9F\xD1\x80\xD0\xB8", ""}, {"Caf\xC3\xA9 au lait", "caf-au-lait"},
                       {std::string(31, 'a') + " b", std::string(31, 'a') + "-"}, {"\xE2\x84\xAA" "ELVIN", "kelvin"}};
  for (const auto& [in, out] : slugs) EXPECT_EQ(slugify(in), out) << in;
  std::tm tm{};  // 2026-12-05 19:44:22 local time
  tm.tm_year = 126, tm.tm_mon = 11, tm.tm_mday = 5, tm.tm_hour = 19, tm.tm_min = 44, tm.tm_sec = 22, tm.tm_isdst = -1;
  const auto at = std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(999);
  std::string emoji;
  for (int i = 0; i < 5000; ++i) emoji += "\xF0\x9F\x98\x80";
  const Pairs stems = {{"Dark Mode Toggle", "dark-mode-toggle"}, {"", "pack"}, {"----", "pack"}, {emoji, "pack"},
                       {"\xC3\x89moji Pack", "moji-pack"}, {"E\xCC\x81moji", "e-moji"}, {"a  b", "a--b"},
                       {std::string(60, 'Q'), std::string(40, 'q')}, {"x\xFF\xFEy", "x--y"}};
  for (const auto& [in, stem] : stems) EXPECT_EQ(sanitizeName(in, at), stem + "-194422") << in;
}

TEST(Normalisation, ButtonsScriptNamesAndPaths) {
  EXPECT_EQ(normalizeButton(json{{"label", "Hi"}}), json({{"label", "Hi"}, {"kind", "snippet"}}));
  EXPECT_EQ(normalizeButton(json{{"label", ""}, {"kind", ""}, {"text", "t"}, {"extra", 1}}),
            json({{"label", ""}, {"kind", ""}, {"text", "t"}}));
  EXPECT_EQ(normalizeButton(json{{"label", "x"}, {"kind", 3}, {"text", 4}}), json({{"label", "x"}, {"kind", "snippet"}}));
  for (const json& b : {json{{"kind", "newline"}}, json{{"label", 1}}, json::array()}) EXPECT_FALSE(normalizeButton(b)) << b;
  // One pass, left to right: ".j.jss" loses its first ".js".
  for (const auto& [in, out] : Pairs{{"dark-mode.js", "dark-mode.user.js"}, {"dark-mode", "dark-mode.user.js"},
                                     {"my.jsx.js", "myx.user.js"}, {"tool.JS", "tool.JS.user.js"}, {"a.user.js", "a.user.js"},
                                     {".j.jss", ".js.user.js"}, {"", ".user.js"}})
    EXPECT_EQ(ensureJsExt(in), out) << in;
  // Names from the model stay below their folder.
  for (const auto& [in, out] : Pairs{{"../../.bashrc", ".bashrc"}, {"/etc/passwd", "etc/passwd"}, {"a//b", "a/b"},
                                     {"./a/./b/", "a/b"}, {"..", ""}, {"/", ""}, {std::string(".\0.", 3) + "/x", "x"},
                                     {"...user.js", "...user.js"}})
    EXPECT_EQ(cleanRelativePath(in), out) << in;
  // The userscript header takes each value from the script (a default when it is missing or not a
  // string); line breaks in a value cannot break the block.
  EXPECT_EQ(userscriptHeader({{"name", "a\r\nb\xE2\x80\xA8" "c"}, {"description", 5}, {"match", "m\r"}, {"run_at", "document-start"}}, "f"),
            "// ==UserScript==\n// @name        a  b c\n// @namespace   tavlo.quillet\n// @match       m \n"
            "// @run-at      document-start\n// @grant       none\n// @version     0.1.0\n// @description Generated by Tavlo\n"
            "// ==/UserScript==\n");
}

TEST(Unicode, RepairAndValidity) {
  EXPECT_TRUE(isValidUTF8("plain \xC3\xA9 \xF0\x9F\x98\x80"));
  // Overlong, surrogate, above U+10FFFF, cut short: refused, and repaired into valid text.
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "abc\xE2\x82"})
    EXPECT_TRUE(!isValidUTF8(bad) && isValidUTF8(toValidUTF8(bad))) << bad;
  EXPECT_EQ(toValidUTF8("a\xE2\x82z"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(toValidUTF8("\xFF\xFE"), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace tavlo::TavloPackWriter
