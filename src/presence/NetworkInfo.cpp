#include "presence/NetworkInfo.hpp"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <string_view>

#include "presence/TailscaleProbe.hpp"

namespace tavlo {
namespace {

constexpr unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

}  // namespace

std::optional<IPPrefix> IPPrefix::parse(std::string_view text) {
  std::optional<unsigned> length;
  if (auto slash = text.find('/'); slash != std::string_view::npos) {
    unsigned value = 0;
    auto digits = text.substr(slash + 1);
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty()) return std::nullopt;
    length = value;
    text = text.substr(0, slash);
  }
  const std::string address(text);
  IPPrefix p;
  if (inet_pton(AF_INET, address.c_str(), p.bytes.data()) == 1) {
    p.length = length.value_or(32);
  } else if (inet_pton(AF_INET6, address.c_str(), p.bytes.data()) == 1) {
    p.v6 = true;
    p.length = length.value_or(128);
    if (p.length >= 96 && std::memcmp(p.bytes.data(), kMappedPrefix, sizeof kMappedPrefix) == 0) {
      std::memmove(p.bytes.data(), p.bytes.data() + 12, 4);
      std::fill(p.bytes.begin() + 4, p.bytes.end(), 0);
      p.v6 = false;
      p.length -= 96;
    }
  } else {
    return std::nullopt;
  }
  if (p.length > (p.v6 ? 128u : 32u)) return std::nullopt;
  return p;
}

bool IPPrefix::contains(const IPPrefix& address) const {
  if (address.v6 != v6 || address.length < length) return false;
  const unsigned whole = length / 8, rest = length % 8;
  if (std::memcmp(bytes.data(), address.bytes.data(), whole) != 0) return false;
  if (rest == 0) return true;
  const auto mask = static_cast<unsigned char>(0xff << (8 - rest));
  return (bytes[whole] & mask) == (address.bytes[whole] & mask);
}

}  // namespace tavlo

namespace tavlo::NetworkInfo {
namespace {

bool isBuiltInInterface(std::string_view name) {
  return name.starts_with("en") || name.starts_with("eth") || name.starts_with("wl");
}

// The address masked by its netmask; none for another family or a missing mask.
std::optional<IPPrefix> subnetOf(const sockaddr* address, const sockaddr* netmask) {
  if (!address || !netmask) return std::nullopt;
  IPPrefix p;
  const unsigned char* addr = nullptr;
  const unsigned char* mask = nullptr;
  std::size_t size = 0;
  if (address->sa_family == AF_INET) {
    addr = reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    mask = reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in*>(netmask)->sin_addr);
    size = 4;
  } else if (address->sa_family == AF_INET6) {
    addr = reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr);
    mask = reinterpret_cast<const unsigned char*>(&reinterpret_cast<const sockaddr_in6*>(netmask)->sin6_addr);
    size = 16;
    p.v6 = true;
  } else {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < size; ++i) {
    p.bytes[i] = addr[i] & mask[i];
    p.length += static_cast<unsigned>(std::popcount(mask[i]));
  }
  return p;
}

}  // namespace

std::vector<IPPrefix> onLinkPrefixesFrom(const ifaddrs* list) {
  std::vector<IPPrefix> prefixes;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!(entry->ifa_flags & IFF_UP)) continue;
    auto prefix = subnetOf(entry->ifa_addr, entry->ifa_netmask);
    // A zero-length mask would make every address local: not a subnet worth trusting.
    if (!prefix || prefix->length == 0) continue;
    if (std::find(prefixes.begin(), prefixes.end(), *prefix) == prefixes.end()) prefixes.push_back(*prefix);
  }
  return prefixes;
}

std::vector<IPPrefix> onLinkPrefixes() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return {};
  auto prefixes = onLinkPrefixesFrom(list);
  freeifaddrs(list);
  return prefixes;
}

std::optional<std::string> lanIPFrom(const ifaddrs* list) {
  if (auto address = lanAddressFrom(list)) return address->ip;
  return std::nullopt;
}

std::optional<LanAddress> lanAddressFrom(const ifaddrs* list) {
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
    if (!entry->ifa_name || !isBuiltInInterface(entry->ifa_name) || !(entry->ifa_flags & IFF_UP)) continue;
    char host[NI_MAXHOST] = {};
    if (getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) {
      return std::nullopt;
    }
    return LanAddress{entry->ifa_name, host};
  }
  return std::nullopt;
}

std::optional<LanAddress> lanAddress() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return std::nullopt;
  std::optional<LanAddress> address = lanAddressFrom(list);
  freeifaddrs(list);
  return address;
}

std::optional<std::string> lanIP() {
  if (auto address = lanAddress()) return address->ip;
  return std::nullopt;
}

TailscaleStatus tailscaleSync() {
  // Run on the caller's own thread: parking it on a pool worker instead could
  // dead-lock when the caller is itself a pool thread.
  return TailscaleProbe::readBlocking();  // a tool that fails reads as "unknown"
}

}  // namespace tavlo::NetworkInfo
