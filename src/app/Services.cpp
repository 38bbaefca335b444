#include "app/Services.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "core/RequestPolicy.hpp"
#include "http/HTTPCompanionServer.hpp"
#include "pack/JSONText.hpp"
#include "pack/PackReply.hpp"
#include "pack/TavloPackWriter.hpp"
#include "platform/Async.hpp"
#include "platform/DesktopOpener.hpp"
#include "platform/HostName.hpp"
#include "platform/Log.hpp"
#include "presence/NetworkInfo.hpp"
#include "presence/TailscaleProbe.hpp"
#include "shared/PairingStore.hpp"

namespace tavlo {
namespace {

class RunningServer : public ServerHandle {
 public:
  explicit RunningServer(std::unique_ptr<HTTPCompanionServer> server) : server_(std::move(server)) {}
  void stop() override { server_->stop(); }

 private:
  std::unique_ptr<HTTPCompanionServer> server_;
};

}  // namespace

CompanionEnvironment CompanionEnvironment::resolve() {
  CompanionEnvironment env;
  auto staging = resolveStagingDir();
  if (!staging) {
    env.error = "HOME is not set: set HOME (or TAVLO_STAGING) to run the companion";
    return env;
  }
  env.stagingDir = *staging;
  const char* home = std::getenv("HOME");
  if (home && *home && access(home, W_OK) != 0)
    logLine(std::string("Tavlo: home folder ") + home + " is not writable; settings and packs may not be saved");
  env.defaults = std::make_shared<KvStore>(defaultsStorePath());
  env.pairing = std::make_shared<KvStore>(PairingStore::defaultStorePath());
  return env;
}

CompanionServices makeServices(const CompanionEnvironment& env) {
  CompanionServices s;
  s.tailscaleProbe = [] {
    return awaitCallback<TailscaleStatus>(
        [](std::function<void(TailscaleStatus)> done) { TailscaleProbe::read(std::move(done)); });
  };
  installModelServices(s);
  s.writePack = [](const std::string& answer, const std::string& prompt, const std::string& modelID,
                   const std::filesystem::path& stagingDir) {
    PackOutcome out;
    try {
      std::error_code ec;
      std::filesystem::create_directories(stagingDir, ec);
      auto result = TavloPackWriter::writePack(answer, prompt, modelID, stagingDir);
      out.ok = true;
      out.reply = packSuccessReply(result, modelID);
      out.packName = result.name;
      out.summary = result.summary;
    } catch (const std::exception& e) {
      out.error = e.what();
    }
    return out;
  };
  s.lanIP = [] { return NetworkInfo::lanIP(); };
  s.hostName = [] { return localizedHostName(); };
  s.open = [](std::string location) { openWithDesktop(location); };
  s.startServer = [listen = env.listenAddress](std::uint16_t port,
                                               RequestHandler handler) -> std::unique_ptr<ServerHandle> {
    HTTPServerOptions options;
    if (!listen.empty()) options.bindAddress = listen;
    auto server = std::make_unique<HTTPCompanionServer>(port, std::move(handler), std::move(options));
    server->start();
    return std::make_unique<RunningServer>(std::move(server));
  };
  s.onLinkPrefixes = [] { return NetworkInfo::onLinkPrefixes(); };
  s.searchDomains = resolverSearchDomains();
  if (const char* any = std::getenv("TAVLO_ALLOW_ANY_CLIENT"); any && std::string_view(any) == "1") {
    s.allowAnyClient = true;
    logLine("Tavlo: TAVLO_ALLOW_ANY_CLIENT=1: clients from any address are served");
  }
  s.defaults = env.defaults;
  if (auto store = env.pairing) {
    s.publishPairing = [store](std::string host, std::optional<std::string> lan, std::optional<std::string> tsIP,
                               std::optional<std::string> tsHost, std::int64_t port) {
      asio::post(storeStrand(), [=] { PairingStore::publish(*store, host, lan, tsIP, tsHost, port); });
    };
  }
  return s;
}

std::string pairingJSON(KvStore& pairing, bool probeTailscale) {
  nlohmann::json record;
  if (auto info = PairingStore::loadMacInfo(pairing)) {
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
    record = {{PairingStore::K::hostname, host.empty() ? "Mac" : host},
              {PairingStore::K::lan, NetworkInfo::lanIP().value_or("")},
              {PairingStore::K::tailscale, tailscale.isConnected() ? tailscale.ip : ""},
              {PairingStore::K::tailscaleHost, tailscale.isConnected() ? tailscale.hostname.value_or("") : ""},
              {PairingStore::K::port, 18765},
              {PairingStore::K::updatedAt, PairingStore::isoTime(PairingStore::Clock::now())}};
  }
  return writeCompactJSON(record);
}

void finishProcess(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(status);
}

}  // namespace tavlo
