#pragma once
// What the one-shot commands (`models`, `generate`) need to choose a model
// without a running companion: one round of the three probes and the stored
// selection. Blocking; called on the command's main thread.
#include <string>
#include <vector>

#include "core/Generate.hpp"
#include "providers/LLMModel.hpp"
#include "providers/ProviderConfig.hpp"

namespace tavlo {

// Command-line tools, then Ollama, then LM Studio: the order the phone sees.
std::vector<LLMModel> probeAllModelsOnce(const ProviderConfig& config);

// The model the companion has selected ("selectedModelID" in the defaults
// store), or "" when none was stored or the store cannot be read. Reading never
// creates the store.
std::string persistedSelection();

}  // namespace tavlo
