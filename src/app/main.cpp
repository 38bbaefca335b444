#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/Commands.hpp"
#include "core/CompanionState.hpp"

namespace {

constexpr const char* kHelp =
    "Usage:\n"
    "  tavlo-companion                  tray when a system tray exists, else headless\n"
    "  tavlo-companion --headless       the whole companion without any UI\n"
    "  tavlo-companion --panel          tray mode, panel also shown as a normal window\n"
    "  tavlo-companion pack --prompt TEXT --model ID [--staging DIR] [--answer FILE]\n"
    "  tavlo-companion models [--json]  a table on a terminal, else (or with --json) JSON\n"
    "  tavlo-companion generate [--model ID] [--staging DIR] PROMPT\n"
    "  tavlo-companion pairing [--qr]\n"
    "  tavlo-companion doctor           checks what the phone needs; exit 1 when something fails\n"
    "  tavlo-companion --help | --version\n"
    "\n"
    "The companion serves the Tavlo phone app on TCP port 18765 and writes packs\n"
    "into $TAVLO_STAGING (default ~/TavloStaging).\n"
    "Exit status: 0 success, 1 request failed, 2 usage error, 3 no model.\n";

}  // namespace

namespace tavlo {
std::optional<std::filesystem::path> stagingFor(const std::optional<std::string>& option) {
  if (option) return std::filesystem::path(*option);
  return resolveStagingDir();
}

int usageError(const std::string& message) {
  std::cerr << "tavlo-companion: " << message << " (see --help)" << std::endl;
  return kExitUsage;
}
}  // namespace tavlo

int main(int argc, char** argv) {
  using namespace tavlo;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return runCompanion(false, false);
  const std::string first = args.front();
  std::vector<std::string> rest(args.begin() + 1, args.end());
  if (first == "--help" || first == "-h") {
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  if (first == "--version") {
    std::printf("tavlo-companion %s\n", TAVLO_VERSION);
    return kExitOk;
  }
  if (first == "pack") return runPackCommand(rest);
  if (first == "models") return runModelsCommand(rest);
  if (first == "generate") return runGenerateCommand(rest);
  if (first == "pairing") return runPairingCommand(rest);
  if (first == "doctor") return runDoctorCommand(rest);
  if (first == "--headless" && rest.empty()) return runCompanion(true, false);
  if (first == "--panel" && rest.empty()) return runCompanion(false, true);
  return usageError("unknown option or command: " + first);
}
