// The model probes and the runner as the state's services. Each returns an
// awaitable that the state thread awaits; the work itself runs where the
// probe or runner puts it (HTTP thread, worker pool, a tool's own thread).
#include "app/Services.hpp"

#include <cstdlib>
#include <string_view>

#include "platform/Log.hpp"
#include "platform/Cancellation.hpp"
#include "providers/CLIProbe.hpp"
#include "providers/LLMRunner.hpp"
#include "providers/LMStudioProbe.hpp"
#include "providers/OllamaProbe.hpp"
#include "providers/ProviderConfig.hpp"

namespace tavlo {

bool toolsUnsealedByEnvironment() {
  const char* unsealed = std::getenv("TAVLO_TOOLS_UNSEALED");
  return unsealed && std::string_view(unsealed) == "1";
}

void installModelServices(CompanionServices& s, const ProviderConfig& config) {
  if (!config.sealTools)
    logLine("Tavlo: TAVLO_TOOLS_UNSEALED=1: claude and codex run unsealed and can read every file this user can");
  s.ollamaProbe = [config] { return OllamaProbe::list(config); };
  s.lmstudioProbe = [config] { return LMStudioProbe::list(config); };
  s.cliProbe = [config] { return CLIProbe::list(config); };
  s.runModel = [config](std::string prompt, LLMModel model, std::shared_ptr<Cancellation> cancel) {
    return LLMRunner::generate(std::move(prompt), std::move(model), config, std::move(cancel));
  };
}

}  // namespace tavlo
