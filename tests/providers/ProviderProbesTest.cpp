#include <gtest/gtest.h>
#include <unistd.h>

#include <asio.hpp>
#include <filesystem>
#include <fstream>
#include <future>
#include <unordered_set>

#include "support/FakeHttpServer.hpp"
#include "platform/HttpClient.hpp"
#include "providers/CLIProbe.hpp"
#include "providers/LMStudioProbe.hpp"
#include "providers/OllamaProbe.hpp"

namespace tavlo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::FakeHttpServer;
using testing::FakeReply;
using testing::FakeRequest;
using P = LLMModel::Provider;
using List = void (*)(const ProviderConfig&, std::function<void(std::vector<LLMModel>)>);

std::vector<LLMModel> listWith(List list, const ProviderConfig& config) {
  std::promise<std::vector<LLMModel>> p;
  list(config, [&p](std::vector<LLMModel> models) { p.set_value(std::move(models)); });
  auto f = p.get_future();
  EXPECT_EQ(f.wait_for(30s), std::future_status::ready);  // sanitizer builds parse a 50 MiB answer slowly
  return f.get();
}

// `list` against a server answering `reply` (as Ollama and as LM Studio); `seen` gets its requests.
std::vector<LLMModel> answering(List list, FakeReply reply, std::vector<FakeRequest>* seen = nullptr) {
  FakeHttpServer server([&](const FakeRequest&) { return reply; });
  ProviderConfig config;
  config.ollamaURL = config.lmStudioURL = server.baseURL();
  auto models = listWith(list, config);
  if (seen) *seen = server.requests();
  return models;
}

TEST(LLMModelTest, RawValuesAreExactAndEqualityAndHashCoverEveryField) {
  for (auto p : {P::ollama, P::lmstudio, P::claude, P::codex, P::gemini})
    EXPECT_EQ(LLMModel::providerFromRawValue(LLMModel::rawValue(p)), p);
  EXPECT_EQ(LLMModel::rawValue(P::lmstudio), "lmstudio");
  for (auto raw : {"LMStudio", "Ollama", "", "ollama "}) EXPECT_FALSE(LLMModel::providerFromRawValue(raw)) << raw;
  LLMModel a{"ollama:llama3:8b", P::ollama, "llama3:8b", "4.7 GB"}, noSubtitle = a, emptySubtitle = a, lm = a;
  noSubtitle.subtitle.reset();
  emptySubtitle.subtitle = "";
  lm.id = "lmstudio:llama3:8b";
  lm.provider = P::lmstudio;
  EXPECT_NE(a, noSubtitle);
  EXPECT_NE(noSubtitle, emptySubtitle);
  EXPECT_NE(a, lm);
  EXPECT_EQ(std::hash<LLMModel>{}(a), std::hash<LLMModel>{}(LLMModel(a)));
  EXPECT_EQ((std::unordered_set<LLMModel>{a, LLMModel(a), noSubtitle, emptySubtitle}.size()), 3u);
}

TEST(OllamaProbeTest, ListsModelsInOrderWithDecimalFileSizes) {
  std::vector<FakeRequest> seen;
  auto models = answering(
      &OllamaProbe::list,
      {.body = R"({"models":[{"name":"llama3:8b"},{"name":7},{"name":"qwen2.5:14b","size":4700000000,"digest":"x"},)"
               R"({"name":"tiny","size":12000},{"name":"float","size":1.5}]})"},
      &seen);
  ASSERT_EQ(models.size(), 4u);
  EXPECT_EQ(models[0], (LLMModel{"ollama:llama3:8b", P::ollama, "llama3:8b", std::nullopt}));
  EXPECT_EQ(models[1], (LLMModel{"ollama:qwen2.5:14b", P::ollama, "qwen2.5:14b", "4.7 GB"}));
  EXPECT_EQ(models[2].subtitle, "12 KB");
  EXPECT_EQ(models[3].subtitle, std::nullopt);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method + " " + seen[0].path, "GET /api/tags");
  for (auto [bytes, text] : std::initializer_list<std::pair<std::int64_t, const char*>>{
           {0, "Zero KB"}, {1, "1 byte"}, {999, "999 bytes"}, {1000, "1 KB"}, {12345, "12 KB"}, {999'999, "1 MB"},
           {1'234'567, "1.2 MB"}, {4'661'224'676, "4.66 GB"}, {40'000'000'000, "40 GB"}, {1'500'000'000'000, "1.5 TB"}})
    EXPECT_EQ(OllamaProbe::formatFileSize(bytes), text) << bytes;
}

