#include "providers/LLMRunner.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <asio.hpp>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include <nlohmann/json.hpp>

#include "FakeHttpServer.hpp"

namespace tavlo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using testing::FakeHttpServer;
using testing::FakeReply;
using testing::FakeRequest;
using P = LLMModel::Provider;

LLMResult run(const std::string& prompt, const LLMModel& model, const ProviderConfig& config) {
  std::promise<LLMResult> p;
  LLMRunner::generate(prompt, model, config, [&p](LLMResult r) { p.set_value(std::move(r)); });
  auto f = p.get_future();
  if (f.wait_for(30s) != std::future_status::ready) return LLMResult::platformFailure("test: no answer");
  return f.get();
}

const LLMModel kOllama{"ollama:llama3:8b", P::ollama, "llama3:8b", "4.7 GB"};
const LLMModel kLMStudio{"lmstudio:qwen/qwen3", P::lmstudio, "qwen/qwen3", std::nullopt};
const LLMModel kClaude{"claude:cli", P::claude, "Claude (CLI)", "uses your Claude Code login"};
const LLMModel kCodex{"codex:cli", P::codex, "Codex (CLI)", "OpenAI Codex login"};

std::string errorOf(const LLMResult& r) { return r.ok() ? "(answer) " + *r.answer : r.errorDescription(); }

TEST(LLMRunnerPromptTest, InstructionTextAndCombinedPrompt) {
  const std::string& sp = LLMRunner::systemPrompt();
  EXPECT_TRUE(sp.starts_with("You are Tavlo, an assistant that authors iOS Tavlo Packs."));
  EXPECT_NE(sp.find("this exact shape \xE2\x80\x94 no prose, no markdown fences:\n\n{\n  \"name\": \"kebab-case-name\","),
            std::string::npos);
  EXPECT_NE(sp.find("\"kind\": \"snippet\" | \"newline\" | \"last_capture\""), std::string::npos);
  EXPECT_TRUE(sp.ends_with("  ]\n}\n\nKeep arrays empty if not relevant. JSON only."));
  EXPECT_EQ(sp.find_first_of("\r\t"), std::string::npos);
  EXPECT_EQ(sp.size(), 862u);
  EXPECT_EQ(&sp, &LLMRunner::systemPrompt());

  EXPECT_EQ(LLMRunner::combinedPrompt(""), sp + "\n\nUSER: \n\nJSON:");
  EXPECT_EQ(LLMRunner::combinedPrompt("a\nb"), sp + "\n\nUSER: a\nb\n\nJSON:");
}

TEST(LLMRunnerTest, GeminiIsRefusedWithoutTouchingAnything) {
  auto r = run("x", {"gemini:x", P::gemini, "x", std::nullopt}, ProviderConfig{});
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->kind, LLMError::Kind::unsupported);
  EXPECT_EQ(r.error->description(), "Gemini provider not yet wired");
}

// --- Ollama ---------------------------------------------------------------

struct OllamaCase {
  FakeReply reply;
  LLMResult result;
  std::vector<FakeRequest> seen;
};

OllamaCase ollamaWith(FakeReply reply, const std::string& prompt = "make a button", LLMModel model = kOllama,
                      std::chrono::milliseconds idle = 500ms) {
  FakeHttpServer server([&](const FakeRequest&) { return reply; });
  ProviderConfig config;
  config.ollamaURL = server.baseURL();
  config.lmStudioURL = server.baseURL();
  config.chatIdleTimeout = idle;
  OllamaCase c{reply, run(prompt, model, config), {}};
  c.seen = server.requests();
  return c;
}

TEST(LLMRunnerTest, OllamaRequestCarriesTheInstructionAndThePrompt) {
  std::string prompt = "ünïcode \"quoted\"\n-leading";
  auto c = ollamaWith({.body = R"({"message":{"role":"assistant","content":"  {\"name\":\"x\"}\n"}})"}, prompt);
  ASSERT_TRUE(c.result.ok()) << errorOf(c.result);
  EXPECT_EQ(*c.result.answer, "  {\"name\":\"x\"}\n");
  ASSERT_EQ(c.seen.size(), 1u);
  EXPECT_EQ(c.seen[0].method, "POST");
  EXPECT_EQ(c.seen[0].path, "/api/chat");
  EXPECT_EQ(c.seen[0].headers["content-type"], "application/json");
  json body = json::parse(c.seen[0].body);
  EXPECT_EQ(body, (json{{"model", "llama3:8b"},
                        {"messages", json::array({{{"role", "system"}, {"content", LLMRunner::systemPrompt()}},
                                                  {{"role", "user"}, {"content", prompt}}})},
                        {"stream", false},
                        {"format", "json"}}));
}

