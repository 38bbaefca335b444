#include "providers/CLIProbe.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "platform/Async.hpp"
#include "platform/ProcessRunner.hpp"

namespace tavlo::CLIProbe {

namespace {

// "v20.11.1" as {20, 11, 1}; anything else sorts below every version.
std::vector<long> versionNumbers(const std::string& name) {
  std::vector<long> numbers;
  if (!name.starts_with('v')) return numbers;
  std::stringstream in(name.substr(1));
  for (std::string part; std::getline(in, part, '.');) numbers.push_back(std::atol(part.c_str()));
  return numbers;
}

std::vector<std::string> nvmDirectories(const std::string& home) {
  std::vector<std::string> versions;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(home + "/.nvm/versions/node", ec))
    versions.push_back(entry.path().filename().string());
  std::sort(versions.begin(), versions.end(),
            [](const std::string& a, const std::string& b) { return versionNumbers(a) > versionNumbers(b); });
  std::vector<std::string> dirs;
  for (const auto& v : versions) dirs.push_back(home + "/.nvm/versions/node/" + v + "/bin/");
  return dirs;
}

void addOnce(std::vector<std::string>& dirs, std::string dir) {
  if (dir.back() != '/') dir += '/';
  if (std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.push_back(std::move(dir));
}

}  // namespace

std::vector<std::string> searchDirectories(const ProviderConfig& config) {
  const std::string& root = config.rootDirectory;
  const std::string home = config.home();
  std::vector<std::string> dirs{root + "/opt/homebrew/bin/", root + "/usr/local/bin/"};
  if (!home.empty()) {
    dirs.push_back(home + "/.local/bin/");
    dirs.push_back(home + "/.claude/local/");
  }
  // Debian packages and npm's system prefix install here.
  dirs.push_back(root + "/usr/bin/");
  // A relative PATH entry ("", ".") names whatever folder the companion was
  // started in: never a place to run a tool from.
  std::stringstream path(config.path());
  for (std::string dir; std::getline(path, dir, ':');)
    if (dir.starts_with('/')) addOnce(dirs, dir);
  if (!home.empty())
    for (auto& dir : nvmDirectories(home)) addOnce(dirs, std::move(dir));
  return dirs;
}

std::string firstExecutable(const std::vector<std::string>& paths) {
  for (const auto& path : paths)
    if (isExecutableFile(path)) return path;
  return "";
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

asio::awaitable<std::vector<LLMModel>> list(ProviderConfig config) {
  return runBlocking([config = std::move(config)] { return listNow(config); });
}

}  // namespace tavlo::CLIProbe
