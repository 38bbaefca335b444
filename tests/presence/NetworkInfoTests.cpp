#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>
#include <vector>

#include "presence/NetworkInfo.hpp"

namespace tavlo {
namespace {

struct Interface {
  const char* name;
  const char* address;  // IPv4, IPv6 (has a ':') or none
  bool up = true;
};

// The answer for an interface list linked the way getifaddrs links it.
std::optional<std::string> lanIP(const std::vector<Interface>& interfaces) {
  std::vector<ifaddrs> list(interfaces.size());
  std::vector<sockaddr_storage> addresses(interfaces.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    const Interface& in = interfaces[i];
    list[i].ifa_next = i + 1 < list.size() ? &list[i + 1] : nullptr;
    list[i].ifa_name = const_cast<char*>(in.name);
    list[i].ifa_flags = in.up ? IFF_UP : 0;
    if (!in.address) continue;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&addresses[i]);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&addresses[i]);
    if (std::strchr(in.address, ':')) v6->sin6_family = AF_INET6, inet_pton(AF_INET6, in.address, &v6->sin6_addr);
    else v4->sin_family = AF_INET, inet_pton(AF_INET, in.address, &v4->sin_addr);
    list[i].ifa_addr = reinterpret_cast<sockaddr*>(&addresses[i]);
  }
  return NetworkInfo::lanIPFrom(list.empty() ? nullptr : list.data());
}

TEST(NetworkInfoLanIP, FirstIPv4OnABuiltInInterfaceThatIsUp) {
  const std::pair<std::vector<Interface>, std::optional<std::string>> cases[] = {
      {{}, std::nullopt},
      {{{"lo", "127.0.0.1"}, {"docker0", "172.17.0.1"}, {"tailscale0", "100.1.2.3"}, {"br-1", "10.0.0.1"}}, std::nullopt},
      {{{"eth0", nullptr}, {"enp3s0", "fe80::1"}, {"wlp2s0", "192.168.1.7"}, {"enp3s0", "10.1.1.1"}}, "192.168.1.7"},
      {{{"eth0", "169.254.3.4"}, {"eth0", "192.168.0.2"}}, "169.254.3.4"},
      {{{"eno1", "10.0.0.5", false}, {"wlan0", "10.0.0.6"}}, "10.0.0.6"},
  };
  for (const auto& [interfaces, expected] : cases)
    EXPECT_EQ(lanIP(interfaces), expected) << (interfaces.empty() ? "empty" : interfaces[0].name);
}

}  // namespace
}  // namespace tavlo
