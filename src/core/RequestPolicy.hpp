#pragma once
// Who may talk to the companion. The phone connects from the local network or
// over Tailscale, names the computer by address or by a local name, and sends
// no Origin header. A web page the user opens sends an Origin, a DNS-rebinding
// page sends its own host name, and a peer out on the internet connects from a
// public address that none of this machine's networks contains.
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/HTTPRequest.hpp"
#include "http/HTTPResponse.hpp"
#include "presence/NetworkInfo.hpp"

namespace tavlo {

// True when `host` (a Host header value, port included or not) names this
// computer in a way no public web site can: an IP literal, "localhost", a
// single-label name, the machine's own host name, or a name under a local-only
// suffix, "localdomain" or one of the resolver's search domains.
bool isAllowedHost(std::string_view host, std::string_view machineHostName,
                   const std::vector<std::string>& searchDomains = {});

// True when a client at `address` (text, as HTTPRequest::peerAddress) is on a
// network of this machine's: loopback, private (RFC 1918, fc00::/7), link-local,
// the shared range 100.64.0.0/10 that Tailscale uses, or inside one of `onLink`.
// IPv4-mapped IPv6 addresses count as the IPv4 address.
bool isLocalClient(std::string_view address, const std::vector<IPPrefix>& onLink);

// The domains of the "search" and "domain" lines of a resolv.conf file, lower
// case, without a trailing dot; empty when the file cannot be read.
std::vector<std::string> resolverSearchDomains(const std::filesystem::path& file = "/etc/resolv.conf");

// The checks every request passes before routing, with what they need. Not
// thread-safe: the server's handler owns one and calls it on the network thread.
class RequestPolicy {
 public:
  using Clock = std::chrono::steady_clock;
  struct Settings {
    std::string machineHostName;
    std::vector<std::string> searchDomains;
    bool allowAnyClient = false;  // TAVLO_ALLOW_ANY_CLIENT=1: no address check
    // The machine's subnets (NetworkInfo::onLinkPrefixes); null: only the fixed ranges.
    std::function<std::vector<IPPrefix>()> onLinkPrefixes;
    std::function<Clock::time_point()> now = [] { return Clock::now(); };
  };
  // The subnets are read again when older than this, and before refusing an
  // address when older than kRecheckAge (a network just joined is seen at once).
  static constexpr std::chrono::seconds kMaxAge{5};
  static constexpr std::chrono::seconds kRecheckAge{1};

  explicit RequestPolicy(Settings settings) : settings_(std::move(settings)) {}

  // The 403 reply for a request that must not be served, or none.
  std::optional<HTTPResponse> check(const HTTPRequest& request);

 private:
  bool clientAllowed(std::string_view address);
  void readPrefixes();

  Settings settings_;
  std::vector<IPPrefix> prefixes_;
  std::optional<Clock::time_point> readAt_;
};

}  // namespace tavlo