TEST(LLMRunnerTest, OllamaErrorStatusesNameStatusAndBody) {
  EXPECT_EQ(errorOf(ollamaWith({.status = 404, .body = "model not found", .contentType = "text/plain"}).result),
            "ollama 404: model not found");
  EXPECT_EQ(errorOf(ollamaWith({.status = 500, .body = ""}).result), "ollama 500: ");
  EXPECT_EQ(errorOf(ollamaWith({.status = 503, .body = std::string(1000, 'e')}).result),
            "ollama 503: " + std::string(400, 'e'));
  // 400 user-perceived characters, not bytes: "é" as e + combining accent is one.
  std::string accented;
  for (int i = 0; i < 450; ++i) accented += "e\xCC\x81";
  EXPECT_EQ(errorOf(ollamaWith({.status = 500, .body = accented}).result), "ollama 500: " + accented.substr(0, 1200));
  EXPECT_EQ(errorOf(ollamaWith({.status = 502, .body = "\xFF\xFE"}).result), "ollama 502: (no body)");
  EXPECT_EQ(errorOf(ollamaWith({.status = 302, .body = "x"}).result), "ollama 302: x");
}

TEST(LLMRunnerTest, OllamaUnreadableAnswersAreMalformed) {
  for (std::string body : {R"({"done":true})", "<html><body>hi</body></html>", R"({"message":{"content":"x")",
                           R"({"message":{"content":42}})", R"({"message":"x"})", R"([1,2])", ""}) {
    auto c = ollamaWith({.body = body});
    ASSERT_TRUE(c.result.error) << body;
    EXPECT_EQ(c.result.error->kind, LLMError::Kind::network);
    EXPECT_EQ(c.result.error->description(), "malformed ollama response") << body;
  }
  auto empty = ollamaWith({.body = R"({"message":{"content":""}})"});
  ASSERT_TRUE(empty.result.ok());
  EXPECT_EQ(*empty.result.answer, "");

  auto huge = ollamaWith({.body = std::string(50 << 20, '[')}, "p", kOllama, 10s);
  EXPECT_EQ(errorOf(huge.result), "malformed ollama response");
}

TEST(LLMRunnerTest, TransportFailuresArePassedOnNotWrapped) {
  ProviderConfig config;
  {
    FakeHttpServer gone([](const FakeRequest&) { return FakeReply{}; });
    config.ollamaURL = gone.baseURL();
    config.lmStudioURL = gone.baseURL();
  }
  for (const auto& model : {kOllama, kLMStudio}) {
    auto refused = run("x", model, config);
    EXPECT_FALSE(refused.ok());
    EXPECT_FALSE(refused.error);
    EXPECT_FALSE(refused.platformError.empty());
  }

  FakeHttpServer silent([](const FakeRequest&) { return FakeReply{.hang = true}; });
  config.ollamaURL = silent.baseURL();
  config.chatIdleTimeout = 300ms;
  auto t0 = std::chrono::steady_clock::now();
  auto idle = run("x", kOllama, config);
  EXPECT_FALSE(idle.error);
  EXPECT_NE(idle.platformError.find("timed out"), std::string::npos) << idle.platformError;
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
}

// --- LM Studio --------------------------------------------------------------

