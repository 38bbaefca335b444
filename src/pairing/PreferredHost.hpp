#pragma once
// The address the phone connects to: the pairing record's Tailscale address
// when it has one, else its LAN address, with the port. Header-only, so the
// tray module (which links no core library) shows the same as `pairing` and
// `doctor`. Plain functions, any thread.
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tavlo {

struct PreferredHost {
  std::string hostPort;  // "100.101.102.103:18765", "[fd7a:115c::1]:18765"
  std::string via;       // "Tailscale" or "LAN"

  // "phone connects to 100.101.102.103:18765 (Tailscale)"
  std::string sentence() const { return "phone connects to " + hostPort + " (" + via + ")"; }
};

inline std::optional<PreferredHost> preferredHost(const std::optional<std::string>& lanIP,
                                                  const std::optional<std::string>& tailscaleIP, std::int64_t port) {
  const bool tailscale = tailscaleIP && !tailscaleIP->empty();
  const std::optional<std::string>& ip = tailscale ? tailscaleIP : lanIP;
  if (!ip || ip->empty() || port <= 0) return std::nullopt;
  const std::string host = ip->find(':') == std::string::npos ? *ip : "[" + *ip + "]";
  return PreferredHost{host + ":" + std::to_string(port), tailscale ? "Tailscale" : "LAN"};
}

// The same from the record as JSON text keys ("mac.lan_ip", "mac.tailscale_ip", "mac.port").
inline std::optional<PreferredHost> preferredHost(const nlohmann::json& record) {
  if (!record.is_object()) return std::nullopt;
  auto text = [&](const char* key) -> std::optional<std::string> {
    auto it = record.find(key);
    return it != record.end() && it->is_string() ? std::optional(it->get<std::string>()) : std::nullopt;
  };
  auto port = record.find("mac.port");
  if (port == record.end() || !port->is_number_integer()) return std::nullopt;
  return preferredHost(text("mac.lan_ip"), text("mac.tailscale_ip"), port->get<std::int64_t>());
}

}  // namespace tavlo
