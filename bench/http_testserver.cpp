// Serves a fixed JSON reply with the real server, advertising on: the server
// bench/wrk_http.sh loads.
//   tavlo-http-testserver [--port N] [--no-advertise]
// Prints "listening <port>" once serving; stops on SIGINT or SIGTERM. Runs on the
// main thread, which only waits for the signal; the server answers on its own thread.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "http/HTTPCompanionServer.hpp"
#include "platform/HostName.hpp"
#include "presence/NetworkInfo.hpp"

int main(int argc, char** argv) {
  uint16_t port = 18765;
  tavlo::HTTPCompanionServer::Options options;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) port = static_cast<uint16_t>(std::atoi(argv[++i]));
    else if (std::strcmp(argv[i], "--no-advertise") == 0) options.advertise = false;
    else {
      std::fprintf(stderr, "usage: %s [--port N] [--no-advertise]\n", argv[0]);
      return 2;
    }
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before any thread starts

  tavlo::HTTPCompanionServer server(
      port,
      [](tavlo::HTTPRequest) -> asio::awaitable<tavlo::HTTPResponse> {
        co_return tavlo::HTTPResponse::json({{"ok", true}, {"status", "ready"}});
      },
      options);
  if (auto started = server.start(); !started) {
    std::fprintf(stderr, "cannot listen: %s\n", started.message().c_str());
    return 1;
  }
  std::printf("listening %u\n", server.boundPort());
  std::fflush(stdout);
  if (options.advertise) {
    tavlo::AdvertisedPresence presence;
    presence.hostName = tavlo::localizedHostName();
    if (presence.hostName.empty()) presence.hostName = tavlo::networkHostName();
    presence.lanIP = tavlo::NetworkInfo::lanIP();
    presence.tailscale = tavlo::NetworkInfo::tailscaleSync();
    server.advertise(presence);
  }
  int signal = 0;
  sigwait(&signals, &signal);
  server.stop();
  return 0;
}
