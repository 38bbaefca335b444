#pragma once
#include <optional>
#include <string>

namespace tavlo {

// What the last Tailscale probe found.
struct TailscaleStatus {
  enum class Kind { connected, unknown, notInstalled, stopped };

  Kind kind = Kind::unknown;
  std::string ip;                       // only for connected: the IPv4 address
  std::optional<std::string> hostname;  // only for connected: DNS name without surrounding dots

  static TailscaleStatus connected(std::string ip, std::optional<std::string> hostname) {
    return {Kind::connected, std::move(ip), std::move(hostname)};
  }
  static TailscaleStatus unknown() { return {}; }
  static TailscaleStatus notInstalled() { return {Kind::notInstalled, {}, {}}; }
  static TailscaleStatus stopped() { return {Kind::stopped, {}, {}}; }

  bool isConnected() const { return kind == Kind::connected; }
  bool operator==(const TailscaleStatus&) const = default;
};

}  // namespace tavlo
