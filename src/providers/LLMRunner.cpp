#include "providers/LLMRunner.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/Async.hpp"
#include "platform/Cancellation.hpp"
#include "platform/HttpClient.hpp"
#include "platform/ProcessRunner.hpp"
#include "providers/CLIProbe.hpp"
#include "providers/ProviderJSON.hpp"
#include "providers/ToolSeal.hpp"
#include "text/UnicodeText.hpp"

namespace tavlo::LLMRunner {
namespace {

using nlohmann::json;
using AnswerReader = Result<std::string> (*)(const Result<FetchResponse>&);

json chatMessages(const std::string& prompt) {
  return json::array({{{"role", "system"}, {"content", systemPrompt()}}, {{"role", "user"}, {"content", prompt}}});
}

std::string jsonText(const json& body) { return body.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string durationText(std::chrono::milliseconds d) {
  auto ms = d.count();
  if (ms % 60000 == 0) return std::to_string(ms / 60000) + (ms == 60000 ? " minute" : " minutes");
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + (ms == 1000 ? " second" : " seconds");
  return std::to_string(ms) + " ms";
}

std::vector<std::string> toolPaths(const std::string& tool, std::vector<std::string> own, const ProviderConfig& config) {
  for (const auto& dir : CLIProbe::searchDirectories(config)) {
    std::string path = dir + tool;
    if (std::find(own.begin(), own.end(), path) == own.end()) own.push_back(path);
  }
  return own;
}

// A tool's output as text: bytes that are not UTF-8 read as U+FFFD, as in the
// HTTP back ends' answers, rather than losing the whole answer.
std::string asText(const std::string& bytes) { return isValidUTF8(bytes) ? bytes : toValidUTF8(bytes); }

// The last lines of valid UTF-8 `text` that are not blank and fit, with the line
// feeds between them, in `limit` characters; the end of the last line alone when it is longer.
std::string lastLines(std::string_view text, std::size_t limit) {
  auto characters = [](std::string_view s) {
    return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
  };
  std::vector<std::string_view> kept;
  std::size_t used = 0;
  std::size_t end = text.size();
  while (end > 0) {
    std::size_t start = text.rfind('\n', end - 1);
    start = start == std::string_view::npos ? 0 : start + 1;
    std::string_view line = text.substr(start, end - start);
    end = start > 0 ? start - 1 : 0;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    const std::size_t cost = characters(line) + (kept.empty() ? 0 : 1);
    if (used + cost > limit) {
      if (kept.empty()) {
        std::size_t cut = line.size();
        for (std::size_t n = 0; n < limit; ++n)
          do --cut;
          while (cut > 0 && (line[cut] & 0xC0) == 0x80);
        kept.push_back(line.substr(cut));
      }
      break;
    }
    kept.push_back(line);
    used += cost;
  }
  std::string out;
  for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
    if (!out.empty()) out += '\n';
    out += *it;
  }
  return out;
}

FetchRequest chatRequest(const ProviderConfig& config, std::string url, std::string body,
                         std::shared_ptr<Cancellation> cancel) {
  FetchRequest request;
  request.method = "POST";
  request.url = std::move(url);
  request.headers = {{"Content-Type", "application/json"}};
  request.body = std::move(body);
  request.idleTimeout = config.chatIdleTimeout;
  request.cancel = std::move(cancel);
  return request;
}

// The answer is read on the worker pool: a large one must not stall the caller's thread.
asio::awaitable<Result<std::string>> readOffThread(AnswerReader read, Result<FetchResponse> response) {
  return runBlocking([read, response = std::move(response)] { return read(response); });
}

asio::awaitable<Result<std::string>> postChat(ProviderConfig config, std::string url, std::string body,
                                              AnswerReader read, std::shared_ptr<Cancellation> cancel) {
  FetchRequest request = chatRequest(config, std::move(url), std::move(body), cancel);
  Result<FetchResponse> response = co_await config.client().send(std::move(request));
  if (cancel && cancel->cancelled()) co_return fail(kCancelledMessage);
  Result<std::string> answer = co_await readOffThread(read, std::move(response));
  co_return answer;
}

asio::awaitable<Result<std::string>> answerAtOnce(Result<std::string> answer) { co_return answer; }

// The environment variable naming a folder, else `fallback`.
std::string folderFromEnvironment(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value == '/' ? value : fallback;
}

// The command-line tools, in one place: where each is looked for, its
// arguments, and the files it keeps its login and settings in (the one part
// of the home a sealed tool sees). A pack needs text only: claude gets no
// built-in tool and none of the user's MCP servers.
struct CLITool {
  std::vector<std::string> (*paths)(const ProviderConfig&);
  std::vector<std::string> (*arguments)(std::string combined);
  std::vector<std::string> (*ownFiles)(const std::string& home);
};

const CLITool kClaudeTool{
    &claudePaths,
    [](std::string combined) -> std::vector<std::string> {
      // "--tools" takes several values: the empty one ends at the next option.
      return {"-p", std::move(combined), "--output-format", "text", "--tools", "", "--strict-mcp-config"};
    },
    [](const std::string& home) -> std::vector<std::string> {
      return {folderFromEnvironment("CLAUDE_CONFIG_DIR", home + "/.claude"), home + "/.claude.json"};
    }};

const CLITool kCodexTool{
    &codexPaths,
    // Today's codex answers non-interactively through `exec`: the final
    // message on stdout, progress on stderr.
    [](std::string combined) -> std::vector<std::string> {
      return {"exec", "--skip-git-repo-check", std::move(combined)};
    },
    [](const std::string& home) -> std::vector<std::string> {
      return {folderFromEnvironment("CODEX_HOME", home + "/.codex")};
    }};

// The sealed command for the tool at `chosen`, once its scratch folder exists
// (on the tool's own thread: it looks at the file system).
ProcessRequest::Wrapper sealWith(std::string bwrap, const std::string& chosen, std::vector<std::string> ownFiles,
                                 const ProviderConfig& config) {
  return [bwrap = std::move(bwrap), chosen, ownFiles = std::move(ownFiles), home = config.home(),
          searchPath = config.path()](const std::string& scratch, const std::vector<std::string>& args) {
    return ToolSeal::sealedCommand(ToolSeal::planFor(bwrap, chosen, args, scratch, home, searchPath, ownFiles));
  };
}

// Runs the tool's first executable on a thread of its own (a tool lives for
// minutes), sealed unless the user turned that off, in an empty folder of its
// own removed afterwards; its standard output is the answer.
asio::awaitable<Result<std::string>> runShellTool(const CLITool& tool, std::string prompt, const ProviderConfig& config,
                                                  std::shared_ptr<Cancellation> cancel) {
  const std::string chosen = CLIProbe::firstExecutable(tool.paths(config));
  if (chosen.empty()) return answerAtOnce(fail("CLI tool not found"));
  ProcessRequest request;
  request.executable = chosen;
  request.args = tool.arguments(combinedPrompt(prompt));
  request.timeLimit = config.toolTimeLimit;
  // `claude -p` waits for stdin when it is an open pipe, and refuses to start
  // inside another Claude Code session.
  request.unsetEnvironment = {"CLAUDECODE"};
  request.scratchDirectory = true;
  if (cancel) request.onErrLine = [words = cancel](std::string_view line) { words->setLastWords(toolWords(line)); };
  request.cancel = std::move(cancel);
  if (config.sealTools) {
    std::string bwrap = ToolSeal::findBubblewrap(config.path());
    if (bwrap.empty()) return answerAtOnce(fail(ToolSeal::notInstalledMessage()));
    request.wrap = sealWith(std::move(bwrap), chosen, tool.ownFiles(config.home()), config);
  }
  return runOnOwnThread([request = std::move(request), config] { return toolAnswer(runProcess(request), config); });
}

asio::awaitable<Result<std::string>> ollama(const std::string& prompt, const std::string& modelName,
                                            const ProviderConfig& config, std::shared_ptr<Cancellation> cancel) {
  json body{{"model", modelName}, {"messages", chatMessages(prompt)}, {"stream", false}, {"format", "json"}};
  return postChat(config, config.ollamaURL + "/api/chat", jsonText(body), &ollamaAnswer, std::move(cancel));
}

asio::awaitable<Result<std::string>> lmstudio(const std::string& prompt, const std::string& modelName,
                                              const ProviderConfig& config, std::shared_ptr<Cancellation> cancel) {
  json body{{"model", modelName}, {"messages", chatMessages(prompt)}, {"temperature", 0.3}, {"stream", false}};
  return postChat(config, config.lmStudioURL + "/v1/chat/completions", jsonText(body), &lmstudioAnswer,
                  std::move(cancel));
}

}  // namespace

const std::string& systemPrompt() {
  static const std::string text = R"PROMPT(You are Tavlo, an assistant that authors iOS Tavlo Packs. The user asks for a Safari userscript, a keyboard button, or a small transformation. You always output a single JSON object with this exact shape — no prose, no markdown fences:

{
  "name": "kebab-case-name",
  "summary": "one short sentence",
  "keyboard_buttons": [
    { "label": "string shown on key", "kind": "snippet" | "newline" | "last_capture", "text": "optional insertion text" }
  ],
  "userscripts": [
    { "filename": "kebab-case.user.js",
      "name": "Human readable name",
      "match": "*://*/*",
      "description": "what it does",
      "run_at": "document-idle",
      "body": "(() => { /* JS code */ })();" }
  ],
  "python_recipes": [
    { "filename": "snake_case.py", "summary": "what it does", "body": "# python code" }
  ]
}

Keep arrays empty if not relevant. JSON only.)PROMPT";
  return text;
}

