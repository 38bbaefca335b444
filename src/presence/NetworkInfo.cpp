#include "presence/NetworkInfo.hpp"

#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string_view>

#include "presence/TailscaleProbe.hpp"

namespace tavlo::NetworkInfo {
namespace {

bool isBuiltInInterface(std::string_view name) {
  return name.starts_with("en") || name.starts_with("eth") || name.starts_with("wl");
}

}  // namespace

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
  try {
    return TailscaleProbe::readBlocking();
  } catch (...) {
    return TailscaleStatus::unknown();
  }
}

}  // namespace tavlo::NetworkInfo
