// `models`: one round of the three probes, printed as the GET /models body.
#include <cstdio>

#include "app/Commands.hpp"
#include "app/ModelChoice.hpp"
#include "pack/JSONText.hpp"

namespace tavlo {

int runModelsCommand(const std::vector<std::string>& args) {
  if (!args.empty()) return usageError("models: unexpected argument: " + args.front());
  // "selected" marks the companion's stored choice; a one-shot listing never
  // chooses or stores one itself.
  const auto models = probeAllModelsOnce(ProviderConfig{});
  const std::string selectedID = persistedSelection();
  const std::string body = writeCompactJSON(modelListBody(models, selectedID)) + "\n";
  std::fwrite(body.data(), 1, body.size(), stdout);
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace tavlo
