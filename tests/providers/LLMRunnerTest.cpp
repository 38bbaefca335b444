#include "providers/LLMRunner.hpp"

#include <gtest/gtest.h>

#include "platform/Async.hpp"
#include "platform/Cancellation.hpp"
#include "platform/HttpClient.hpp"
#include "platform/ProcessRunner.hpp"
#include "providers/CLIProbe.hpp"
#include "support/FakeHttpServer.hpp"
#include "support/TestSupport.hpp"

namespace tavlo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::FakeHttpServer;
using testing::FakeReply;
using testing::FakeRequest;
using testing::readFile;
using P = LLMModel::Provider;

const LLMModel kOllama{"ollama:llama3:8b", P::ollama, "llama3:8b", "4.7 GB"};
const LLMModel kLMStudio{"lmstudio:qwen/qwen3", P::lmstudio, "qwen/qwen3", std::nullopt};
const LLMModel kClaude{"claude:cli", P::claude, "Claude (CLI)", "uses your Claude Code login"};
const LLMModel kCodex{"codex:cli", P::codex, "Codex (CLI)", "OpenAI Codex login"};

// "(answer) TEXT", or the error's message as the phone would read it.
std::string text(const Result<std::string>& r) { return r ? "(answer) " + *r : r.error().message; }

std::string run(const std::string& prompt, const LLMModel& model, const ProviderConfig& config,
                std::shared_ptr<Cancellation> cancel = {}) {
  return text(runToCompletion(LLMRunner::generate(prompt, model, config, std::move(cancel))));
}

// What the phone reads after "failed: " for each answer a back end may give;
// an answer is passed on unchanged. (The requests themselves are checked end to end.)
TEST(LLMRunnerTest, ErrorStatusesAndUnreadableAnswersGiveTheRunnersOwnErrors) {
  std::string accented;  // 400 user-perceived characters, not bytes: e + combining accent is one
  for (int i = 0; i < 450; ++i) accented += "e\xCC\x81";
  auto answer = [](long status, std::string body) { return Result<FetchResponse>(FetchResponse{status, body}); };
  const Result<FetchResponse> refused = fail("Failed to connect");
  struct Case { decltype(&LLMRunner::ollamaAnswer) read; Result<FetchResponse> response; std::string expected; };
  std::vector<Case> cases{
      {LLMRunner::ollamaAnswer, refused, "Failed to connect"},  // passed on, not wrapped
      {LLMRunner::lmstudioAnswer, refused, "Failed to connect"},
      {LLMRunner::ollamaAnswer, answer(404, "model not found"), "ollama 404: model not found"},
      {LLMRunner::ollamaAnswer, answer(503, std::string(1000, 'e')), "ollama 503: " + std::string(400, 'e')},
      {LLMRunner::ollamaAnswer, answer(500, accented), "ollama 500: " + accented.substr(0, 1200)},
      {LLMRunner::ollamaAnswer, answer(502, "\xFF\xFE"), "ollama 502: (no body)"},
      {LLMRunner::ollamaAnswer, answer(302, "x"), "ollama 302: x"},
      {LLMRunner::ollamaAnswer, answer(200, R"({"message":{"content":" {\"a\":1}\n"}})"), "(answer)  {\"a\":1}\n"},
      // LM Studio's answer is read whatever the status.
      {LLMRunner::lmstudioAnswer, answer(500, R"({"choices":[{"message":{"content":""}}]})"), "(answer) "},
      {LLMRunner::ollamaAnswer, answer(200, std::string(50 << 20, '[')), "malformed ollama response"},
      {LLMRunner::lmstudioAnswer, answer(200, R"({"choices":)" + std::string(1 << 20, '[')),
       "malformed LM Studio response"}};
  for (std::string body : {R"({"done":true})", "<html><body>hi</body></html>", R"({"message":{"content":"x")",
                           R"({"message":{"content":42}})", R"({"message":"x"})", R"([1,2])", ""})
    cases.push_back({LLMRunner::ollamaAnswer, answer(200, body), "malformed ollama response"});
  for (std::string body : {R"({"choices":[]})", R"({"choices":[{"message":{"content":3}}]})", R"({"choices":["x"]})",
                           "<html></html>", R"({"choices":[{"message":{"content":"x"}})", ""})
    cases.push_back({LLMRunner::lmstudioAnswer, answer(200, body), "malformed LM Studio response"});
  for (const auto& c : cases)
    EXPECT_EQ(text(c.read(c.response)), c.expected) << (c.response ? c.response->body.substr(0, 60) : "");
}

// The panel's "Stop" and the idle limit end a chat call that gets no answer.
TEST(LLMRunnerTest, CancellingOrTheIdleLimitEndsTheChatCall) {
  FakeHttpServer silent([](const FakeRequest&) { return FakeReply{.hang = true}; });
  ProviderConfig config;
  config.ollamaURL = config.lmStudioURL = silent.baseURL();
  for (const auto& model : {kOllama, kLMStudio}) {
    auto cancel = std::make_shared<Cancellation>();
    std::thread later([&] {
      std::this_thread::sleep_for(200ms);
      cancel->cancel();
    });
    EXPECT_EQ(run("x", model, config, cancel), kCancelledMessage) << model.id;  // the idle limit is 120 s
    later.join();
  }
  config.chatIdleTimeout = 300ms;
  EXPECT_EQ(run("x", kOllama, config), "the request timed out (no data for 300 ms)");
}

class LLMRunnerToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_.rootDirectory = root_.path().string();
    config_.homeDirectory = (root_ / "home").string();
    config_.searchPath = "";  // the test machine's own PATH stays out
  }
  // A fake tool that records its argv (each argument NUL-terminated) in "argv"; its folder,
  // that folder's entries and $CLAUDECODE in "env"; then runs `body`.
  void install(const std::string& relative, const std::string& body, bool executable = true) {
    testing::writeScript(root_ / relative,
                         "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > " + (root_ / "argv").string() +
                             "\n{ pwd; ls -A; echo \"${CLAUDECODE-unset}\"; } > " + (root_ / "env").string() + "\n" +
                             body,
                         executable);
  }
  testing::TempDir root_;
  ProviderConfig config_;
};

TEST_F(LLMRunnerToolTest, ClaudeRunsInAnEmptyScratchFolderWithoutClaudeCode) {
  install("usr/local/bin/claude", "printf '{\"name\":\"x\"}\\n'\n");
  ::setenv("CLAUDECODE", "1", 1);
  EXPECT_EQ(run("x", kClaude, config_), "(answer) {\"name\":\"x\"}\n");
  ::unsetenv("CLAUDECODE");
  std::string env = readFile(root_ / "env"), cwd = env.substr(0, env.find('\n'));
  EXPECT_EQ(env, cwd + "\nunset\n");  // nothing in the folder, CLAUDECODE removed
  EXPECT_NE(cwd.find("/tavlo-tool-"), std::string::npos) << cwd;
  EXPECT_FALSE(fs::exists(cwd));
}

// Which copy of a tool runs: Homebrew's, then /usr/local, then the home
// folder's, then PATH, then nvm's newest Node version (by number, not by name).
TEST_F(LLMRunnerToolTest, ToolPlacesInOrderAndModelsThatCannotRun) {
  const LLMModel gemini{"gemini:x", P::gemini, "x", std::nullopt};
  EXPECT_EQ(run("x", kClaude, config_), "CLI tool not found");
  EXPECT_EQ(run("x", gemini, config_), "Gemini provider not yet wired");
  install("home/.nvm/versions/node/v9.11.2/bin/codex", "echo v9\n");
  install("home/.nvm/versions/node/v18.19.0/bin/codex", "cat; echo v18\n");
  EXPECT_EQ(run("hi", kCodex, config_), "(answer) v18\n");  // stdin is /dev/null: `cat` returns at once
  EXPECT_EQ(readFile(root_ / "argv"), "exec" + std::string(1, '\0') + "--skip-git-repo-check" + '\0' +
                                          LLMRunner::combinedPrompt("hi") + '\0');
  config_.searchPath = "relative::.:" + (root_ / "bin").string();
  for (const auto& dir : CLIProbe::searchDirectories(config_)) EXPECT_TRUE(dir.starts_with('/')) << dir;
  install("bin/codex", "echo path\n");
  EXPECT_EQ(run("x", kCodex, config_), "(answer) path\n");
  for (auto place : {"home/.local/bin/", "usr/local/bin/", "opt/homebrew/bin/"}) {
    install(std::string(place) + "claude", "echo " + std::string(place) + "\n");
    EXPECT_EQ(run("x", kClaude, config_), "(answer) " + std::string(place) + "\n");
  }
  install("opt/homebrew/bin/claude", "echo brew\n", false);  // a file that cannot run is passed over
  EXPECT_EQ(run("x", kClaude, config_), "(answer) usr/local/bin/\n");
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
    install("usr/local/bin/claude", c.script);
    config_.toolTimeLimit = c.limit;
    EXPECT_EQ(run("x", kClaude, config_), c.expected) << c.script;
  }
  install("usr/local/bin/claude", "head -c 20971520 /dev/zero | tr '\\0' a & head -c 20971520 /dev/zero >&2; wait\n");
  EXPECT_EQ(run("x", kClaude, config_), "(answer) " + std::string(20u << 20, 'a'));
  // One argument cannot exceed the kernel's 128 KiB limit: the launch error is passed on.
  EXPECT_NE(run(std::string(1 << 20, 'p'), kClaude, config_).find(": Argument list too long"), std::string::npos);
  stopAllProcesses();
  EXPECT_EQ(run("x", kClaude, config_), kStoppedMessage);
  allowProcesses();
}

// The panel's "Stop" kills the tool's whole process group; a run stopped
// before it started never starts.
TEST_F(LLMRunnerToolTest, CancellingKillsTheToolsGroup) {
  const fs::path child = root_ / "child";
  install("usr/local/bin/claude", "sleep 60 & echo $! > " + child.string() + ".tmp; mv " + child.string() + ".tmp " +
                                      child.string() + "; wait\n");
  auto cancel = std::make_shared<Cancellation>();
  std::thread stopper([&] {
    testing::waitUntil([&] { return fs::exists(child); });
    cancel->cancel();
  });
  EXPECT_EQ(run("x", kClaude, config_, cancel), kCancelledMessage);
  stopper.join();
  // The grandchild went with the group: gone, or a zombie nobody has reaped yet.
  const std::string stat = "/proc/" + readFile(child).substr(0, readFile(child).find('\n')) + "/stat";
  EXPECT_TRUE(testing::waitUntil([&] {
    const std::string line = readFile(stat);
    return line.empty() || line[line.rfind(')') + 2] == 'Z';
  }));
  fs::remove(root_ / "argv");
  EXPECT_EQ(run("x", kClaude, config_, cancel), kCancelledMessage);
  EXPECT_FALSE(fs::exists(root_ / "argv"));
}

}  // namespace
}  // namespace tavlo