TEST(LLMRunnerTest, LMStudioRequestAndAnswers) {
  auto c = ollamaWith({.status = 500, .body = R"({"choices":[{"message":{"role":"assistant","content":"{}"}}]})"},
                      "p", kLMStudio);
  ASSERT_TRUE(c.result.ok()) << errorOf(c.result);
  EXPECT_EQ(*c.result.answer, "{}");
  ASSERT_EQ(c.seen.size(), 1u);
  EXPECT_EQ(c.seen[0].path, "/v1/chat/completions");
  EXPECT_EQ(c.seen[0].headers["content-type"], "application/json");
  json body = json::parse(c.seen[0].body);
  EXPECT_EQ(body, (json{{"model", "qwen/qwen3"},
                        {"messages", json::array({{{"role", "system"}, {"content", LLMRunner::systemPrompt()}},
                                                  {{"role", "user"}, {"content", "p"}}})},
                        {"temperature", 0.3},
                        {"stream", false}}));

  for (std::string bad : {R"({"choices":[]})", R"({"choices":[{"message":{"content":3}}]})", R"({"choices":["x"]})",
                          "<html></html>", R"({"choices":[{"message":{"content":"x"}})", ""}) {
    EXPECT_EQ(errorOf(ollamaWith({.body = bad}, "p", kLMStudio).result), "malformed LM Studio response") << bad;
  }
  auto deep = ollamaWith({.body = R"({"choices":)" + std::string(1 << 20, '[')}, "p", kLMStudio, 10s);
  EXPECT_EQ(errorOf(deep.result), "malformed LM Studio response");
}

// --- command-line tools -------------------------------------------------------

class LLMRunnerToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tavlo-run-XXXXXX";
    root_ = ::mkdtemp(tmpl);
    config_.rootDirectory = root_.string();
    config_.homeDirectory = (root_ / "home").string();
  }
  void TearDown() override { fs::remove_all(root_); }

  // A fake tool that records its argv (NUL-separated), its folder and
  // environment, then runs `body`.
  void install(const std::string& relative, const std::string& body, bool executable = true) {
    fs::path p = root_ / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "#!/bin/sh\n"
                     << "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > " << (root_ / "argv").string() << "\n"
                     << "{ pwd; ls -A; echo \"${CLAUDECODE-unset}\"; } > " << (root_ / "env").string() << "\n"
                     << body;
    fs::permissions(p, executable ? fs::perms::owner_all : fs::perms::owner_read);
  }
  std::vector<std::string> argv() {
    std::ifstream in(root_ / "argv", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::vector<std::string> out;
    std::string all = ss.str(), cur;
    for (char ch : all) {
      if (ch == '\0') out.push_back(std::exchange(cur, {}));
      else cur += ch;
    }
    return out;
  }
  std::string file(const std::string& name) {
    std::ifstream in(root_ / name);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  fs::path root_;
  ProviderConfig config_;
};

TEST_F(LLMRunnerToolTest, ClaudeGetsTheCombinedPromptAsOneArgument) {
  install("usr/local/bin/claude", "printf '{\"name\":\"x\"}\\n'\n");
  std::string prompt = "-rm -rf \"quoted\" 'single' $HOME\nnew line \xC3\xA9\xE6\x97\xA5 \\";
  ::setenv("CLAUDECODE", "1", 1);
  auto r = run(prompt, kClaude, config_);
  ::unsetenv("CLAUDECODE");
  ASSERT_TRUE(r.ok()) << errorOf(r);
  EXPECT_EQ(*r.answer, "{\"name\":\"x\"}\n");
  EXPECT_EQ(argv(), (std::vector<std::string>{"-p", LLMRunner::combinedPrompt(prompt), "--output-format", "text"}));
  // Scratch folder: empty while the tool runs, gone afterwards; CLAUDECODE removed.
  std::istringstream env(file("env"));
  std::string cwd, next;
  std::getline(env, cwd);
  std::getline(env, next);
  EXPECT_TRUE(cwd.find("tavlo-tool-") != std::string::npos) << cwd;
  EXPECT_EQ(next, "unset");
  EXPECT_FALSE(fs::exists(cwd));
}

TEST_F(LLMRunnerToolTest, CodexRunsExecWithTheCombinedPrompt) {
  install("opt/homebrew/bin/codex", "echo progress >&2; cat; echo answer\n");
  auto r = run("hi", kCodex, config_);
  ASSERT_TRUE(r.ok()) << errorOf(r);
  EXPECT_EQ(*r.answer, "answer\n");  // stdin is /dev/null: `cat` returns at once
  EXPECT_EQ(argv(), (std::vector<std::string>{"exec", "--skip-git-repo-check", LLMRunner::combinedPrompt("hi")}));
}

TEST_F(LLMRunnerToolTest, CandidateOrderAndFallbacks) {
  auto paths = LLMRunner::claudePaths(config_);
  std::string r = root_.string(), h = r + "/home";
  EXPECT_EQ(paths, (std::vector<std::string>{r + "/opt/homebrew/bin/claude", r + "/usr/local/bin/claude",
                                             h + "/.claude/local/claude", h + "/.local/bin/claude",
                                             r + "/usr/bin/claude"}));
  EXPECT_EQ(LLMRunner::codexPaths(config_),
            (std::vector<std::string>{r + "/opt/homebrew/bin/codex", r + "/usr/local/bin/codex",
                                      h + "/.local/bin/codex", h + "/.claude/local/codex", r + "/usr/bin/codex"}));

  auto missing = run("x", kClaude, config_);
  ASSERT_TRUE(missing.error);
  EXPECT_EQ(missing.error->kind, LLMError::Kind::unsupported);
  EXPECT_EQ(missing.error->description(), "CLI tool not found");

  install("opt/homebrew/bin/claude", "echo brew\n", false);
  install("home/.local/bin/claude", "echo local\n");
  EXPECT_EQ(run("x", kClaude, config_).answer, "local\n");
  install("usr/local/bin/claude", "echo usrlocal\n");
  EXPECT_EQ(run("x", kClaude, config_).answer, "usrlocal\n");
  install("opt/homebrew/bin/claude", "echo brew\n");
  EXPECT_EQ(run("x", kClaude, config_).answer, "brew\n");
}

TEST_F(LLMRunnerToolTest, FailingToolsReportExitStatusAndStderr) {
  install("usr/local/bin/claude", "echo 'discarded'; echo 'not logged in' >&2; exit 2\n");
  auto r = run("x", kClaude, config_);
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->kind, LLMError::Kind::network);
  EXPECT_EQ(r.error->description(), "CLI exit 2: not logged in\n");

  install("usr/local/bin/claude", "printf '\\377\\376' >&2; exit 1\n");
  EXPECT_EQ(errorOf(run("x", kClaude, config_)), "CLI exit 1: ");
  install("usr/local/bin/claude", "printf 'ok\\377'\n");
  EXPECT_EQ(run("x", kClaude, config_).answer, "");
}

