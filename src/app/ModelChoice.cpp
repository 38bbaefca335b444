#include "app/ModelChoice.hpp"

#include <filesystem>

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
