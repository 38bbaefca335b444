#include <gtest/gtest.h>
#include <unistd.h>

#include <asio.hpp>
#include <filesystem>
#include <fstream>
#include <future>

#include "FakeHttpServer.hpp"
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

template <class List>
std::vector<LLMModel> listWith(List list, const ProviderConfig& config) {
  std::promise<std::vector<LLMModel>> p;
  list(config, [&p](std::vector<LLMModel> models) { p.set_value(std::move(models)); });
  auto f = p.get_future();
  EXPECT_EQ(f.wait_for(10s), std::future_status::ready);
  return f.get();
}

std::vector<LLMModel> ollamaAnswering(FakeReply reply, std::vector<FakeRequest>* seen = nullptr) {
  FakeHttpServer server([&](const FakeRequest&) { return reply; });
  ProviderConfig config;
  config.ollamaURL = server.baseURL();
  auto models = listWith(static_cast<void (*)(const ProviderConfig&, std::function<void(std::vector<LLMModel>)>)>(
                             &OllamaProbe::list),
                         config);
  if (seen) *seen = server.requests();
  return models;
}

std::vector<LLMModel> lmstudioAnswering(FakeReply reply) {
  FakeHttpServer server([&](const FakeRequest&) { return reply; });
  ProviderConfig config;
  config.lmStudioURL = server.baseURL();
  return listWith(static_cast<void (*)(const ProviderConfig&, std::function<void(std::vector<LLMModel>)>)>(
                      &LMStudioProbe::list),
                  config);
}

TEST(OllamaProbeTest, ListsModelsInOrderWithFormattedSizes) {
  std::vector<FakeRequest> seen;
  auto models = ollamaAnswering(
      {.body = R"({"models":[{"name":"llama3:8b"},{"name":7},{"name":"qwen2.5:14b","size":4700000000,"digest":"x"},)"
               R"({"name":"tiny","size":12000},{"name":"float","size":1.5}]})"},
      &seen);
  ASSERT_EQ(models.size(), 4u);
  EXPECT_EQ(models[0], (LLMModel{"ollama:llama3:8b", P::ollama, "llama3:8b", std::nullopt}));
  EXPECT_EQ(models[1], (LLMModel{"ollama:qwen2.5:14b", P::ollama, "qwen2.5:14b", "4.7 GB"}));
  EXPECT_EQ(models[2].subtitle, "12 KB");
  EXPECT_EQ(models[3].subtitle, std::nullopt);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].path, "/api/tags");
}

TEST(OllamaProbeTest, EveryUnexpectedAnswerGivesAnEmptyList) {
  EXPECT_TRUE(ollamaAnswering({.body = R"({"models":[{"name":"a"},"b"]})"}).empty());
  EXPECT_TRUE(ollamaAnswering({.status = 404, .body = R"({"models":[{"name":"a"}]})"}).empty());
  EXPECT_TRUE(ollamaAnswering({.status = 201, .body = R"({"models":[{"name":"a"}]})"}).empty());
  EXPECT_TRUE(ollamaAnswering({.body = "<html>hello</html>", .contentType = "text/html"}).empty());
  EXPECT_TRUE(ollamaAnswering({.body = R"({"models":[{"name":"a"})"}).empty());
  EXPECT_TRUE(ollamaAnswering({.body = R"({"models":{"name":"a"}})"}).empty());
  EXPECT_TRUE(ollamaAnswering({.body = R"([{"name":"a"}])"}).empty());
  EXPECT_TRUE(ollamaAnswering({.body = std::string(50 << 20, ' ')}).empty());
}

