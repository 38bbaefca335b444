#include <gtest/gtest.h>

#include "platform/Async.hpp"
#include "platform/HttpClient.hpp"
#include "providers/LMStudioProbe.hpp"
#include "providers/OllamaProbe.hpp"
#include "support/FakeHttpServer.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
using testing::FakeHttpServer;
using testing::FakeReply;
using testing::FakeRequest;
using P = LLMModel::Provider;
using Models = std::vector<LLMModel>;

// Listing order kept; entries without a usable name skipped; any other unexpected answer gives an
// empty list. (Fetching the lists is checked end to end.)
TEST(ProviderProbesTest, ListsModelsInOrderWithDecimalFileSizesElseNone) {
  EXPECT_EQ(OllamaProbe::modelsFromResponse(
                {200, R"({"models":[{"name":"llama3:8b"},{"name":7},{"name":"qwen2.5:14b","size":4700000000},)"
                      R"({"name":"tiny","size":12000},{"name":"float","size":1.5}]})"}),
            (Models{{"ollama:llama3:8b", P::ollama, "llama3:8b", std::nullopt},
                    {"ollama:qwen2.5:14b", P::ollama, "qwen2.5:14b", "4.7 GB"},
                    {"ollama:tiny", P::ollama, "tiny", "12 KB"},
                    {"ollama:float", P::ollama, "float", std::nullopt}}));
  EXPECT_EQ(LMStudioProbe::modelsFromResponse({200, R"({"object":"list","data":[{"id":"q/q3"},{"id":null},{"id":"b"}]})"}),
            (Models{{"lmstudio:q/q3", P::lmstudio, "q/q3", std::nullopt}, {"lmstudio:b", P::lmstudio, "b", std::nullopt}}));
  const auto ollama = OllamaProbe::modelsFromResponse, lmstudio = LMStudioProbe::modelsFromResponse;
  const std::tuple<decltype(ollama), long, std::string> unexpected[] = {
      {ollama, 200, R"({"models":[{"name":"a"},"b"]})"}, {ollama, 404, R"({"models":[{"name":"a"}]})"},
      {ollama, 201, R"({"models":[{"name":"a"}]})"},     {ollama, 200, "<html>hello</html>"},
      {ollama, 200, R"({"models":[{"name":"a"})"},       {ollama, 200, R"({"models":{"name":"a"}})"},
      {ollama, 200, R"([{"name":"a"}])"},                {ollama, 200, std::string(50 << 20, '[')},
      {lmstudio, 200, R"({"data":[]})"},                 {lmstudio, 200, R"({"data":[{"id":"a"},3]})"},
      {lmstudio, 200, "<html></html>"},                  {lmstudio, 404, R"({"data":[{"id":"a"}]})"}};
  for (const auto& [read, status, body] : unexpected) EXPECT_TRUE(read({status, body}).empty()) << status << " " << body.substr(0, 40);
  for (auto [bytes, text] : std::initializer_list<std::pair<std::int64_t, const char*>>{
           {0, "Zero KB"}, {1, "1 byte"}, {999, "999 bytes"}, {1000, "1 KB"}, {12345, "12 KB"}, {999'999, "1 MB"},
           {1'234'567, "1.2 MB"}, {4'661'224'676, "4.66 GB"}, {40'000'000'000, "40 GB"}, {1'500'000'000'000, "1.5 TB"}})
    EXPECT_EQ(OllamaProbe::formatFileSize(bytes), text) << bytes;
  // The provider's raw value is the id's prefix, matched exactly (the pack command reads it).
  for (auto raw : {"LMStudio", "Ollama", "", "ollama "}) EXPECT_FALSE(LLMModel::providerFromRawValue(raw)) << raw;
}

TEST(ProviderProbesTest, NoServerOrASilentOneGivesAnEmptyListInTime) {
  FakeHttpServer silent([](const FakeRequest&) { return FakeReply{.hang = true}; });
  const ProviderConfig config{.ollamaURL = silent.baseURL(),
                              .lmStudioURL = FakeHttpServer([](const FakeRequest&) { return FakeReply{}; }).baseURL(),
                              .probeTimeout = 300ms};
  EXPECT_EQ(runToCompletion(OllamaProbe::list(config), LMStudioProbe::list(config)), std::tuple(Models{}, Models{}));
}

}  // namespace
}  // namespace tavlo
