#pragma once
// One round of the three model probes and the choice of a model, shared by
// the `models` and `generate` commands.
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "providers/LLMModel.hpp"
#include "providers/ProviderConfig.hpp"

namespace tavlo {

// Command-line tools, then Ollama, then LM Studio: the order the phone sees.
std::vector<LLMModel> probeAllModelsOnce(const ProviderConfig& config);

// The GET /models body: {"models":[{"id","name","provider","selected","subtitle"}],"ok":true}.
nlohmann::json modelListBody(const std::vector<LLMModel>& models, const std::string& selectedID);

// The model an id names, also when no probe lists it: "ollama:NAME",
// "lmstudio:NAME", "claude:cli", "codex:cli", "gemini:NAME". None for anything else.
std::optional<LLMModel> modelFromID(const std::string& id);

// The model the companion has selected ("selectedModelID" in the defaults
// store), or "" when none was stored or the store cannot be read. Reading never
// creates the store.
std::string persistedSelection();

// The selected model when it is listed, else the first listed one.
std::optional<LLMModel> chooseModel(const std::vector<LLMModel>& models, const std::string& selectedID);

}  // namespace tavlo
