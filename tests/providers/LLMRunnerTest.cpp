#include "providers/LLMRunner.hpp"

#include <gtest/gtest.h>

#include <tuple>

#include "platform/Async.hpp"
#include "platform/Cancellation.hpp"
#include "platform/HttpClient.hpp"
#include "platform/ProcessRunner.hpp"
#include "providers/CLIProbe.hpp"
#include "providers/LMStudioProbe.hpp"
#include "providers/OllamaProbe.hpp"
#include "providers/ToolSeal.hpp"
#include "support/FakeHttpServer.hpp"
#include "support/TestSupport.hpp"

namespace tavlo {
namespace {

using testing::FakeHttpServer;
using testing::FakeReply;
using testing::FakeRequest;
using testing::readFile;
using P = LLMModel::Provider;
using Models = std::vector<LLMModel>;

const LLMModel kOllama{"ollama:llama3:8b", P::ollama, "llama3:8b", "4.7 GB"};
const LLMModel kLMStudio{"lmstudio:qwen/qwen3", P::lmstudio, "qwen/qwen3", std::nullopt};
const LLMModel kClaude{"claude:cli", P::claude, "Claude (CLI)", "uses your Claude Code login"};
const LLMModel kCodex{"codex:cli", P::codex, "Codex (CLI)", "OpenAI Codex login"};

// The arguments as a recording tool writes them: each ended by NUL.
std::string recorded(const std::vector<std::string>& args) {
  std::string out;
  for (const auto& a : args) out += a + '\0';
  return out;
}

// "(answer) TEXT", or the error's message as the phone would read it.
std::string text(const Result<std::string>& r) { return r ? "(answer) " + *r : r.error().message; }

std::string run(const std::string& prompt, const LLMModel& model, const ProviderConfig& config,
                std::shared_ptr<Cancellation> cancel = {}) {
  return text(runToCompletion(LLMRunner::generate(prompt, model, config, std::move(cancel))));
}

// What the phone reads after "failed: " for each answer a back end may give;
// an answer is passed on unchanged.
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
      {LLMRunner::ollamaAnswer, answer(500, accented), "ollama 500: " + accented.substr(0, 1200)},
      {LLMRunner::ollamaAnswer, answer(502, "\xFF\xFE"), "ollama 502: (no body)"},
      {LLMRunner::ollamaAnswer, answer(302, "x"), "ollama 302: x"},
      {LLMRunner::ollamaAnswer, answer(200, R"({"message":{"content":" {\"a\":1}\n"}})"), "(answer)  {\"a\":1}\n"},
      // LM Studio's answer is read whatever the status.
      {LLMRunner::lmstudioAnswer, answer(500, R"({"choices":[{"message":{"content":""}}]})"), "(answer) "},
      {LLMRunner::ollamaAnswer, answer(200, std::string(50 << 20, '[')), "malformed ollama response"},
      {LLMRunner::lmstudioAnswer, answer(200, R"({"choices":)" + std::string(1 << 20, '[')),
       "malformed LM Studio response"}};
  for (std::string body : {R"({"done":true})", "<html>hi</html>", R"({"message":{"content":"x")",
                           R"({"message":{"content":42}})", R"({"message":"x"})", R"([1,2])", "", R"({"choices":[]})",
                           R"({"choices":[{"message":{"content":3}}]})", R"({"choices":["x"]})"}) {
    cases.push_back({LLMRunner::ollamaAnswer, answer(200, body), "malformed ollama response"});
    cases.push_back({LLMRunner::lmstudioAnswer, answer(200, body), "malformed LM Studio response"});
  }
  for (const auto& c : cases)
    EXPECT_EQ(text(c.read(c.response)), c.expected) << (c.response ? c.response->body.substr(0, 60) : "");
}

