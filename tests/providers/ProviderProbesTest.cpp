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

// Listing order kept; entries without a usable name skipped. (Fetching the lists is checked end to end.)
TEST(ProviderProbesTest, ListsModelsInOrderWithDecimalFileSizes) {
  EXPECT_EQ(OllamaProbe::modelsFromResponse(
                {200, R"({"models":[{"name":"llama3:8b"},{"name":7},{"name":"qwen2.5:14b","size":4700000000},)"
                      R"({"name":"tiny","size":12000},{"name":"float","size":1.5}]})"}),
            (Models{{"ollama:llama3:8b", P::ollama, "llama3:8b", std::nullopt},
                    {"ollama:qwen2.5:14b", P::ollama, "qwen2.5:14b", "4.7 GB"},
                    {"ollama:tiny", P::ollama, "tiny", "12 KB"},
                    {"ollama:float", P::ollama, "float", std::nullopt}}));
  EXPECT_EQ(LMStudioProbe::modelsFromResponse({200, R"({"object":"list","data":[{"id":"q/q3"},{"id":null},{"id":"b"}]})"}),
            (Models{{"lmstudio:q/q3", P::lmstudio, "q/q3", std::nullopt}, {"lmstudio:b", P::lmstudio, "b", std::nullopt}}));
  for (auto [bytes, text] : std::initializer_list<std::pair<std::int64_t, const char*>>{
           {0, "Zero KB"}, {1, "1 byte"}, {999, "999 bytes"}, {1000, "1 KB"}, {12345, "12 KB"}, {999'999, "1 MB"},
           {1'234'567, "1.2 MB"}, {4'661'224'676, "4.66 GB"}, {40'000'000'000, "40 GB"}, {1'500'000'000'000, "1.5 TB"}})
    EXPECT_EQ(OllamaProbe::formatFileSize(bytes), text) << bytes;
  // The provider's raw value is the id's prefix, matched exactly.
  for (auto p : {P::ollama, P::lmstudio, P::claude, P::codex, P::gemini})
    EXPECT_EQ(LLMModel::providerFromRawValue(LLMModel::rawValue(p)), p);
  for (auto raw : {"LMStudio", "Ollama", "", "ollama "}) EXPECT_FALSE(LLMModel::providerFromRawValue(raw)) << raw;
}

TEST(ProviderProbesTest, EveryUnexpectedAnswerGivesAnEmptyList) {
  const std::pair<long, std::string> ollama[] = {
      {200, R"({"models":[{"name":"a"},"b"]})"}, {404, R"({"models":[{"name":"a"}]})"},
      {201, R"({"models":[{"name":"a"}]})"},     {200, "<html>hello</html>"},
      {200, R"({"models":[{"name":"a"})"},       {200, R"({"models":{"name":"a"}})"},
      {200, R"([{"name":"a"}])"},                {200, std::string(50 << 20, '[')}};
  for (const auto& [status, body] : ollama)
    EXPECT_TRUE(OllamaProbe::modelsFromResponse({status, body}).empty()) << status << " " << body.substr(0, 40);
  const std::pair<long, std::string> lmstudio[] = {
      {200, R"({"data":[]})"}, {200, R"({"data":[{"id":"a"},3]})"}, {200, "<html></html>"}, {404, R"({"data":[{"id":"a"}]})"}};
  for (const auto& [status, body] : lmstudio)
    EXPECT_TRUE(LMStudioProbe::modelsFromResponse({status, body}).empty()) << status << " " << body;
}

TEST(ProviderProbesTest, NoServerOrASilentOneGivesAnEmptyListInTime) {
  FakeHttpServer silent([](const FakeRequest&) { return FakeReply{.hang = true}; });
  ProviderConfig config;
  config.ollamaURL = silent.baseURL();
  config.lmStudioURL = FakeHttpServer([](const FakeRequest&) { return FakeReply{}; }).baseURL();
  config.probeTimeout = 300ms;
  EXPECT_EQ(runToCompletion(OllamaProbe::list(config), LMStudioProbe::list(config)), std::tuple(Models{}, Models{}));
}

}  // namespace
}  // namespace tavlo
