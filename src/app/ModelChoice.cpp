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

nlohmann::json modelListBody(const std::vector<LLMModel>& models, const std::string& selectedID) {
  auto list = nlohmann::json::array();
  for (const auto& m : models)
    list.push_back({{"id", m.id},
                    {"provider", std::string(LLMModel::rawValue(m.provider))},
                    {"name", m.name},
                    {"subtitle", m.subtitle.value_or("")},
                    {"selected", m.id == selectedID}});
  return {{"ok", true}, {"models", std::move(list)}};
}

std::optional<LLMModel> modelFromID(const std::string& id) {
  if (id == "claude:cli") return CLIProbe::claudeModel();
  if (id == "codex:cli") return CLIProbe::codexModel();
  auto colon = id.find(':');
  if (colon == std::string::npos || colon + 1 == id.size()) return std::nullopt;
  std::string prefix = id.substr(0, colon), name = id.substr(colon + 1);
  using P = LLMModel::Provider;
  if (prefix == "ollama") return LLMModel{id, P::ollama, name, std::nullopt};
  if (prefix == "lmstudio") return LLMModel{id, P::lmstudio, name, std::nullopt};
  if (prefix == "gemini") return LLMModel{id, P::gemini, name, std::nullopt};
  return std::nullopt;
}

std::optional<LLMModel> chooseModel(const std::vector<LLMModel>& models, const std::string& selectedID) {
  for (const auto& m : models)
    if (!selectedID.empty() && m.id == selectedID) return m;
  if (models.empty()) return std::nullopt;
  return models.front();
}

std::string persistedSelection() {
  const auto file = defaultsStorePath();
  std::error_code ec;
  if (!file || !std::filesystem::exists(*file, ec)) return {};
  KvStore store(*file);
  return store.getString(CompanionState::kSelectedModelKey).value_or("");
}

}  // namespace tavlo
