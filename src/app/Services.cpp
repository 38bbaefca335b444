// Runs on the main thread at start; see Services.hpp for where its functions run.
#include "app/Services.hpp"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "app/Commands.hpp"
#include "app/Paths.hpp"
#include "core/RequestPolicy.hpp"
#include "http/HTTPCompanionServer.hpp"
#include "text/JSONText.hpp"
#include "platform/Async.hpp"
#include "platform/DesktopOpener.hpp"
#include "platform/HostName.hpp"
#include "platform/Log.hpp"
#include "presence/NetworkInfo.hpp"
#include "presence/TailscaleProbe.hpp"
#include "pairing/PairingStore.hpp"

namespace tavlo {
namespace {

class RunningServer : public ServerHandle {
 public:
  explicit RunningServer(std::unique_ptr<HTTPCompanionServer> server) : server_(std::move(server)) {}
  void advertise(const AdvertisedPresence& presence) override { server_->advertise(presence); }
  void stop() override { server_->stop(); }
  void whenDrained(std::function<void()> drained) override { server_->whenDrained(std::move(drained)); }

 private:
  std::unique_ptr<HTTPCompanionServer> server_;
};

// TAVLO_TOOL_TIMEOUT: how long a command-line tool may take, in whole seconds
// (1 to 86400; unset or empty: the default); any other value is an error.
Result<std::chrono::milliseconds> toolTimeLimitFromEnvironment() {
  const char* value = std::getenv("TAVLO_TOOL_TIMEOUT");
  if (!value || !*value) return ProviderConfig{}.toolTimeLimit;
  char* end = nullptr;
  errno = 0;
  const long seconds = std::strtol(value, &end, 10);
  const bool digitFirst = std::isdigit(static_cast<unsigned char>(*value)) != 0;  // no sign, no blank
  if (*end != '\0' || errno != 0 || !digitFirst || seconds < 1 || seconds > 86400)
    return fail(std::string("TAVLO_TOOL_TIMEOUT must be a whole number of seconds from 1 to 86400, not '") + value +
                "'");
  return std::chrono::milliseconds(std::chrono::seconds(seconds));
}

}  // namespace

std::variant<CompanionEnvironment, CompanionEnvironment::Refusal> CompanionEnvironment::resolve() {
  CompanionEnvironment env;
  auto staging = resolveStagingDir();
  if (!staging) return Refusal{staging.message(), kExitUsage};
  if (!*staging) return Refusal{"HOME is not set: set HOME (or TAVLO_STAGING) to run the companion", kExitFailed};
  env.stagingDir = **staging;
  if (const char* runs = std::getenv("TAVLO_MAX_RUNS"); runs && *runs) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(runs, &end, 10);
    if (*end != '\0' || errno != 0 || n < 1 || n > 64)
      return Refusal{std::string("TAVLO_MAX_RUNS must be a whole number from 1 to 64, not '") + runs + "'", kExitUsage};
    env.maxModelRuns = static_cast<std::size_t>(n);
  }
  auto providers = providerConfigFromEnvironment();
  if (!providers) return Refusal{providers.message(), kExitUsage};
  env.providers = *providers;
  const char* home = std::getenv("HOME");
  if (home && *home && access(home, W_OK) != 0)
    logLine(std::string("Tavlo: home folder ") + home + " is not writable; settings and packs may not be saved");
  // Without HOME a store has no place: say so for each rather than use a relative or root path.
  const auto openStore = [](const std::optional<std::filesystem::path>& file, const char* what, const char* variable) {
    if (file) return std::make_shared<KvStore>(*file);
    logLine(std::string("Tavlo store: HOME is not set, so ") + what + " is not saved (set HOME or " + variable + ")");
    return std::shared_ptr<KvStore>();
  };
  env.defaults = openStore(defaultsStorePath(), "the model selection", "XDG_STATE_HOME");
  env.pairing = openStore(PairingStore::defaultStorePath(), "the pairing record", "XDG_DATA_HOME");
  return env;
}


