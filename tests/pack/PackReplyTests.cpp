#include <gtest/gtest.h>

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

TEST(Replies, FailureTextAndTheFilesTheWriterWrote) {
  EXPECT_EQ(writeCompactJSON(failureReply("LM Studio", "could not create folder /x: Permission denied")),
            "{\"ok\":false,\"reply\":\"\xE2\x9A\xA0\xEF\xB8\x8F LM Studio failed: could not create folder \\/x: Permission denied\"}");
  // The files come from the writer's report, never from disk; a file that is not UTF-8 is left out.
  const auto reply = packSuccessReply({"demo-101010", "/nowhere/demo-101010", "S", {{"manifest.json", "{}"}, {"python/b.py", "\xFF"}}},
                                      "claude:cli");
  EXPECT_EQ(reply["files"], json({{"manifest.json", "{}"}}));
}

}  // namespace
}  // namespace tavlo
