#pragma once
// Finds the `claude` and `codex` command-line tools. Presence of an
// executable file is all that is tested; the tools are never run here.
// list() looks on the worker pool (a home folder on a stalled network mount
// must not stall the caller); the rest runs on the calling thread.
#include <asio/awaitable.hpp>

#include <string>
#include <vector>

#include "providers/LLMModel.hpp"
#include "providers/ProviderConfig.hpp"

namespace tavlo::CLIProbe {

// The folders searched, in order, each ending in "/" and each listed once:
// /opt/homebrew/bin/, /usr/local/bin/, ~/.local/bin/, ~/.claude/local/, /usr/bin/,
// then every absolute folder of the PATH, then nvm's ~/.nvm/versions/node/*/bin/,
// newest Node version first (npm installs global tools there).
std::vector<std::string> searchDirectories(const ProviderConfig& config);

// The first executable of `paths`, or "" when none is.
std::string firstExecutable(const std::vector<std::string>& paths);

bool exists(const std::string& tool, const ProviderConfig& config);

// Claude first, then Codex; synchronous (a few stat calls).
std::vector<LLMModel> listNow(const ProviderConfig& config);

// listNow on the worker pool; resumes the awaiting coroutine on its own executor.
asio::awaitable<std::vector<LLMModel>> list(ProviderConfig config);

LLMModel claudeModel();
LLMModel codexModel();

}  // namespace tavlo::CLIProbe