TEST_F(LLMRunnerToolTest, HeavyHungAndOversizedRunsEndCleanly) {
  install("usr/local/bin/claude", "head -c 20971520 /dev/zero | tr '\\0' a & head -c 20971520 /dev/zero >&2; wait\n");
  auto flood = run("x", kClaude, config_);
  ASSERT_TRUE(flood.ok()) << errorOf(flood);
  EXPECT_EQ(flood.answer->size(), 20u << 20);

  install("usr/local/bin/claude", "sleep 30\n");
  config_.toolTimeLimit = 300ms;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(errorOf(run("x", kClaude, config_)), "CLI tool stopped: no answer within 300 ms");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);

  config_.toolTimeLimit = std::chrono::minutes(10);
  install("usr/local/bin/claude", "sleep 30 & echo done\n");
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(run("x", kClaude, config_).answer, "done\n");
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);

  // One argument cannot exceed the kernel's 128 KiB limit: the launch error is passed on.
  install("usr/local/bin/claude", "echo never\n");
  auto big = run(std::string(1 << 20, 'p'), kClaude, config_);
  EXPECT_FALSE(big.error);
  EXPECT_NE(big.platformError.find("Argument list too long"), std::string::npos) << big.platformError;
}

TEST_F(LLMRunnerToolTest, AwaitableFormResumesOnTheCoroutinesExecutor) {
  install("usr/local/bin/codex", "echo '{}'\n");
  asio::io_context io;
  std::optional<LLMResult> got;
  std::string prompt = "x";
  LLMModel model = kCodex;
  asio::co_spawn(io, [&]() -> asio::awaitable<void> { got = co_await LLMRunner::generate(prompt, model, config_); },
                 asio::detached);
  io.run();
  ASSERT_TRUE(got && got->ok());
  EXPECT_EQ(*got->answer, "{}\n");
}

}  // namespace
}  // namespace tavlo
