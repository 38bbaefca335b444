#pragma once
// How the phone can reach this machine: the LAN address and the Tailscale state.
#include <ifaddrs.h>

#include <optional>
#include <string>

#include "presence/TailscaleStatus.hpp"

namespace tavlo::NetworkInfo {

// The first IPv4 address, in the system's order, of an up interface named
// en*, eth* or wl* (the built-in Ethernet and Wi-Fi); none when there is none.
std::optional<std::string> lanIP();

// The same rule over a given interface list (tests build their own).
std::optional<std::string> lanIPFrom(const ifaddrs* list);

// The address lanIP() gives, with the interface that carries it.
struct LanAddress {
  std::string interface;
  std::string ip;
};
std::optional<LanAddress> lanAddress();
std::optional<LanAddress> lanAddressFrom(const ifaddrs* list);

// Blocks the calling thread until the Tailscale probe has answered.
TailscaleStatus tailscaleSync();

}  // namespace tavlo::NetworkInfo
