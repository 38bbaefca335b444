#include "providers/CLIProbe.hpp"

#include <exception>

#include "platform/Async.hpp"
#include "platform/ProcessRunner.hpp"

namespace tavlo::CLIProbe {

std::vector<std::string> searchDirectories(const ProviderConfig& config) {
  const std::string& root = config.rootDirectory;
  std::vector<std::string> dirs{root + "/opt/homebrew/bin/", root + "/usr/local/bin/"};
  if (std::string home = config.home(); !home.empty()) {
    dirs.push_back(home + "/.local/bin/");
    dirs.push_back(home + "/.claude/local/");
  }
  // Debian packages and npm's system prefix install here.
  dirs.push_back(root + "/usr/bin/");
  return dirs;
}

bool exists(const std::string& tool, const ProviderConfig& config) {
  for (const auto& dir : searchDirectories(config))
    if (isExecutableFile(dir + tool)) return true;
  return false;
}

LLMModel claudeModel() { return {"claude:cli", LLMModel::Provider::claude, "Claude (CLI)", "uses your Claude Code login"}; }

LLMModel codexModel() { return {"codex:cli", LLMModel::Provider::codex, "Codex (CLI)", "OpenAI Codex login"}; }

std::vector<LLMModel> listNow(const ProviderConfig& config) {
  std::vector<LLMModel> out;
  if (exists("claude", config)) out.push_back(claudeModel());
  if (exists("codex", config)) out.push_back(codexModel());
  return out;
}

void list(const ProviderConfig& config, std::function<void(std::vector<LLMModel>)> done) {
  // A home folder on a stalled network mount must not stall the caller.
  asio::post(workerPool(), [config, done = std::move(done)]() mutable {
    std::vector<LLMModel> models;
    try {
      models = listNow(config);
    } catch (const std::exception&) {
      models.clear();
    }
    done(std::move(models));
  });
}

asio::awaitable<std::vector<LLMModel>> list() { return list(ProviderConfig{}); }

asio::awaitable<std::vector<LLMModel>> list(ProviderConfig config) {
  return awaitCallback<std::vector<LLMModel>>(
      [config = std::move(config)](std::function<void(std::vector<LLMModel>)> done) { list(config, std::move(done)); });
}

}  // namespace tavlo::CLIProbe
