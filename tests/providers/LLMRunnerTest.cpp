#include "providers/LLMRunner.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <asio.hpp>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/FakeHttpServer.hpp"
#include "platform/Cancellation.hpp"
#include "providers/CLIProbe.hpp"

namespace tavlo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using testing::FakeHttpServer;
using testing::FakeReply;
using testing::FakeRequest;
using P = LLMModel::Provider;
using Clock = std::chrono::steady_clock;

LLMResult run(const std::string& prompt, const LLMModel& model, const ProviderConfig& config,
              std::shared_ptr<Cancellation> cancel = {}) {
  std::promise<LLMResult> p;
  LLMRunner::generate(prompt, model, config, [&p](LLMResult r) { p.set_value(std::move(r)); }, cancel);
  auto f = p.get_future();
  if (f.wait_for(30s) != std::future_status::ready) return LLMResult::platformFailure("test: no answer");
  return f.get();
}

// One back end on a fake server answering `reply`: the result and the requests the server saw.
std::pair<LLMResult, std::vector<FakeRequest>> chat(const LLMModel& model, FakeReply reply,
                                                    const std::string& prompt = "p") {
  FakeHttpServer server([&](const FakeRequest&) { return reply; });
  ProviderConfig config;
  config.ollamaURL = config.lmStudioURL = server.baseURL();
  config.chatIdleTimeout = 10s;
  auto result = run(prompt, model, config);
  return {result, server.requests()};
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
  EXPECT_EQ(LLMRunner::combinedPrompt(""), sp + "\n\nUSER: \n\nJSON:");
  EXPECT_EQ(LLMRunner::combinedPrompt("a\nb"), sp + "\n\nUSER: a\nb\n\nJSON:");
}

TEST(LLMRunnerTest, EachBackEndGetsItsExactRequestAndTheAnswerUnchanged) {
  std::string prompt = "ünïcode \"quoted\"\n-leading", answer = R"("  {\"name\":\"x\"}\n")";
  json messages = json::array({{{"role", "system"}, {"content", LLMRunner::systemPrompt()}},
                               {{"role", "user"}, {"content", prompt}}});
  struct Case { LLMModel model; FakeReply reply; std::string path; json body; };
  const Case cases[] = {
      {kOllama, {.body = R"({"message":{"role":"assistant","content":)" + answer + "}}"}, "/api/chat",
       {{"model", "llama3:8b"}, {"messages", messages}, {"stream", false}, {"format", "json"}}},
      // LM Studio's answer is read whatever the status.
      {kLMStudio, {.status = 500, .body = R"({"choices":[{"message":{"content":)" + answer + "}}]}"},
       "/v1/chat/completions",
       {{"model", "qwen/qwen3"}, {"messages", messages}, {"temperature", 0.3}, {"stream", false}}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.model.id);
    auto [r, seen] = chat(c.model, c.reply, prompt);
    ASSERT_TRUE(r.ok()) << errorOf(r);
    EXPECT_EQ(*r.answer, "  {\"name\":\"x\"}\n");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].path, c.path);
    EXPECT_EQ(seen[0].headers["content-type"], "application/json");
    EXPECT_EQ(json::parse(seen[0].body), c.body);
  }
}

TEST(LLMRunnerTest, ErrorStatusesAndUnreadableAnswersGiveTheRunnersOwnErrors) {
  std::string accented;  // 400 user-perceived characters, not bytes: e + combining accent is one
  for (int i = 0; i < 450; ++i) accented += "e\xCC\x81";
  struct Case { LLMModel model; FakeReply reply; std::string expected; };
  std::vector<Case> cases{
      {kOllama, {.status = 404, .body = "model not found", .contentType = "text/plain"}, "ollama 404: model not found"},
      {kOllama, {.status = 500}, "ollama 500: "},
      {kOllama, {.status = 503, .body = std::string(1000, 'e')}, "ollama 503: " + std::string(400, 'e')},
      {kOllama, {.status = 500, .body = accented}, "ollama 500: " + accented.substr(0, 1200)},
      {kOllama, {.status = 502, .body = "\xFF\xFE"}, "ollama 502: (no body)"},
      {kOllama, {.status = 302, .body = "x"}, "ollama 302: x"},
      {kOllama, {.body = R"({"message":{"content":""}})"}, "(answer) "},
      {kOllama, {.body = std::string(50 << 20, '[')}, "malformed ollama response"},
      {kLMStudio, {.body = R"({"choices":)" + std::string(1 << 20, '[')}, "malformed LM Studio response"}};
  for (std::string body : {R"({"done":true})", "<html><body>hi</body></html>", R"({"message":{"content":"x")",
                           R"({"message":{"content":42}})", R"({"message":"x"})", R"([1,2])", ""})
    cases.push_back({kOllama, {.body = body}, "malformed ollama response"});
  for (std::string body : {R"({"choices":[]})", R"({"choices":[{"message":{"content":3}}]})", R"({"choices":["x"]})",
                           "<html></html>", R"({"choices":[{"message":{"content":"x"}})", ""})
    cases.push_back({kLMStudio, {.body = body}, "malformed LM Studio response"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.model.id + " " + c.reply.body.substr(0, 60));
    auto r = chat(c.model, c.reply).first;
    EXPECT_EQ(errorOf(r), c.expected);
    EXPECT_EQ(r.error.has_value(), !r.ok());
    EXPECT_EQ(r.error.value_or(LLMError{}).kind, LLMError::Kind::network);
  }
}

