// `pairing`: prints the pairing record (and its QR code); on a terminal also
// the address the phone connects to. Runs on the main thread alone.
#include <unistd.h>

#include <iostream>

#include "app/Commands.hpp"
#include "app/Services.hpp"
#include "pairing/PairingStore.hpp"
#include "pairing/PreferredHost.hpp"

#if __has_include("ui/TerminalQR.hpp")
#include "ui/TerminalQR.hpp"
#define TAVLO_HAVE_TERMINAL_QR 1
#endif

namespace tavlo {

int runPairingCommand(const std::vector<std::string>& args) {
  bool qr = false;
  for (const auto& a : args) {
    if (a == "--qr") {
      qr = true;
    } else {
      return usageError("unknown option for pairing: " + a);
    }
  }
  const auto file = PairingStore::defaultStorePath();
  if (!file) return usageError("pairing: HOME is not set: set HOME or XDG_DATA_HOME");
  KvStore store(*file);
  std::string json = pairingJSON(store);
  std::cout << json << "\n";
  if (::isatty(STDOUT_FILENO) == 1) {
    const auto host = preferredHost(nlohmann::json::parse(json, nullptr, false));
    std::cout << (host ? host->sentence() : "phone connects to nothing yet: no LAN or Tailscale address") << "\n";
  }
  if (qr) {
#ifdef TAVLO_HAVE_TERMINAL_QR
    std::cout << terminalQR(json);
#else
    std::cerr << "tavlo-companion: this build cannot draw QR codes" << std::endl;
    return kExitFailed;
#endif
  }
  return kExitOk;
}

}  // namespace tavlo
