#pragma once
// The companion's HTTP server: one listener (IPv6 and IPv4 on one socket), one
// request and one response per connection, advertised by DNS-SD as "_tavlo._tcp". All socket work runs
// on one network thread; each request's handler is awaited without holding it.
#include <asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "http/HTTPRequest.hpp"
#include "http/HTTPResponse.hpp"
#include "platform/Result.hpp"
#include "presence/AdvertisedPresence.hpp"

namespace tavlo {

// Limits and advertisement of an HTTPCompanionServer.
struct HTTPServerOptions {
  std::size_t maxHeadBytes = 64 * 1024;
  int64_t maxBodyBytes = 16 * 1024 * 1024;
  std::chrono::milliseconds idleTimeout{30'000};  // no byte read or written for this long: closed
  std::chrono::milliseconds headTimeout{60'000};  // the whole head must arrive within this (slowloris)
  // The body must arrive within bodyTimeout plus bodyTimePerBlock for every
  // bodyBlockBytes it announces (Content-Length, or the chunk sizes so far).
  std::chrono::milliseconds bodyTimeout{60'000};
  std::chrono::milliseconds bodyTimePerBlock{1'000};
  int64_t bodyBlockBytes = 16 * 1024;
  // After an early reply (413, 501) what the peer still uploads is read and
  // dropped this long, so it gets to read the reply.
  std::chrono::milliseconds drainTimeout{5'000};
  // Open at once, loopback included. At the cap a newcomer replaces the oldest peer still sending
  // its request once that one is past half the head deadline, or is closed at once. 0, or more
  // than the descriptor limit allows: that limit less kSpareDescriptors.
  std::size_t maxConnections = 0;
  std::size_t maxConnectionsPerAddress = 64;      // from one IPv4 address or IPv6 /64; more are closed at once
  bool capLoopback = false;                       // loopback is exempt from the per-address cap unless set
  // The kernel hands a connection over once its first bytes arrived, or after this; 0: at once.
  std::chrono::seconds deferAccept{2};
  // Empty: every address, IPv6 and IPv4 on one socket (IPv4 alone where IPv6 is
  // unavailable). Otherwise one IPv4 or IPv6 literal.
  std::string bindAddress;
  bool advertise = true;
  std::string serviceType = "_tavlo._tcp";
};

class HTTPCompanionServer {
 public:
  // Descriptors kept for everything but connections (model runs, stores, the tray).
  static constexpr std::size_t kSpareDescriptors = 64;

  using Handler = std::function<asio::awaitable<HTTPResponse>(HTTPRequest)>;

  using Options = HTTPServerOptions;

  HTTPCompanionServer(uint16_t port, Handler handler, Options options = {});
  // Stops; connections still open are dropped. A handler still running after
  // a second leaves the server's thread to finish it: joinLingering joins it.
  ~HTTPCompanionServer();
  // Joins the threads of destroyed servers as their last handlers finish,
  // waiting at most `limit`; true when none is left.
  static bool joinLingering(std::chrono::milliseconds limit);
  HTTPCompanionServer(const HTTPCompanionServer&) = delete;
  HTTPCompanionServer& operator=(const HTTPCompanionServer&) = delete;

  // Replaces any current listener. The error is the system's description
  // (e.g. "Address already in use") when the listener cannot be created.
  Result<void> start();
  // Stops accepting and withdraws the advertisement; accepted connections finish.
  void stop();
  // Publishes (or updates in place) the DNS-SD advertisement while listening;
  // a later start() publishes the last one again. Never waits for a tool: the
  // owner asks for the presence and hands it over when it has it.
  void advertise(const AdvertisedPresence& presence);
  // The port actually bound (the configured one, or the kernel's pick for 0); 0 before start().
  uint16_t boundPort() const;
  // Connections accepted and not yet closed.
  std::size_t openConnections() const;
  // `drained` runs once no accepted connection is open: at once (here) when
  // none is, else on the network thread as the last one closes.
  void whenDrained(std::function<void()> drained);
  // The cap on open connections, and the soft descriptor limit start() left in force; 0 before.
  std::size_t connectionCap() const;
  std::size_t descriptorLimit() const;

  // The TXT record for a listener on `port`.
  static std::map<std::string, std::string> txtRecord(uint16_t port, const AdvertisedPresence& presence);

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace tavlo
