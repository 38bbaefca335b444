#include "providers/LLMRunner.hpp"

#include <algorithm>
#include <exception>
#include <thread>

#include <nlohmann/json.hpp>

#include "text/UnicodeText.hpp"
#include "platform/Async.hpp"
#include "platform/Cancellation.hpp"
#include "platform/HttpClient.hpp"
#include "providers/ProviderJSON.hpp"
#include "platform/ProcessRunner.hpp"
#include "providers/CLIProbe.hpp"

namespace tavlo::LLMRunner {
namespace {

using nlohmann::json;

// Delivers on the worker pool, never on the caller's thread, and keeps a
// throwing callback from escaping a thread.
void deliverLater(Done done, LLMResult result) {
  asio::post(workerPool(), [done = std::move(done), result = std::move(result)]() mutable {
    try {
      done(std::move(result));
    } catch (...) {
    }
  });
}

void deliver(Done& done, LLMResult result) {
  try {
    done(std::move(result));
  } catch (...) {
  }
}

json chatMessages(const std::string& prompt) {
  return json::array({{{"role", "system"}, {"content", systemPrompt()}}, {{"role", "user"}, {"content", prompt}}});
}

std::string jsonText(const json& body) { return body.dump(-1, ' ', false, json::error_handler_t::replace); }

// Sends the chat request and reads the answer on the worker pool, off the HTTP thread.
void postChat(const ProviderConfig& config, std::string url, std::string body, LLMResult (*read)(const FetchResponse&),
              Done done, std::shared_ptr<Cancellation> cancel) {
  FetchRequest request;
  request.method = "POST";
  request.url = std::move(url);
  request.headers = {{"Content-Type", "application/json"}};
  request.body = std::move(body);
  request.idleTimeout = config.chatIdleTimeout;
  request.cancel = cancel;
  config.client().send(std::move(request), [read, cancel, done = std::move(done)](FetchResponse response) mutable {
    asio::post(workerPool(), [read, cancel, done = std::move(done), response = std::move(response)]() mutable {
      LLMResult result;
      try {
        result = cancel && cancel->cancelled() ? LLMResult::failure(LLMError::network(kCancelledMessage))
                                               : read(response);
      } catch (const std::exception& e) {
        result = LLMResult::platformFailure(e.what());
      }
      deliver(done, std::move(result));
    });
  });
}

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

LLMResult ollamaAnswer(const FetchResponse& response) {
  if (!response.ok()) return LLMResult::platformFailure(response.error);
  if (response.status == 0) return LLMResult::failure(LLMError::network("no response"));
  if (response.status < 200 || response.status >= 300) {
    std::string tail = isValidUTF8(response.body) ? std::string(graphemePrefix(response.body, 400)) : "(no body)";
    return LLMResult::failure(LLMError::network("ollama " + std::to_string(response.status) + ": " + tail));
  }
  auto body = parseProviderJSON(response.body);
  if (body.is_object()) {
    auto message = body.find("message");
    if (message != body.end() && message->is_object()) {
      auto content = message->find("content");
      if (content != message->end() && content->is_string()) return LLMResult::success(content->get<std::string>());
    }
  }
  return LLMResult::failure(LLMError::network("malformed ollama response"));
}

LLMResult lmstudioAnswer(const FetchResponse& response) {
  if (!response.ok()) return LLMResult::platformFailure(response.error);
  // The status is not examined: an error status with a readable completion still counts.
  auto body = parseProviderJSON(response.body);
  if (body.is_object()) {
    auto choices = body.find("choices");
    if (choices != body.end() && choices->is_array() && !choices->empty() && choices->front().is_object()) {
      const auto& first = choices->front();
      auto message = first.find("message");
      if (message != first.end() && message->is_object()) {
        auto content = message->find("content");
        if (content != message->end() && content->is_string()) return LLMResult::success(content->get<std::string>());
      }
    }
  }
  return LLMResult::failure(LLMError::network("malformed LM Studio response"));
}

LLMResult toolAnswer(const ProcessResult& result, const ProviderConfig& config) {
  if (result.stopped) return LLMResult::failure(LLMError::network(kStoppedMessage));
  if (result.cancelled) return LLMResult::failure(LLMError::network(kCancelledMessage));
  if (!result.started) return LLMResult::platformFailure(result.error);
  if (result.timedOut)
    return LLMResult::failure(
        LLMError::network("CLI tool stopped: no answer within " + durationText(config.toolTimeLimit)));
  if (result.exitStatus != 0) {
    int status = result.exitStatus == -1 ? result.termSignal : result.exitStatus;
    std::string reason = asText(result.err);
    // Some tools explain a failure on standard output only ("Not logged in").
    if (reason.find_first_not_of(" \t\r\n") == std::string::npos) reason = lastLines(asText(result.out), 500);
    return LLMResult::failure(LLMError::network("CLI exit " + std::to_string(status) + ": " + reason));
  }
  if (result.truncated && result.out.size() >= ProcessRequest{}.outputLimit)
    return LLMResult::failure(LLMError::network("CLI answer larger than 64 MiB"));
  return LLMResult::success(asText(result.out));
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

void runShellTool(const std::vector<std::string>& paths, std::vector<std::string> arguments,
                  const ProviderConfig& config, Done done, std::shared_ptr<Cancellation> cancel) {
  auto chosen = std::find_if(paths.begin(), paths.end(), [](const std::string& p) { return isExecutableFile(p); });
  if (chosen == paths.end()) return deliverLater(std::move(done), LLMResult::failure(LLMError::unsupported("CLI tool not found")));

  ProcessRequest request;
  request.executable = *chosen;
  request.args = std::move(arguments);
  request.timeLimit = config.toolTimeLimit;
  // `claude -p` waits for stdin when it is an open pipe, and refuses to start
  // inside another Claude Code session.
  request.unsetEnvironment = {"CLAUDECODE"};
  // A tool lives for minutes: it gets a thread of its own rather than one of
  // the shared pool's few workers.
  // It runs in an empty folder of its own, removed afterwards.
  request.scratchDirectory = true;
  request.cancel = std::move(cancel);
  std::thread([request = std::move(request), config, done = std::move(done)]() mutable {
    LLMResult result;
    try {
      result = toolAnswer(runProcess(request), config);
    } catch (const std::exception& e) {
      result = LLMResult::platformFailure(e.what());
    }
    deliver(done, std::move(result));
  }).detach();
}

void ollama(const std::string& prompt, const std::string& modelName, const ProviderConfig& config, Done done,
            std::shared_ptr<Cancellation> cancel) {
  json body{{"model", modelName}, {"messages", chatMessages(prompt)}, {"stream", false}, {"format", "json"}};
  postChat(config, config.ollamaURL + "/api/chat", jsonText(body), &ollamaAnswer, std::move(done),
           std::move(cancel));
}

void lmstudio(const std::string& prompt, const std::string& modelName, const ProviderConfig& config, Done done,
              std::shared_ptr<Cancellation> cancel) {
  json body{{"model", modelName}, {"messages", chatMessages(prompt)}, {"temperature", 0.3}, {"stream", false}};
  postChat(config, config.lmStudioURL + "/v1/chat/completions", jsonText(body), &lmstudioAnswer,
           std::move(done), std::move(cancel));
}

void claudeCLI(const std::string& prompt, const ProviderConfig& config, Done done,
               std::shared_ptr<Cancellation> cancel) {
  runShellTool(claudePaths(config), {"-p", combinedPrompt(prompt), "--output-format", "text"}, config, std::move(done),
               std::move(cancel));
}

void codexCLI(const std::string& prompt, const ProviderConfig& config, Done done,
              std::shared_ptr<Cancellation> cancel) {
  // Today's codex answers non-interactively through `exec`: the final message
  // on stdout, progress on stderr.
  runShellTool(codexPaths(config), {"exec", "--skip-git-repo-check", combinedPrompt(prompt)}, config, std::move(done),
               std::move(cancel));
}

void generate(std::string prompt, LLMModel model, const ProviderConfig& config, Done done,
              std::shared_ptr<Cancellation> cancel) {
  try {
    switch (model.provider) {
      case LLMModel::Provider::ollama: return ollama(prompt, model.name, config, std::move(done), std::move(cancel));
      case LLMModel::Provider::lmstudio:
        return lmstudio(prompt, model.name, config, std::move(done), std::move(cancel));
      case LLMModel::Provider::claude: return claudeCLI(prompt, config, std::move(done), std::move(cancel));
      case LLMModel::Provider::codex: return codexCLI(prompt, config, std::move(done), std::move(cancel));
      case LLMModel::Provider::gemini: break;
    }
    deliverLater(std::move(done), LLMResult::failure(LLMError::unsupported("Gemini provider not yet wired")));
  } catch (const std::exception& e) {
    if (done) deliverLater(std::move(done), LLMResult::platformFailure(e.what()));
  }
}

asio::awaitable<LLMResult> generate(std::string prompt, LLMModel model) {
  return generate(std::move(prompt), std::move(model), ProviderConfig{});
}

asio::awaitable<LLMResult> generate(std::string prompt, LLMModel model, ProviderConfig config) {
  return awaitCallback<LLMResult>(
      [prompt = std::move(prompt), model = std::move(model), config = std::move(config)](Done done) mutable {
        generate(std::move(prompt), std::move(model), config, std::move(done));
      });
}

}  // namespace tavlo::LLMRunner
