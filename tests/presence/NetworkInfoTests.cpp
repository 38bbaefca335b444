#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <deque>

#include "presence/NetworkInfo.hpp"

namespace tavlo {
namespace {

// Builds an interface list the way getifaddrs links it.
class InterfaceList {
 public:
  InterfaceList& v4(const char* name, const char* address, bool up = true) {
    sockaddr_in& sa = v4s_.emplace_back();
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, address, &sa.sin_addr);
    return add(name, reinterpret_cast<sockaddr*>(&sa), up);
  }
  InterfaceList& v6(const char* name, const char* address) {
    sockaddr_in6& sa = v6s_.emplace_back();
    sa.sin6_family = AF_INET6;
    inet_pton(AF_INET6, address, &sa.sin6_addr);
    return add(name, reinterpret_cast<sockaddr*>(&sa), true);
  }
  InterfaceList& noAddress(const char* name) { return add(name, nullptr, true); }
  const ifaddrs* head() {
    for (std::size_t i = 0; i + 1 < entries_.size(); ++i) entries_[i].ifa_next = &entries_[i + 1];
    return entries_.empty() ? nullptr : &entries_.front();
  }

 private:
  InterfaceList& add(const char* name, sockaddr* address, bool up) {
    ifaddrs& entry = entries_.emplace_back();
    entry.ifa_name = const_cast<char*>(name);
    entry.ifa_addr = address;
    entry.ifa_flags = up ? IFF_UP : 0;
    return *this;
  }
  std::deque<ifaddrs> entries_;
  std::deque<sockaddr_in> v4s_;
  std::deque<sockaddr_in6> v6s_;
};

TEST(NetworkInfoLanIP, FirstIPv4OnABuiltInInterface) {
  EXPECT_EQ(NetworkInfo::lanIPFrom(nullptr), std::nullopt);
  {
    InterfaceList list;
    list.v4("lo", "127.0.0.1").v4("docker0", "172.17.0.1").v4("tailscale0", "100.1.2.3").v4("br-1", "10.0.0.1");
    EXPECT_EQ(NetworkInfo::lanIPFrom(list.head()), std::nullopt);
  }
  {
    InterfaceList list;
    list.noAddress("eth0").v6("enp3s0", "fe80::1").v4("wlp2s0", "192.168.1.7").v4("enp3s0", "10.1.1.1");
    EXPECT_EQ(NetworkInfo::lanIPFrom(list.head()), "192.168.1.7");
  }
  {
    InterfaceList list;
    list.v4("eth0", "169.254.3.4").v4("eth0", "192.168.0.2");
    EXPECT_EQ(NetworkInfo::lanIPFrom(list.head()), "169.254.3.4");
  }
  {
    InterfaceList list;
    list.v4("eno1", "10.0.0.5", /*up=*/false).v4("wlan0", "10.0.0.6");
    EXPECT_EQ(NetworkInfo::lanIPFrom(list.head()), "10.0.0.6");
  }
}

}  // namespace
}  // namespace tavlo
