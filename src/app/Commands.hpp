#pragma once
// The program's subcommands. Each returns the process exit status:
// 0 success, 1 the request failed (500 reply printed), 2 usage error, 3 no model (503 reply printed).
// Each runs on the main thread and starts what threads it needs itself.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Result.hpp"

namespace tavlo {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoModel = 3;

// `args` holds the arguments after the subcommand's own name.
int runPackCommand(const std::vector<std::string>& args);
int runModelsCommand(const std::vector<std::string>& args);
int runGenerateCommand(const std::vector<std::string>& args);
int runPairingCommand(const std::vector<std::string>& args);
int runDoctorCommand(const std::vector<std::string>& args);

// How the companion itself runs (no subcommand).
struct CompanionOptions {
  bool headless = false;
  bool showPanel = false;
  std::string listenAddress;  // --listen; empty: the server's default (every address)
};
int runCompanion(const CompanionOptions& options);
// The options of the companion's own command line; a usage error's message otherwise.
Result<CompanionOptions> parseCompanionOptions(const std::vector<std::string>& args);

// The staging folder of a one-shot command: its --staging option, else the
// companion's own (TAVLO_STAGING or ~/TavloStaging), "~" expanded in either.
// A failure saying why without HOME, or for "~name" of no user.
Result<std::filesystem::path> stagingFor(const std::optional<std::string>& option);
inline constexpr const char* kNoStagingMessage = "HOME is not set: set HOME or TAVLO_STAGING, or pass --staging";

// One clear line on stderr, then kUsageExit.
int usageError(const std::string& message);

}  // namespace tavlo