// What the phone reads for each way a tool can end. (Running tools is the process runner's part.)
TEST(LLMRunnerTest, ToolOutcomesGiveTheRunnersOwnErrors) {
  const std::string a300(300, 'a'), b150(150, 'b'), c100(100, 'c'), fffd = "\xEF\xBF\xBD";
  std::string e600;
  for (int i = 0; i < 600; ++i) e600 += "\xC3\xA9";
  const ProviderConfig config{.toolTimeLimit = 300ms};
  const std::pair<Result<ProcessResult>, std::string> cases[] = {
      {fail("cannot start /x: Argument list too long"), "cannot start /x: Argument list too long"},
      {ProcessResult{.exitStatus = 2, .out = "discarded\n", .err = "not logged in\n"}, "CLI exit 2: not logged in\n"},
      // Nothing on stderr: the reason is on stdout (claude without a login does this).
      {ProcessResult{.exitStatus = 1, .out = "Not logged in\n", .err = " \n"}, "CLI exit 1: Not logged in"},
      // Its last non-empty lines that fit in 500 characters, or the end of one long line.
      {ProcessResult{.exitStatus = 3, .out = a300 + "\n" + b150 + "\r\n\n \n" + c100 + "\n"},
       "CLI exit 3: " + b150 + "\n" + c100},
      {ProcessResult{.exitStatus = 1, .out = "x\n" + e600}, "CLI exit 1: " + e600.substr(200)},
      {ProcessResult{.exitStatus = -1, .termSignal = 9}, "CLI exit 9: "},
      {ProcessResult{.exitStatus = 128 + 9}, "CLI exit 9: "},  // the same signal through bubblewrap
      // Bytes that are not UTF-8 are repaired, as in the HTTP back ends' answers.
      {ProcessResult{.exitStatus = 1, .err = "\xFF\xFE"}, "CLI exit 1: " + fffd + fffd},
      {ProcessResult{.exitStatus = 0, .out = "ok\xFF"}, "(answer) ok" + fffd},
      {ProcessResult{.exitStatus = -1, .termSignal = 9, .timedOut = true}, "CLI tool stopped: no answer within 300 ms"},
      {ProcessResult{.exitStatus = -1, .termSignal = 9, .stopped = true}, kStoppedMessage},
      {ProcessResult{.exitStatus = -1, .cancelled = true}, kCancelledMessage},
      {ProcessResult{.exitStatus = 0, .truncated = true, .out = std::string(64u << 20, 'x')}, "CLI answer larger than 64 MiB"},
      // bubblewrap could not set the seal up: the tool never ran.
      {ProcessResult{.exitStatus = 1, .err = "bwrap: Can't mount tmpfs on /newroot/home: Operation not permitted\n"},
       "cannot seal the tool: bubblewrap failed (Can't mount tmpfs on /newroot/home: Operation not permitted), "
       "see tavlo-companion doctor"},
      {ProcessResult{.exitStatus = 2, .err = "bwrap: x\n"}, "CLI exit 2: bwrap: x\n"}};
  for (const auto& [outcome, expected] : cases)
    EXPECT_EQ(text(LLMRunner::toolAnswer(outcome, config)), expected) << expected.substr(0, 40);
  // While it runs, its last line on stderr as the panel and the live line show it: no escape reaches a terminal.
  EXPECT_EQ(LLMRunner::toolWords("\t\x1b[2KReconnecting...\x07 3/5\xC2\x9B \r"), "[2KReconnecting... 3/5");
  EXPECT_EQ(LLMRunner::toolWords("\xFF" + a300), fffd + a300.substr(0, 119));
}

// A server that never answers: a cancel or the idle limit ends the chat call; the listing gives up in time.
TEST(LLMRunnerTest, ASilentServerHoldsNoCallPastItsLimit) {
  FakeHttpServer silent([](const FakeRequest&) { return FakeReply{.hang = true}; });
  ProviderConfig config{.ollamaURL = silent.baseURL(), .lmStudioURL = silent.baseURL(),
                        .probeTimeout = 300ms};
  auto cancel = std::make_shared<Cancellation>();
  cancel->cancel();
  for (const auto& model : {kOllama, kLMStudio})
    EXPECT_EQ(run("x", model, config, cancel), kCancelledMessage) << model.id;  // the idle limit is 120 s
  config.chatIdleTimeout = 300ms;
  EXPECT_EQ(run("x", kOllama, config), "the request timed out (no data for 300 ms)");
  EXPECT_EQ(runToCompletion(OllamaProbe::list(config), LMStudioProbe::list(config)), std::tuple(Models{}, Models{}));
}