TEST(OllamaProbeTest, NoServerOrASilentOneGivesAnEmptyListInTime) {
  ProviderConfig config;
  {
    FakeHttpServer gone([](const FakeRequest&) { return FakeReply{}; });
    config.ollamaURL = gone.baseURL();
  }
  EXPECT_TRUE(listWith(static_cast<void (*)(const ProviderConfig&, std::function<void(std::vector<LLMModel>)>)>(
                           &OllamaProbe::list),
                       config)
                  .empty());

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

TEST(OllamaProbeTest, FileSizesUseDecimalUnits) {
  using OllamaProbe::formatFileSize;
  EXPECT_EQ(formatFileSize(0), "Zero KB");
  EXPECT_EQ(formatFileSize(1), "1 byte");
  EXPECT_EQ(formatFileSize(999), "999 bytes");
  EXPECT_EQ(formatFileSize(1000), "1 KB");
  EXPECT_EQ(formatFileSize(12345), "12 KB");
  EXPECT_EQ(formatFileSize(999'999), "1 MB");
  EXPECT_EQ(formatFileSize(1'234'567), "1.2 MB");
  EXPECT_EQ(formatFileSize(4'661'224'676), "4.66 GB");
  EXPECT_EQ(formatFileSize(4'700'000'000), "4.7 GB");
  EXPECT_EQ(formatFileSize(40'000'000'000), "40 GB");
  EXPECT_EQ(formatFileSize(1'500'000'000'000), "1.5 TB");
}

TEST(LMStudioProbeTest, ListsIdentifiersAndDropsUnusableEntries) {
  auto models = lmstudioAnswering({.body = R"({"object":"list","data":[{"id":"qwen/qwen3-8b"},{"id":null},{"id":"b"}]})"});
  ASSERT_EQ(models.size(), 2u);
  EXPECT_EQ(models[0], (LLMModel{"lmstudio:qwen/qwen3-8b", P::lmstudio, "qwen/qwen3-8b", std::nullopt}));
  EXPECT_EQ(models[1].id, "lmstudio:b");

  EXPECT_TRUE(lmstudioAnswering({.status = 404, .body = R"({"data":[{"id":"a"}]})"}).empty());
  EXPECT_TRUE(lmstudioAnswering({.body = R"({"data":[]})"}).empty());
  EXPECT_TRUE(lmstudioAnswering({.body = R"({"data":[{"id":"a"},3]})"}).empty());
  EXPECT_TRUE(lmstudioAnswering({.body = "<html></html>"}).empty());
}

class CLIProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tavlo-cli-XXXXXX";
    root_ = ::mkdtemp(tmpl);
    config_.rootDirectory = root_.string();
    config_.homeDirectory = (root_ / "home").string();
  }
  void TearDown() override { fs::remove_all(root_); }
  void install(const std::string& relative, bool executable = true) {
    fs::path p = root_ / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "#!/bin/sh\n";
    fs::permissions(p, executable ? fs::perms::owner_all : fs::perms::owner_read);
  }
  std::vector<LLMModel> list() {
    return listWith(static_cast<void (*)(const ProviderConfig&, std::function<void(std::vector<LLMModel>)>)>(
                        &CLIProbe::list),
                    config_);
  }
  fs::path root_;
  ProviderConfig config_;
};

TEST_F(CLIProbeTest, FindsToolsInEverySearchedFolder) {
  EXPECT_TRUE(list().empty());
  install("home/.local/bin/claude");
  auto models = list();
  ASSERT_EQ(models.size(), 1u);
  EXPECT_EQ(models[0], (LLMModel{"claude:cli", P::claude, "Claude (CLI)", "uses your Claude Code login"}));

  install("usr/bin/codex");
  models = list();
  ASSERT_EQ(models.size(), 2u);
  EXPECT_EQ(models[1], (LLMModel{"codex:cli", P::codex, "Codex (CLI)", "OpenAI Codex login"}));
  for (auto place : {"opt/homebrew/bin/", "usr/local/bin/", "home/.claude/local/"}) {
    install(std::string(place) + "tool");
    EXPECT_TRUE(CLIProbe::exists("tool", config_)) << place;
    fs::remove(root_ / place / "tool");
  }
}

TEST_F(CLIProbeTest, NonExecutableFilesAndFoldersDoNotCount) {
  install("usr/local/bin/claude", false);
  fs::create_directories(root_ / "usr/local/bin/codex");
  EXPECT_TRUE(list().empty());
}

}  // namespace
}  // namespace tavlo