Result<ProviderConfig> providerConfigFromEnvironment() {
  ProviderConfig config;
  auto limit = toolTimeLimitFromEnvironment();
  if (!limit) return limit.error();
  config.toolTimeLimit = *limit;
  config.sealTools = !toolsUnsealedByEnvironment();
  if (auto moved = config.readServerAddresses(); !moved) return moved.error();
  return config;
}

CompanionServices makeServices(const CompanionEnvironment& env) {
  CompanionServices s;
  s.tailscaleProbe = [] { return TailscaleProbe::read(); };
  installModelServices(s, env.providers);
  s.lanIP = [] { return NetworkInfo::lanIP(); };
  s.hostName = [] { return localizedHostName(); };
  s.open = [](std::string location) { openWithDesktop(location); };
  s.startServer = [listen = env.listenAddress](std::uint16_t port,
                                               RequestHandler handler) -> Result<std::unique_ptr<ServerHandle>> {
    HTTPServerOptions options;
    if (!listen.empty()) options.bindAddress = listen;
    auto server = std::make_unique<HTTPCompanionServer>(port, std::move(handler), std::move(options));
    TRY(server->start());
    logLine("Tavlo HTTP: descriptor limit " + std::to_string(server->descriptorLimit()) + ", at most " +
            std::to_string(server->connectionCap()) + " connections at once");
    return std::unique_ptr<ServerHandle>(std::make_unique<RunningServer>(std::move(server)));
  };
  s.onLinkPrefixes = [] { return NetworkInfo::onLinkPrefixes(); };
  s.searchDomains = resolverSearchDomains();
  if (const char* any = std::getenv("TAVLO_ALLOW_ANY_CLIENT"); any && std::string_view(any) == "1") {
    s.allowAnyClient = true;
    logLine("Tavlo: TAVLO_ALLOW_ANY_CLIENT=1: clients from any address are served");
  }
  s.defaults = env.defaults;
  s.maxModelRuns = env.maxModelRuns;
  if (auto store = env.pairing) {
    // Written once per run (the time says the companion is up), then only when a value changes.
    auto first = std::make_shared<bool>(true);
    s.publishPairing = [store, first](std::string host, std::optional<std::string> lan,
                                      std::optional<std::string> tsIP, std::optional<std::string> tsHost,
                                      std::int64_t port) {
      asio::post(storeStrand(), [=] {
        if (PairingStore::publish(*store, host, lan, tsIP, tsHost, port, PairingStore::Clock::now(), *first))
          *first = false;
      });
    };
  }
  return s;
}

std::string pairingJSON(KvStore& pairing, bool probeTailscale) {
  nlohmann::json record;
  if (auto info = PairingStore::loadPairingRecord(pairing)) {
    record = {{PairingStore::K::hostname, info->hostname},
              {PairingStore::K::lan, info->lanIP.value_or("")},
              {PairingStore::K::tailscale, info->tailscaleIP.value_or("")},
              {PairingStore::K::tailscaleHost, info->tailscaleHostname.value_or("")},
              {PairingStore::K::port, info->port},
              {PairingStore::K::updatedAt, PairingStore::isoTime(info->updatedAt)}};
  } else {
    // Nothing published yet: describe this computer as the companion would.
    auto tailscale = probeTailscale ? TailscaleProbe::readBlocking() : TailscaleStatus::unknown();
    std::string host = localizedHostName();
    record = {{PairingStore::K::hostname, host.empty() ? PairingStore::kUnnamedComputer : host},
              {PairingStore::K::lan, NetworkInfo::lanIP().value_or("")},
              {PairingStore::K::tailscale, tailscale.isConnected() ? tailscale.ip : ""},
              {PairingStore::K::tailscaleHost, tailscale.isConnected() ? tailscale.hostname.value_or("") : ""},
              {PairingStore::K::port, 18765},
              {PairingStore::K::updatedAt, PairingStore::isoTime(PairingStore::Clock::now())}};
  }
  return writeCompactJSON(record);
}

}  // namespace tavlo
