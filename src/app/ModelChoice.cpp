// Runs on the command's main thread; the probes answer from their own threads.
#include "app/ModelChoice.hpp"

#include <filesystem>
#include <future>

#include "core/CompanionState.hpp"
#include "platform/KvStore.hpp"
#include "providers/CLIProbe.hpp"
#include "providers/LMStudioProbe.hpp"
#include "providers/OllamaProbe.hpp"

namespace tavlo {

std::vector<LLMModel> probeAllModelsOnce(const ProviderConfig& config) {
  using List = std::vector<LLMModel>;
  std::promise<List> cli, ollama, lmstudio;
  auto into = [](std::promise<List>& p) { return [&p](List models) { p.set_value(std::move(models)); }; };
  CLIProbe::list(config, into(cli));
  OllamaProbe::list(config, into(ollama));
  LMStudioProbe::list(config, into(lmstudio));
  List all = cli.get_future().get();
  for (auto* p : {&ollama, &lmstudio}) {
    List part = p->get_future().get();
    all.insert(all.end(), part.begin(), part.end());
  }
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