// Which copy of a tool is listed and runs: Homebrew's, /usr/local, the home folder's, PATH's absolute folders,
// then nvm's newest Node version (by number, not by name). It runs in an empty scratch folder of its own,
// without CLAUDECODE (recorded in "env"; its argv in "argv").
TEST(LLMRunnerToolTest, ToolPlacesInOrderScratchFolderAndModelsThatCannotRun) {
  testing::TempDir root;
  const ProviderConfig config{.rootDirectory = root.path().string(), .homeDirectory = (root / "home").string(),
                              .searchPath = "relative::.:" + (root / "bin").string(),  // not the machine's own PATH
                              .sealTools = false};  // the records below are written under /tmp
  auto install = [&](const std::string& relative, const std::string& body, bool executable = true) {
    testing::writeScript(root / relative,
                         "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > " + (root / "argv").string() +
                             "\n{ pwd; ls -A; echo \"${CLAUDECODE-unset}\"; } > " + (root / "env").string() + "\n" +
                             body, executable);
  };
  for (const auto& dir : CLIProbe::searchDirectories(config)) EXPECT_TRUE(dir.starts_with('/')) << dir;
  EXPECT_EQ(run("x", kClaude, config), "CLI tool not found");
  EXPECT_EQ(run("x", {"gemini:x", P::gemini, "x", std::nullopt}, config), "Gemini provider not yet wired");
  install("usr/local/bin/codex", "", false);  // neither a file that cannot run nor a folder counts
  std::filesystem::create_directories(root / "usr/local/bin/claude");
  EXPECT_TRUE(runToCompletion(CLIProbe::list(config)).empty());

  install("home/.nvm/versions/node/v9.11.2/bin/codex", "echo v9\n");
  install("home/.nvm/versions/node/v18.19.0/bin/codex", "cat; echo v18\n");
  EXPECT_EQ(run("hi", kCodex, config), "(answer) v18\n");  // stdin is /dev/null: `cat` returns at once
  EXPECT_EQ(readFile(root / "argv"), recorded({"exec", "--skip-git-repo-check", LLMRunner::combinedPrompt("hi")}));
  EXPECT_EQ(runToCompletion(CLIProbe::list(config)), std::vector<LLMModel>{CLIProbe::codexModel()});
  install("bin/codex", "echo path\n");
  EXPECT_EQ(run("x", kCodex, config), "(answer) path\n");
  fs::remove(root / "usr/local/bin/claude");
  for (auto place : {"usr/bin/", "home/.local/bin/", "home/.claude/local/", "usr/local/bin/", "opt/homebrew/bin/"}) {
    install(std::string(place) + "claude", "echo " + std::string(place) + "\n");
    EXPECT_EQ(run("x", kClaude, config), "(answer) " + std::string(place) + "\n");
  }
  install("opt/homebrew/bin/claude", "echo brew\n", false);  // a file that cannot run is passed over
  ::setenv("CLAUDECODE", "1", 1);
  EXPECT_EQ(run("x", kClaude, config), "(answer) usr/local/bin/\n");
  ::unsetenv("CLAUDECODE");
  // Claude gets no tools and no MCP server: a pack needs text only.
  EXPECT_EQ(readFile(root / "argv"), recorded({"-p", LLMRunner::combinedPrompt("x"), "--output-format", "text", "--tools", "",
                                               "--strict-mcp-config"}));
  std::string env = readFile(root / "env"), cwd = env.substr(0, env.find('\n'));
  EXPECT_EQ(env, cwd + "\nunset\n");  // nothing in the folder, CLAUDECODE removed
  EXPECT_TRUE(cwd.find("/tavlo-tool-") != std::string::npos && !fs::exists(cwd)) << cwd;
  auto stop = std::make_shared<Cancellation>();  // the panel's Stop reaches the tool's run
  stop->cancel();
  EXPECT_EQ(run("x", kClaude, config, stop), kCancelledMessage);
}