std::string combinedPrompt(std::string_view prompt) {
  std::string out = systemPrompt();
  out += "\n\nUSER: ";
  out += prompt;
  out += "\n\nJSON:";
  return out;
}

Result<std::string> ollamaAnswer(const Result<FetchResponse>& response) {
  if (!response) return response.error();
  if (response->status == 0) return fail("no response");
  if (response->status < 200 || response->status >= 300) {
    std::string tail = isValidUTF8(response->body) ? std::string(graphemePrefix(response->body, 400)) : "(no body)";
    return fail("ollama " + std::to_string(response->status) + ": " + tail);
  }
  auto body = parseProviderJSON(response->body);
  if (body.is_object()) {
    auto message = body.find("message");
    if (message != body.end() && message->is_object()) {
      auto content = message->find("content");
      if (content != message->end() && content->is_string()) return content->get<std::string>();
    }
  }
  return fail("malformed ollama response");
}

Result<std::string> lmstudioAnswer(const Result<FetchResponse>& response) {
  if (!response) return response.error();
  // The status is not examined: an error status with a readable completion still counts.
  auto body = parseProviderJSON(response->body);
  if (body.is_object()) {
    auto choices = body.find("choices");
    if (choices != body.end() && choices->is_array() && !choices->empty() && choices->front().is_object()) {
      const auto& first = choices->front();
      auto message = first.find("message");
      if (message != first.end() && message->is_object()) {
        auto content = message->find("content");
        if (content != message->end() && content->is_string()) return content->get<std::string>();
      }
    }
  }
  return fail("malformed LM Studio response");
}

