#pragma once
// Wires the state to the real world: probes, runner, server, stores, desktop
// opener. Built on the main thread before the state starts; the functions it
// builds are called on the state thread, and the stores are written on the
// store strand.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <variant>

#include "core/CompanionState.hpp"
#include "platform/KvStore.hpp"
#include "platform/Result.hpp"
#include "providers/ProviderConfig.hpp"

namespace tavlo {

struct CompanionEnvironment {
  std::filesystem::path stagingDir;
  std::shared_ptr<KvStore> defaults;  // the persisted selection
  std::shared_ptr<KvStore> pairing;   // the pairing record
  std::size_t maxModelRuns = 2;       // TAVLO_MAX_RUNS
  ProviderConfig providers;           // TAVLO_TOOL_TIMEOUT, OLLAMA_HOST, TAVLO_LMSTUDIO_URL
  std::string listenAddress;          // the server's bind address; empty: its default (every address)

  // Why the companion cannot start: the line for stderr and the exit status
  // that goes with it (2 for a bad value of a setting, 1 without HOME).
  struct Refusal {
    std::string message;
    int exitStatus;
  };
  // Resolves the staging folder and opens both stores. HOME unset (and no
  // TAVLO_STAGING) refuses to start, and so does a bad value of a setting;
  // unusable stores are logged and run with defaults.
  static std::variant<CompanionEnvironment, Refusal> resolve();
};

CompanionServices makeServices(const CompanionEnvironment& env);

// The model probes and the runner (ModelWiring.cpp), with the servers and the
// tools' time limit of `config`.
void installModelServices(CompanionServices& services, const ProviderConfig& config);

// The model settings of the environment: TAVLO_TOOL_TIMEOUT, OLLAMA_HOST,
// TAVLO_LMSTUDIO_URL and TAVLO_TOOLS_UNSEALED. A bad value is an error that
// names the variable.
Result<ProviderConfig> providerConfigFromEnvironment();

// TAVLO_TOOLS_UNSEALED=1: claude and codex run as they are, not sealed in bubblewrap.
bool toolsUnsealedByEnvironment();

// The pairing record as compact JSON with sorted keys, as `pairing` prints it.
// When nothing was published yet it describes this computer now, asking the
// Tailscale tool only when `probeTailscale` (it may take seconds).
std::string pairingJSON(KvStore& pairing, bool probeTailscale = true);

}  // namespace tavlo
