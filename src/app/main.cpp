// The command line: picks the subcommand or the companion. Runs on the main thread.
#include <asio/ip/address.hpp>

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/Commands.hpp"
#include "app/Paths.hpp"
#include "core/CompanionState.hpp"

namespace {

constexpr const char* kHelp =
    "Usage:\n"
    "  tavlo-companion [--listen ADDRESS]             tray when a system tray exists, else headless\n"
    "  tavlo-companion --headless [--listen ADDRESS]  the whole companion without any UI\n"
    "  tavlo-companion --panel [--listen ADDRESS]     tray mode, panel also shown as a normal window\n"
    "  tavlo-companion pack --prompt TEXT --model ID [--staging DIR] [--answer FILE]\n"
    "  tavlo-companion models [--json]                a table on a terminal, else (or with --json) JSON\n"
    "  tavlo-companion generate [--model ID] [--staging DIR] [--json] PROMPT\n"
    "  tavlo-companion pairing [--qr]\n"
    "  tavlo-companion doctor                         checks what the phone needs; exit 1 when something fails\n"
    "  tavlo-companion --help | --version\n"
    "\n"
    "The companion serves the Tavlo phone app on TCP port 18765 and writes packs\n"
    "into $TAVLO_STAGING (default ~/TavloStaging). It runs at most $TAVLO_MAX_RUNS\n"
    "model runs at once (1 to 64, default 2); up to 16 more requests wait their turn.\n"
    "A command-line tool (claude, codex) that has not answered within\n"
    "$TAVLO_TOOL_TIMEOUT seconds (1 to 86400, default 600) is stopped.\n"
    "Such a tool runs sealed in bubblewrap: it sees the system, its own\n"
    "configuration and an empty scratch folder, none of the user's files;\n"
    "TAVLO_TOOLS_UNSEALED=1 runs it unsealed (it can read every file you can).\n"
    "Ollama is asked where $OLLAMA_HOST says, as for the ollama tool (HOST,\n"
    "HOST:PORT or http[s]://HOST[:PORT]; default 127.0.0.1:11434), LM Studio at\n"
    "$TAVLO_LMSTUDIO_URL (default http://127.0.0.1:1234). An https server with a\n"
    "certificate of its own: name its CA file in $CURL_CA_BUNDLE.\n"
    "  --listen ADDRESS   listen on this IPv4 or IPv6 address only (default: every\n"
    "                     address, IPv4 and IPv6)\n"
    "Only clients on this machine's networks are served (loopback, private and\n"
    "link-local ranges, 100.64.0.0/10, the subnets of its interfaces);\n"
    "TAVLO_ALLOW_ANY_CLIENT=1 serves every address.\n"
    "Exit status: 0 success, 1 request failed, 2 usage error or bad setting, 3 no model.\n";

}  // namespace

namespace tavlo {
Result<std::filesystem::path> stagingFor(const std::optional<std::string>& option) {
  auto dir = resolveStagingDir(option);
  if (!dir) return dir.error();
  if (!*dir) return fail(kNoStagingMessage);
  return **dir;
}

Result<CompanionOptions> parseCompanionOptions(const std::vector<std::string>& args) {
  CompanionOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--headless") {
      options.headless = true;
    } else if (arg == "--panel") {
      options.showPanel = true;
    } else if (arg == "--listen" || arg.starts_with("--listen=")) {
      if (arg == "--listen" && i + 1 >= args.size()) return fail("--listen needs an address");
      const std::string address = arg == "--listen" ? args[++i] : arg.substr(9);
      std::error_code ec;
      asio::ip::make_address(address, ec);
      if (ec || address.empty()) return fail("--listen: not an IPv4 or IPv6 address: " + address);
      options.listenAddress = address;
    } else {
      return fail("unknown option or command: " + arg);
    }
  }
  if (options.headless && options.showPanel) return fail("--headless and --panel exclude each other");
  return options;
}

int usageError(const std::string& message) {
  std::cerr << "tavlo-companion: " << message << " (see --help)" << std::endl;
  return kExitUsage;
}
}  // namespace tavlo

namespace {

// A one-shot command's exit status, or none when `first` names no command.
std::optional<int> runCommand(const std::string& first, const std::vector<std::string>& rest) {
  using namespace tavlo;
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
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tavlo;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty())
    if (auto status = runCommand(args.front(), std::vector<std::string>(args.begin() + 1, args.end()))) return *status;
  auto options = parseCompanionOptions(args);
  if (!options) return usageError(options.message());
  const int status = runCompanion(*options);
  std::fflush(stdout);
  std::fflush(stderr);
  // The companion's io_context is never destroyed: the worker pool, a probe's
  // HTTP transfer or a tool's thread may still be finishing and post into it.
  // Ending here without static destructors keeps them from meeting a destroyed
  // object, and the exit from waiting for a probe's time limit.
  _exit(status);
}