Result<std::string> toolAnswer(const Result<ProcessResult>& ran, const ProviderConfig& config) {
  if (!ran) return ran.error();
  const ProcessResult& result = *ran;
  if (result.stopped) return fail(kStoppedMessage);
  if (result.cancelled) return fail(kCancelledMessage);
  if (result.timedOut) return fail("CLI tool stopped: no answer within " + durationText(config.toolTimeLimit));
  if (config.sealTools)
    if (auto unsealable = ToolSeal::sealFailure(result)) return fail(*unsealable);
  if (result.exitStatus != 0) {
    int status = result.exitStatus == -1 ? result.termSignal : result.exitStatus;
    // bubblewrap passes a signal on as 128 + its number; the phone reads the signal, as unsealed.
    if (config.sealTools && status > 128 && status <= 128 + 64) status -= 128;
    std::string reason = asText(result.err);
    // Some tools explain a failure on standard output only ("Not logged in").
    if (reason.find_first_not_of(" \t\r\n") == std::string::npos) reason = lastLines(asText(result.out), 500);
    return fail("CLI exit " + std::to_string(status) + ": " + reason);
  }
  if (result.truncated && result.out.size() >= ProcessRequest{}.outputLimit) return fail("CLI answer larger than 64 MiB");
  return asText(result.out);
}

std::string toolWords(std::string_view line) {
  const std::string valid = toValidUTF8(line);
  std::string shown;
  for (std::size_t i = 0; i < valid.size();) {
    const std::size_t start = i;
    const char32_t c = nextCodePoint(valid, i);
    const bool control = c < 0x20 || (c >= 0x7F && c < 0xA0);
    if (!control) shown.append(valid, start, i - start);
  }
  const auto first = shown.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  shown = shown.substr(first, shown.find_last_not_of(' ') - first + 1);
  return std::string(graphemePrefix(shown, 120));
}

std::vector<std::string> claudePaths(const ProviderConfig& config) {
  const std::string& root = config.rootDirectory;
  std::vector<std::string> own{root + "/opt/homebrew/bin/claude", root + "/usr/local/bin/claude"};
  if (std::string home = config.home(); !home.empty()) own.push_back(home + "/.claude/local/claude");
  return toolPaths("claude", std::move(own), config);
}

std::vector<std::string> codexPaths(const ProviderConfig& config) {
  const std::string& root = config.rootDirectory;
  return toolPaths("codex", {root + "/opt/homebrew/bin/codex", root + "/usr/local/bin/codex"}, config);
}

asio::awaitable<Result<std::string>> generate(std::string prompt, LLMModel model, ProviderConfig config,
                                              std::shared_ptr<Cancellation> cancel) {
  switch (model.provider) {
    case LLMModel::Provider::ollama: return ollama(prompt, model.name, config, std::move(cancel));
    case LLMModel::Provider::lmstudio: return lmstudio(prompt, model.name, config, std::move(cancel));
    case LLMModel::Provider::claude: return runShellTool(kClaudeTool, std::move(prompt), config, std::move(cancel));
    case LLMModel::Provider::codex: return runShellTool(kCodexTool, std::move(prompt), config, std::move(cancel));
    case LLMModel::Provider::gemini: break;
  }
  return answerAtOnce(fail("Gemini provider not yet wired"));
}

}  // namespace tavlo::LLMRunner