// What a sealed tool sees: the system read-only, the homes and temp folders empty (parents first), its own
// files read-write, the folder it is installed in read-only (never one that would uncover a hidden folder),
// the scratch folder as its working folder, in a PID namespace that dies with the companion.
TEST(ToolSealTest, SealedCommandHidesTheHomeAndBindsBackOnlyTheToolsOwn) {
  const std::string nvm = "/home/u/.nvm/versions/node/v20";
  ToolSeal::Plan plan{.bwrap = "/usr/bin/bwrap", .tool = nvm + "/lib/node_modules/@anthropic-ai/claude-code/cli.js",
                      .args = {"-p", "", "x y"}, .scratch = "/tmp/tavlo-tool-1",
                      .hidden = {"/tmp", "/home/u/", "/home", "relative", "/"},
                      .ownFiles = {"/home/u/.claude", "/home/u/.claude.json", "/home/u", "/"},
                      .installed = {nvm + "/lib/node_modules/@anthropic-ai/claude-code/cli.js", nvm + "/bin/node"}};
  EXPECT_EQ(ToolSeal::sealedCommand(plan),
            (std::vector<std::string>{"/usr/bin/bwrap", "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc",
                                      "--unshare-pid", "--die-with-parent", "--new-session",
                                      "--tmpfs", "/home", "--tmpfs", "/home/u", "--tmpfs", "/tmp",
                                      "--bind-try", "/home/u/.claude", "/home/u/.claude", "--bind-try",
                                      "/home/u/.claude.json", "/home/u/.claude.json", "--ro-bind", nvm, nvm,
                                      "--ro-bind", nvm + "/bin", nvm + "/bin", "--bind", "/tmp/tavlo-tool-1",
                                      "/tmp/tavlo-tool-1", "--chdir", "/tmp/tavlo-tool-1", "--unsetenv",
                                      "DBUS_SESSION_BUS_ADDRESS", "--", plan.tool, "-p", "", "x y"}));
  // A tool kept right in the home comes back alone; one the system shows anyway is not bound.
  const std::pair<std::string, std::vector<std::string>> installs[] = {
      {"/home/u/claude", {"/home/u/claude"}}, {"/home/u/node_modules/x/cli.js", {"/home/u/node_modules/x/cli.js"}},
      {"/home/u/.local/share/claude/versions/2.1.0", {"/home/u/.local/share/claude/versions"}},
      {"/usr/local/lib/node_modules/@openai/codex/bin/codex.js", {}}, {"/opt/codex/codex", {}}};
  for (const auto& [file, expected] : installs) {
    plan.installed = {file};
    const auto argv = ToolSeal::sealedCommand(plan);
    std::vector<std::string> bound;
    for (std::size_t i = 4; i + 1 < argv.size(); ++i)  // after "--ro-bind / /"
      if (argv[i] == "--ro-bind") bound.push_back(argv[i + 1]);
    EXPECT_EQ(bound, expected) << file;
  }
  EXPECT_EQ(ToolSeal::installRoot("/home/u/.npm-global/lib/node_modules/@openai/codex/bin/codex.js"),
            "/home/u/.npm-global");
}

// "#!/usr/bin/env node" finds node where the tool's PATH does; a binary has no interpreter.
TEST(ToolSealTest, InterpreterOfAScriptIsFoundOnThePathAndResolved) {
  testing::TempDir dir;
  testing::writeScript(dir / "real/node", "");
  fs::create_directories(dir / "bin");
  fs::create_symlink(dir / "real/node", dir / "bin/node");
  const std::string path = "relative:" + (dir / "empty").string() + ":" + (dir / "bin").string();
  testing::writeFile(dir / "tool", "#!/usr/bin/env -S node --flag\n");
  testing::writeFile(dir / "sh-tool", "#!/bin/sh -e\n");
  testing::writeFile(dir / "binary", "\x7f" "ELF");
  EXPECT_EQ(ToolSeal::interpreterOf((dir / "tool").string(), path), fs::canonical(dir / "real/node").string());
  EXPECT_EQ(ToolSeal::interpreterOf((dir / "sh-tool").string(), path), fs::canonical("/bin/sh").string());
  EXPECT_EQ(ToolSeal::interpreterOf((dir / "binary").string(), path), "");
}

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