TEST(LMStudioProbeTest, ListsIdentifiersSkippingNullOnes) {
  auto models = answering(&LMStudioProbe::list,
                          {.body = R"({"object":"list","data":[{"id":"qwen/qwen3-8b"},{"id":null},{"id":"b"}]})"});
  ASSERT_EQ(models.size(), 2u);
  EXPECT_EQ(models[0], (LLMModel{"lmstudio:qwen/qwen3-8b", P::lmstudio, "qwen/qwen3-8b", std::nullopt}));
  EXPECT_EQ(models[1].id, "lmstudio:b");
}

TEST(ProviderProbesTest, EveryUnexpectedAnswerGivesAnEmptyList) {
  for (FakeReply reply : {FakeReply{.body = R"({"models":[{"name":"a"},"b"]})"},
                          FakeReply{.status = 404, .body = R"({"models":[{"name":"a"}]})"},
                          FakeReply{.status = 201, .body = R"({"models":[{"name":"a"}]})"},
                          FakeReply{.body = "<html>hello</html>", .contentType = "text/html"},
                          FakeReply{.body = R"({"models":[{"name":"a"})"},
                          FakeReply{.body = R"({"models":{"name":"a"}})"},
                          FakeReply{.body = R"([{"name":"a"}])"}, FakeReply{.body = std::string(50 << 20, ' ')}})
    EXPECT_TRUE(answering(&OllamaProbe::list, reply).empty()) << reply.status << " " << reply.body.substr(0, 40);
  for (std::string body : {R"({"data":[]})", R"({"data":[{"id":"a"},3]})", "<html></html>"})
    EXPECT_TRUE(answering(&LMStudioProbe::list, {.body = body}).empty()) << body;
  EXPECT_TRUE(answering(&LMStudioProbe::list, {.status = 404, .body = R"({"data":[{"id":"a"}]})"}).empty());
}

TEST(ProviderProbesTest, NoServerOrASilentOneGivesAnEmptyListInTime) {
  ProviderConfig config;
  config.ollamaURL = config.lmStudioURL = FakeHttpServer([](const FakeRequest&) { return FakeReply{}; }).baseURL();
  EXPECT_TRUE(listWith(&OllamaProbe::list, config).empty());
  EXPECT_TRUE(listWith(&LMStudioProbe::list, config).empty());
  FakeHttpServer silent([](const FakeRequest&) { return FakeReply{.hang = true}; });
  config.ollamaURL = silent.baseURL();
  config.probeTimeout = 300ms;
  auto t0 = std::chrono::steady_clock::now();
  asio::io_context io;
  std::optional<std::vector<LLMModel>> got;
  asio::co_spawn(io, [&]() -> asio::awaitable<void> { got = co_await OllamaProbe::list(config); }, asio::detached);
  io.run();
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->empty());
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
}

TEST(CLIProbeTest, FindsExecutableToolsInEverySearchedFolder) {
  fs::path root = ::mkdtemp(std::string("/tmp/tavlo-cli-XXXXXX").data());
  ProviderConfig config;
  config.rootDirectory = root.string();
  config.homeDirectory = (root / "home").string();
  config.searchPath = "";
  auto install = [&](const std::string& relative, bool executable = true) {
    fs::create_directories((root / relative).parent_path());
    std::ofstream(root / relative) << "#!/bin/sh\n";
    fs::permissions(root / relative, executable ? fs::perms::owner_all : fs::perms::owner_read);
  };
  install("usr/local/bin/claude", false);  // neither a file that cannot run nor a folder counts
  fs::create_directories(root / "usr/local/bin/codex");
  EXPECT_TRUE(listWith(&CLIProbe::list, config).empty());
  install("home/.local/bin/claude");
  install("usr/bin/codex");
  EXPECT_EQ(listWith(&CLIProbe::list, config),
            (std::vector<LLMModel>{{"claude:cli", P::claude, "Claude (CLI)", "uses your Claude Code login"},
                                   {"codex:cli", P::codex, "Codex (CLI)", "OpenAI Codex login"}}));
  for (auto place : {"opt/homebrew/bin/", "usr/local/bin/", "home/.claude/local/"}) {
    install(std::string(place) + "tool");
    EXPECT_TRUE(CLIProbe::exists("tool", config)) << place;
    fs::remove(root / place / "tool");
  }
  fs::remove_all(root);
}

}  // namespace
}  // namespace tavlo
