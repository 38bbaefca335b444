#include <gtest/gtest.h>

#include "support/TestSupport.hpp"
#include "text/JSONText.hpp"
#include "pack/PackReply.hpp"

namespace tavlo {
namespace {

using json = nlohmann::json;

TEST(JSONText, CompactSortedWithEscapedSlashesAndRepairedUtf8) {
  const json value = {{"b", "a/b"}, {"a/k", {1, 2.5, nullptr}}, {"c", {{"z", true}, {"y", "\n\x01"}}}};
  EXPECT_EQ(writeCompactJSON(value), R"({"a\/k":[1,2.5,null],"b":"a\/b","c":{"y":"\n\u0001","z":true}})");
  // Invalid UTF-8 never throws; the reply stays valid JSON. Pretty output keeps "/" as is.
  EXPECT_EQ(writeCompactJSON(json{{"reply", "bad \xFF byte"}}), "{\"reply\":\"bad \xEF\xBF\xBD byte\"}");
  EXPECT_EQ(writePrettyJSON(json{{"p", "a/b\xC0"}}), "{\n  \"p\": \"a/b\xEF\xBF\xBD\"\n}");
}

TEST(Replies, SuccessAndFailureBodies) {
  EXPECT_EQ(packSuccessText("Demo", "Two scripts"),
            "\xF0\x9F\x93\xA6 Pack 'Demo' written.\n\nTwo scripts\n\nOpen Tavlo \xE2\x86\x92 Packs to apply.");
  EXPECT_EQ(writeCompactJSON(failureReply("LM Studio", "could not create folder /x: Permission denied")),
            "{\"ok\":false,\"reply\":\"\xE2\x9A\xA0\xEF\xB8\x8F LM Studio failed: could not create folder \\/x: Permission denied\"}");
  testing::TempDir dir;
  testing::writeFile(dir.path() / "manifest.json", "{}");
  EXPECT_EQ(packSuccessReply({"demo-101010", dir.path(), "S"}, "claude:cli"),
            json({{"ok", true}, {"reply", packSuccessText("demo-101010", "S")}, {"pack_name", "demo-101010"},
                  {"pack_path", dir.path().string()}, {"summary", "S"}, {"model", "claude:cli"},
                  {"files", {{"manifest.json", "{}"}}}}));
}

}  // namespace
}  // namespace tavlo