TEST(LLMRunnerTest, TransportFailuresArePassedOnNotWrapped) {
  ProviderConfig config;
  config.ollamaURL = config.lmStudioURL = FakeHttpServer([](const FakeRequest&) { return FakeReply{}; }).baseURL();
  for (const auto& model : {kOllama, kLMStudio}) {
    auto refused = run("x", model, config);
    EXPECT_FALSE(refused.ok());
    EXPECT_FALSE(refused.error);
    EXPECT_FALSE(refused.platformError.empty());
  }
  FakeHttpServer silent([](const FakeRequest&) { return FakeReply{.hang = true}; });
  config.ollamaURL = silent.baseURL();
  config.chatIdleTimeout = 300ms;
  auto t0 = Clock::now();
  auto idle = run("x", kOllama, config);
  EXPECT_FALSE(idle.error);
  EXPECT_NE(idle.platformError.find("timed out"), std::string::npos) << idle.platformError;
  EXPECT_LT(Clock::now() - t0, 2s);
}

class LLMRunnerToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = ::mkdtemp(std::string("/tmp/tavlo-run-XXXXXX").data());
    config_.rootDirectory = root_.string();
    config_.homeDirectory = (root_ / "home").string();
    config_.searchPath = "";  // the test machine's own PATH stays out
  }
  void TearDown() override { fs::remove_all(root_); }
  // A fake tool that records its argv (each argument NUL-terminated) in "argv"; its folder,
  // that folder's entries and $CLAUDECODE in "env"; then runs `body`.
  void install(const std::string& relative, const std::string& body, bool executable = true) {
    fs::path p = root_ / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > " << (root_ / "argv").string()
                     << "\n{ pwd; ls -A; echo \"${CLAUDECODE-unset}\"; } > " << (root_ / "env").string() << "\n"
                     << body;
    fs::permissions(p, executable ? fs::perms::owner_all : fs::perms::owner_read);
  }
  std::string file(const std::string& name) {
    std::ifstream in(root_ / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  static std::string nulTerminated(std::initializer_list<std::string> args) {
    std::string all;
    for (const auto& a : args) all += a + '\0';
    return all;
  }
  fs::path root_;
  ProviderConfig config_;
};

TEST_F(LLMRunnerToolTest, ClaudeGetsTheCombinedPromptAsOneArgumentInAnEmptyScratchFolder) {
  install("usr/local/bin/claude", "printf '{\"name\":\"x\"}\\n'\n");
  std::string prompt = "-rm -rf \"quoted\" 'single' $HOME\nnew line \xC3\xA9\xE6\x97\xA5 \\";
  ::setenv("CLAUDECODE", "1", 1);
  auto r = run(prompt, kClaude, config_);
  ::unsetenv("CLAUDECODE");
  ASSERT_TRUE(r.ok()) << errorOf(r);
  EXPECT_EQ(*r.answer, "{\"name\":\"x\"}\n");
  EXPECT_EQ(file("argv"), nulTerminated({"-p", LLMRunner::combinedPrompt(prompt), "--output-format", "text"}));
  std::string env = file("env"), cwd = env.substr(0, env.find('\n'));
  EXPECT_EQ(env, cwd + "\nunset\n");  // nothing in the folder, CLAUDECODE removed
  EXPECT_NE(cwd.find("/tavlo-tool-"), std::string::npos) << cwd;
  EXPECT_FALSE(fs::exists(cwd));
}

TEST_F(LLMRunnerToolTest, CodexRunsExecWithTheCombinedPromptThroughTheAwaitableForm) {
  install("opt/homebrew/bin/codex", "echo progress >&2; cat; echo answer\n");
  asio::io_context io;
  std::optional<LLMResult> r;
  std::string prompt = "hi";
  asio::co_spawn(io, [&]() -> asio::awaitable<void> { r = co_await LLMRunner::generate(prompt, kCodex, config_); },
                 asio::detached);
  io.run();
  ASSERT_TRUE(r && r->ok()) << (r ? errorOf(*r) : "no answer");
  EXPECT_EQ(*r->answer, "answer\n");  // stdin is /dev/null: `cat` returns at once
  EXPECT_EQ(file("argv"), nulTerminated({"exec", "--skip-git-repo-check", LLMRunner::combinedPrompt("hi")}));
}

TEST_F(LLMRunnerToolTest, CandidateOrderFallbacksAndUnsupportedModels) {
  std::string r = root_.string(), h = r + "/home";
  // After the fixed places: the PATH's absolute folders, each once, then nvm's, newest Node first.
  config_.searchPath = r + "/bin:relative::" + r + "/usr/bin/:" + r + "/bin";
  for (auto version : {"v9.11.2", "v18.19.0", "v20.1.0"}) fs::create_directories(h + "/.nvm/versions/node/" + version);
  const std::vector<std::string> later{r + "/bin/", h + "/.nvm/versions/node/v20.1.0/bin/",
                                       h + "/.nvm/versions/node/v18.19.0/bin/", h + "/.nvm/versions/node/v9.11.2/bin/"};
  auto with = [&](std::vector<std::string> paths, const std::string& tool) {
    for (const auto& dir : later) paths.push_back(dir + tool);
    return paths;
  };
  EXPECT_EQ(LLMRunner::claudePaths(config_),
            with({r + "/opt/homebrew/bin/claude", r + "/usr/local/bin/claude", h + "/.claude/local/claude",
                  h + "/.local/bin/claude", r + "/usr/bin/claude"}, "claude"));
  EXPECT_EQ(LLMRunner::codexPaths(config_),
            with({r + "/opt/homebrew/bin/codex", r + "/usr/local/bin/codex", h + "/.local/bin/codex",
                  h + "/.claude/local/codex", r + "/usr/bin/codex"}, "codex"));
  install("home/.nvm/versions/node/v18.19.0/bin/codex", "echo nvm\n");
  EXPECT_EQ(CLIProbe::listNow(config_), std::vector<LLMModel>{CLIProbe::codexModel()});
  EXPECT_EQ(run("x", kCodex, config_).answer, "nvm\n");
  fs::remove_all(h + "/.nvm");
  const LLMModel gemini{"gemini:x", P::gemini, "x", std::nullopt};
  for (auto [model, expected] : {std::pair{kClaude, "CLI tool not found"}, {gemini, "Gemini provider not yet wired"}}) {
    auto unsupported = run("x", model, config_);
    ASSERT_TRUE(unsupported.error);
    EXPECT_EQ(unsupported.error->kind, LLMError::Kind::unsupported);
    EXPECT_EQ(unsupported.error->description(), expected);
  }
  install("opt/homebrew/bin/claude", "echo brew\n", false);
  install("home/.local/bin/claude", "echo local\n");
  EXPECT_EQ(run("x", kClaude, config_).answer, "local\n");
  install("usr/local/bin/claude", "echo usrlocal\n");
  EXPECT_EQ(run("x", kClaude, config_).answer, "usrlocal\n");
  install("opt/homebrew/bin/claude", "echo brew\n");
  EXPECT_EQ(run("x", kClaude, config_).answer, "brew\n");
}

TEST_F(LLMRunnerToolTest, FailingHungAndDetachingToolsEndCleanly) {
  struct Case { std::string script; std::chrono::milliseconds limit; std::string expected; };
  const std::string a300(300, 'a'), b150(150, 'b'), c100(100, 'c'), fffd = "\xEF\xBF\xBD";
  std::string e500;
  for (int i = 0; i < 500; ++i) e500 += "\xC3\xA9";
  const Case cases[] = {{"echo discarded; echo 'not logged in' >&2; exit 2\n", 10min, "CLI exit 2: not logged in\n"},
                        // Nothing on stderr: the reason is on stdout (claude without a login does this).
                        {"echo 'Not logged in \xC2\xB7 Please run /login'; exit 1\n", 10min,
                         "CLI exit 1: Not logged in \xC2\xB7 Please run /login"},
                        // Its last non-empty lines that fit in 500 characters, or the end of one long line.
                        {"echo '  ' >&2; printf '" + a300 + "\\n" + b150 + "\\n\\n \\n" + c100 + "\\n'; exit 3\n", 10min,
                         "CLI exit 3: " + b150 + "\n" + c100},
                        {"echo x; i=0; while [ $i -lt 600 ]; do printf '\xC3\xA9'; i=$((i+1)); done; exit 1\n", 10min,
                         "CLI exit 1: " + e500},
                        // Bytes that are not UTF-8 are repaired, as in the HTTP back ends' answers.
                        {"printf '\\377\\376' >&2; exit 1\n", 10min, "CLI exit 1: " + fffd + fffd},
                        {"printf 'ok\\377'\n", 10min, "(answer) ok" + fffd},
                        {"sleep 30\n", 300ms, "CLI tool stopped: no answer within 300 ms"},
                        {"sleep 30 & echo done\n", 10min, "(answer) done\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    install("usr/local/bin/claude", c.script);
    config_.toolTimeLimit = c.limit;
    auto t0 = Clock::now();
    auto r = run("x", kClaude, config_);
    EXPECT_LT(Clock::now() - t0, 3s);
    EXPECT_EQ(errorOf(r), c.expected);
    EXPECT_EQ(r.error.has_value(), !r.ok());
    EXPECT_EQ(r.error.value_or(LLMError{}).kind, LLMError::Kind::network);
  }
  install("usr/local/bin/claude", "head -c 20971520 /dev/zero | tr '\\0' a & head -c 20971520 /dev/zero >&2; wait\n");
  auto flood = run("x", kClaude, config_);
  ASSERT_TRUE(flood.ok()) << errorOf(flood);
  EXPECT_EQ(*flood.answer, std::string(20u << 20, 'a'));
  // One argument cannot exceed the kernel's 128 KiB limit: the launch error is passed on.
  auto big = run(std::string(1 << 20, 'p'), kClaude, config_);
  EXPECT_FALSE(big.error);
  EXPECT_NE(big.platformError.find("Argument list too long"), std::string::npos) << big.platformError;
}

// The panel's "Stop": the tool's whole process group dies, the chat call ends,
// and either way the run fails with the same words; a run stopped before it
// started never starts.
TEST_F(LLMRunnerToolTest, CancellingKillsTheToolsGroupOrEndsTheChatCall) {
  const fs::path child = root_ / "child";
  install("usr/local/bin/claude", "sleep 60 & echo $! > " + child.string() + ".tmp; mv " + child.string() + ".tmp " +
                                      child.string() + "; wait\n");
  auto cancel = std::make_shared<Cancellation>();
  std::thread stopper([&] {
    for (int i = 0; i < 2000 && !fs::exists(child); ++i) std::this_thread::sleep_for(5ms);
    cancel->cancel();
  });
  auto t0 = Clock::now();
  auto stopped = run("x", kClaude, config_, cancel);
  stopper.join();
  EXPECT_EQ(errorOf(stopped), kCancelledMessage);
  EXPECT_LT(Clock::now() - t0, 20s);
  // The grandchild went with the group: gone, or a zombie nobody has reaped yet.
  const std::string stat = "/proc/" + file("child").substr(0, file("child").find('\n')) + "/stat";
  std::string state;
  for (int i = 0; i < 400; ++i) {
    std::ifstream in(stat);
    std::string line;
    std::getline(in, line);
    state = line.empty() ? "gone" : line.substr(line.rfind(')') + 2, 1);
    if (state == "gone" || state == "Z") break;
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(state == "gone" || state == "Z") << state;

  fs::remove(root_ / "argv");
  EXPECT_EQ(errorOf(run("x", kClaude, config_, cancel)), kCancelledMessage);
  EXPECT_FALSE(fs::exists(root_ / "argv"));

  FakeHttpServer silent([](const FakeRequest&) { return FakeReply{.hang = true}; });
  config_.ollamaURL = config_.lmStudioURL = silent.baseURL();
  for (const auto& model : {kOllama, kLMStudio}) {
    auto chatCancel = std::make_shared<Cancellation>();
    std::thread later([&] {
      std::this_thread::sleep_for(200ms);
      chatCancel->cancel();
    });
    t0 = Clock::now();
    auto ended = run("x", model, config_, chatCancel);
    later.join();
    EXPECT_EQ(errorOf(ended), kCancelledMessage) << model.id;
    EXPECT_LT(Clock::now() - t0, 20s);  // the idle limit is 120 s
  }
}

}  // namespace
}  // namespace tavlo
