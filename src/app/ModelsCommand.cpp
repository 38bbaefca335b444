// `models`: one round of the three probes, printed as the GET /models body.
#include <cstdio>

#include "app/Commands.hpp"
#include "app/ModelChoice.hpp"
#include "pack/JSONText.hpp"

namespace tavlo {

int runModelsCommand(const std::vector<std::string>& args) {
  if (!args.empty()) return usageError("models: unexpected argument: " + args.front());
  // FIXME: nothing is selected here until the command reads the persisted selection.
  const std::string selectedID;
  const std::string body = writeCompactJSON(modelListBody(probeAllModelsOnce(ProviderConfig{}), selectedID)) + "\n";
  std::fwrite(body.data(), 1, body.size(), stdout);
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace tavlo
