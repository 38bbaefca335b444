#pragma once
// How the phone can reach this machine: the LAN address, the subnets it is
// on and the Tailscale state.
// Reads the kernel's interface list: any thread.
#include <ifaddrs.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "presence/TailscaleStatus.hpp"

namespace tavlo {

// An address range: the first `length` bits of `bytes` (an IPv4 range uses the
// first 4 bytes). A single address is a range of full length.
struct IPPrefix {
  bool v6 = false;
  std::array<unsigned char, 16> bytes{};
  unsigned length = 0;

  // "192.168.0.0/16", "fe80::/10", "10.1.2.3" (its own /32); an IPv4-mapped
  // IPv6 address ("::ffff:10.1.2.3") is read as the IPv4 address. None when
  // the text is not an address of either family.
  static std::optional<IPPrefix> parse(std::string_view text);
  // True when `address` (a full-length prefix) lies inside this range.
  bool contains(const IPPrefix& address) const;
  bool operator==(const IPPrefix&) const = default;
};

}  // namespace tavlo

namespace tavlo::NetworkInfo {

// The first IPv4 address, in the system's order, of an up interface named
// en*, eth* or wl* (the built-in Ethernet and Wi-Fi); none when there is none.
std::optional<std::string> lanIP();

// The same rule over a given interface list (tests build their own).
std::optional<std::string> lanIPFrom(const ifaddrs* list);

// The subnets of the addresses of every up interface (address and netmask),
// IPv4 and IPv6, loopback included; none when the list cannot be read.
std::vector<IPPrefix> onLinkPrefixes();
std::vector<IPPrefix> onLinkPrefixesFrom(const ifaddrs* list);

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
