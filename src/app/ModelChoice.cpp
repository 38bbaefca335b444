// Runs on the command's main thread; the probes answer from their own threads.
#include "app/ModelChoice.hpp"

#include <filesystem>

#include "app/Paths.hpp"
#include "core/CompanionState.hpp"
#include "platform/Async.hpp"
#include "platform/KvStore.hpp"
#include "providers/CLIProbe.hpp"
#include "providers/LMStudioProbe.hpp"
#include "providers/OllamaProbe.hpp"

namespace tavlo {

std::vector<LLMModel> probeAllModelsOnce(const ProviderConfig& config) {
  auto [all, ollama, lmstudio] =
      runToCompletion(CLIProbe::list(config), OllamaProbe::list(config), LMStudioProbe::list(config));
  for (auto* part : {&ollama, &lmstudio}) all.insert(all.end(), part->begin(), part->end());
  return all;
}

std::string persistedSelection() {
  const auto file = defaultsStorePath();
  std::error_code ec;
  if (!file || !std::filesystem::exists(*file, ec)) return {};
  KvStore store(*file);
  return store.getString(CompanionState::kSelectedModelKey).value_or("");
}

}  // namespace tavlo