// The Ollama tool's own readings of OLLAMA_HOST: the URL the companion calls and the host it names
// when the server is another computer ("" for this one), or the error a bad value gives.
TEST(ServerAddressTest, OllamaHostReadsAsTheOllamaToolReadsIt) {
  const struct { const char* value; std::string url, remote; } cases[] = {
      {"", "http://127.0.0.1:11434", ""},
      {"gpu-box", "http://gpu-box:11434", "gpu-box"},
      {" 'gpu-box:8080' ", "http://gpu-box:8080", "gpu-box"},
      {"\"192.168.1.20\"", "http://192.168.1.20:11434", "192.168.1.20"},
      {"http://gpu-box", "http://gpu-box:80", "gpu-box"},  // a scheme brings its own port
      {"HTTPS://gpu-box", "https://gpu-box:443", "gpu-box"},
      {"https://gpu-box:8443/ollama//", "https://gpu-box:8443/ollama", "gpu-box"},
      {"fd00::5", "http://[fd00::5]:11434", "fd00::5"},
      {"[fd00::5]:9000", "http://[fd00::5]:9000", "fd00::5"},
      {"gpu-box:", "http://gpu-box:11434", "gpu-box"},
      // This computer, however written.
      {"0.0.0.0", "http://127.0.0.1:11434", ""},
      {"::", "http://[::1]:11434", ""},
      {":11500", "http://127.0.0.1:11500", ""},
      {"localhost", "http://localhost:11434", ""},
      {"127.0.0.2:1", "http://127.0.0.2:1", ""},
      {"[::1]", "http://[::1]:11434", ""},
      // Bad values.
      {"ftp://gpu-box", "the scheme must be http or https", ""},
      {"gpu-box:99999", "the port must be a number from 1 to 65535", ""},
      {"gpu-box:80a", "the port must be a number from 1 to 65535", ""},
      {"[fd00::5:80", "an IPv6 address goes in brackets: [ADDRESS]:PORT", ""},
      {"[fd00::5]x", "an IPv6 address goes in brackets: [ADDRESS]:PORT", ""},
      {"fd00::5::1", "'fd00::5::1' is not a host name or address", ""},
      {"me@gpu-box", "'me@gpu-box' is not a host name or address", ""},
      {"-gpu", "'-gpu' is not a host name or address", ""},
      {"http://gpu-box/a b", "the path may not hold blanks, '?', '#' or '\\'", ""},
  };
  for (const auto& c : cases) {
    const auto address = parseServerAddress(c.value, 11434);
    const auto got = address ? std::make_pair(address->url, address->remoteHost)
                             : std::make_pair(address.error().message, std::string());
    EXPECT_EQ(got, std::make_pair(c.url, c.remote)) << c.value;
  }
}

// LM Studio's own default port when TAVLO_LMSTUDIO_URL names none. (Both variables read, a final "/v1"
// dropped, a bad value named, and what a remote model is called: the end-to-end command tests.)
TEST(ServerAddressTest, LMStudioWithoutAPortIsAsked1234) {
  ::setenv("TAVLO_LMSTUDIO_URL", "studio.lan", 1);
  ProviderConfig config;
  EXPECT_TRUE(config.readServerAddresses().ok());
  ::unsetenv("TAVLO_LMSTUDIO_URL");
  EXPECT_EQ(config.lmStudioURL + " " + config.lmStudioHost, "http://studio.lan:1234 studio.lan");
}

}  // namespace
}  // namespace tavlo
