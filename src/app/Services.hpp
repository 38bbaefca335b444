#pragma once
// Wires the state to the real world: probes, runner, server, stores, desktop
// opener. Built on the main thread before the state starts; the functions it
// builds are called on the state thread, and the stores are written on the
// store strand.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "core/CompanionState.hpp"
#include "platform/KvStore.hpp"

namespace tavlo {

struct CompanionEnvironment {
  std::filesystem::path stagingDir;
  std::shared_ptr<KvStore> defaults;  // the persisted selection
  std::shared_ptr<KvStore> pairing;   // the pairing record
  std::size_t maxModelRuns = 2;       // TAVLO_MAX_RUNS
  std::chrono::milliseconds toolTimeLimit{std::chrono::minutes(10)};  // TAVLO_TOOL_TIMEOUT
  std::string error;                  // set when the companion cannot start
  std::string listenAddress;          // the server's bind address; empty: its default (every address)

  // Resolves the staging folder and opens both stores. HOME unset (and no
  // TAVLO_STAGING) is an error; unusable stores are logged and run with defaults.
  static CompanionEnvironment resolve();
};

CompanionServices makeServices(const CompanionEnvironment& env);

// The model probes and the runner (ModelWiring.cpp); a command-line tool is
// killed after `toolTimeLimit`, and runs sealed unless the environment says
// otherwise (logged here, once).
void installModelServices(CompanionServices& services,
                          std::chrono::milliseconds toolTimeLimit = std::chrono::minutes(10));

// TAVLO_TOOLS_UNSEALED=1: claude and codex run as they are, not sealed in bubblewrap.
bool toolsUnsealedByEnvironment();

// TAVLO_TOOL_TIMEOUT: how long a command-line tool may take, in whole seconds
// (1 to 86400; unset or empty: 10 minutes). False, with `error` set, for any other value.
bool toolTimeLimitFromEnvironment(std::chrono::milliseconds& limit, std::string& error);

// The pairing record as compact JSON with sorted keys, as `pairing` prints it.
// When nothing was published yet it describes this computer now, asking the
// Tailscale tool only when `probeTailscale` (it may take seconds).
std::string pairingJSON(KvStore& pairing, bool probeTailscale = true);

// Flushes output and ends the process without waiting for tools still running
// on worker threads (they are in their own process groups).
[[noreturn]] void finishProcess(int status);

}  // namespace tavlo
