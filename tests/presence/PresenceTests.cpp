#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>
#include <vector>

#include "platform/Async.hpp"
#include "platform/HostName.hpp"
#include "presence/NetworkInfo.hpp"
#include "presence/TailscaleProbe.hpp"
#include "support/TestSupport.hpp"

namespace tavlo {
namespace {

// An address is IPv4, IPv6 (it has a ':') or none; a netmask is of the address's family, or none.
struct Interface { const char *name, *address; bool up = true; const char* netmask = nullptr; };

sockaddr* fill(sockaddr_storage& into, const char* address) {
  auto* v4 = reinterpret_cast<sockaddr_in*>(&into);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&into);
  if (!address) return nullptr;
  if (std::strchr(address, ':')) v6->sin6_family = AF_INET6, inet_pton(AF_INET6, address, &v6->sin6_addr);
  else v4->sin_family = AF_INET, inet_pton(AF_INET, address, &v4->sin_addr);
  return reinterpret_cast<sockaddr*>(&into);
}

// An interface list linked the way getifaddrs links it.
struct InterfaceList {
  std::vector<ifaddrs> list;
  std::vector<sockaddr_storage> addresses, masks;
  explicit InterfaceList(const std::vector<Interface>& interfaces)
      : list(interfaces.size()), addresses(interfaces.size()), masks(interfaces.size()) {
    for (std::size_t i = 0; i < list.size(); ++i)
      list[i] = {i + 1 < list.size() ? &list[i + 1] : nullptr, const_cast<char*>(interfaces[i].name),
                 interfaces[i].up ? unsigned{IFF_UP} : 0u, fill(addresses[i], interfaces[i].address),
                 fill(masks[i], interfaces[i].netmask), {}, nullptr};
  }
  const ifaddrs* head() const { return list.empty() ? nullptr : list.data(); }
};

TEST(NetworkInfoLanIP, FirstIPv4OnABuiltInInterfaceThatIsUp) {
  const std::pair<std::vector<Interface>, std::optional<std::string>> cases[] = {
      {{}, std::nullopt},
      {{{"lo", "127.0.0.1"}, {"docker0", "172.17.0.1"}, {"tailscale0", "100.1.2.3"}, {"br-1", "10.0.0.1"}}, std::nullopt},
      {{{"eth0", nullptr}, {"enp3s0", "fe80::1"}, {"wlp2s0", "192.168.1.7"}, {"enp3s0", "10.1.1.1"}}, "192.168.1.7"},
      {{{"eth0", "169.254.3.4"}, {"eth0", "192.168.0.2"}}, "169.254.3.4"},
      {{{"eno1", "10.0.0.5", false}, {"wlan0", "10.0.0.6"}}, "10.0.0.6"},
  };
  for (const auto& [interfaces, expected] : cases)
    EXPECT_EQ(NetworkInfo::lanIPFrom(InterfaceList(interfaces).head()), expected)
        << (interfaces.empty() ? "empty" : interfaces[0].name);
}

// The name the phone shows: PRETTY_HOSTNAME (quotes and backslashes undone), else the network host name.
TEST(HostName, PrettyNameElseTheNetworkName) {
  testing::TempDir dir;
  const std::pair<const char*, std::string> cases[] = {
      {"CHASSIS=laptop\nPRETTY_HOSTNAME=\"Anna's \\\"Desk\\\"\"\n", "Anna's \"Desk\""},
      {"PRETTY_HOSTNAME='B\xC3\xBCro PC'\nPRETTY_HOSTNAME=Second", "B\xC3\xBCro PC"},
      {"PRETTY_HOSTNAME=\"\"\n# PRETTY_HOSTNAME=Commented\n", networkHostName()}};
  for (const auto& [text, expected] : cases) {
    testing::writeFile(dir / "machine-info", text);
    EXPECT_EQ(localizedHostName(dir / "machine-info"), expected) << text;
  }
  EXPECT_EQ(localizedHostName(dir / "missing"), networkHostName());
}

// The subnets a client may connect from: every up interface's address under its
// netmask, IPv4 and IPv6 (a home network's global prefix too).
TEST(NetworkInfoOnLinkPrefixes, SubnetsOfUpInterfaces) {
  const std::vector<Interface> interfaces = {
      {"lo", "127.0.0.1", true, "255.0.0.0"},
      {"eth0", "192.168.1.7", true, "255.255.255.0"},
      {"eth0", "2001:db8:1::7", true, "ffff:ffff:ffff:ffff::"},
      {"wlan0", "192.168.1.9", true, "255.255.255.0"},     // the same subnet again
      {"eth1", "198.51.100.1", false, "255.255.255.0"},    // down
      {"tun0", "203.0.113.5", true, nullptr},              // no netmask
      {"tun1", "203.0.113.6", true, "0.0.0.0"},            // would make every address local
      {"wg0", "10.9.8.7", true, "255.255.255.252"},
  };
  std::vector<std::string> got;
  for (const auto& p : NetworkInfo::onLinkPrefixesFrom(InterfaceList(interfaces).head())) {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(p.v6 ? AF_INET6 : AF_INET, p.bytes.data(), text, sizeof text);
    got.push_back(std::string(text) + "/" + std::to_string(p.length));
  }
  EXPECT_EQ(got, (std::vector<std::string>{"127.0.0.0/8", "192.168.1.0/24", "2001:db8:1::/64", "10.9.8.4/30"}));
  EXPECT_TRUE(NetworkInfo::onLinkPrefixesFrom(nullptr).empty());
  // An IPv4-compatible address is not IPv4. (Which client addresses pass is the request policy's test.)
  EXPECT_FALSE(IPPrefix::parse("10.9.8.4/30")->contains(*IPPrefix::parse("::a09:805")));
}

TEST(TailscaleStatusParsing, ConnectedOnlyWithAnIPv4WhileRunning) {
  const auto stopped = TailscaleStatus::stopped();
  const auto connected = TailscaleStatus::connected;
  const std::pair<const char*, TailscaleStatus> cases[] = {
      {R"({"BackendState":"Running","Self":{"TailscaleIPs":["fd7a:115c::1","100.101.102.103"],"DNSName":"desk.tail1234.ts.net."}})",
       connected("100.101.102.103", "desk.tail1234.ts.net")},
      // No backend state at all still counts when an address is listed.
      {R"({"Self":{"TailscaleIPs":["100.1.2.3"]}})", connected("100.1.2.3", std::nullopt)},
      {R"({"BackendState":7,"Self":{"TailscaleIPs":["100.1.2.3"],"DNSName":"."}})", connected("100.1.2.3", std::nullopt)},
      {R"({"Self":{"TailscaleIPs":["100.1.2.3"],"DNSName":5}})", connected("100.1.2.3", std::nullopt)},
      {R"({"Self":{"TailscaleIPs":["100.1.2.3"],"DNSName":"..a.b.."}})", connected("100.1.2.3", "a.b")},
      {R"({"BackendState":"NeedsLogin","Self":{"TailscaleIPs":["100.1.2.3"]}})", stopped},
      {R"({"BackendState":"Running","Self":{"TailscaleIPs":["fd7a:115c::1"]}})", stopped},
      {R"({"BackendState":"Running","Self":{"TailscaleIPs":["100.1.2.3", 5]}})", stopped},
      {R"({"BackendState":"Running","Self":{"TailscaleIPs":"100.1.2.3"}})", stopped},
      {R"({"BackendState":"Running","Self":[]})", stopped},
      {R"([{"Self":{"TailscaleIPs":["100.1.2.3"]}}])", stopped},
      {"failed to connect to local tailscaled; it doesn't appear to be running", stopped},
  };
  for (const auto& [out, expected] : cases) EXPECT_EQ(TailscaleProbe::parseStatus(out), expected) << out;
}

constexpr const char* kRunning =
    R"(echo '{"BackendState":"Running","Self":{"TailscaleIPs":["fd7a::1","100.90.1.2"],"DNSName":"desk.example.ts.net."}}')";

TEST(TailscaleToolTest, FirstExecutableCandidateRunsAndItsOutputDecides) {
  testing::TempDir dir;
  auto tool = [&](const std::string& name, const std::string& script, bool executable = true) {
    return testing::writeScript(dir / name, script + "\n", executable);
  };
  auto options = [](std::vector<std::string> candidates) { return TailscaleProbe::Options{std::move(candidates), 500ms}; };
  const TailscaleStatus running = TailscaleStatus::connected("100.90.1.2", "desk.example.ts.net");
  const std::string missing = (dir / "absent").string(), notExecutable = tool("plain", "echo '{}'", false);
  const std::pair<std::vector<std::string>, TailscaleStatus> cases[] = {
      {{missing, notExecutable, tool("ts", std::string("[ \"$1 $2\" = \"status --json\" ] || exit 3\n") + kRunning),
        tool("later", "echo '{\"Self\":{\"TailscaleIPs\":[\"100.0.0.9\"]}}'")}, running},
      {{missing, notExecutable}, TailscaleStatus::notInstalled()},
      {{tool("fails", std::string(kRunning) + "\nexit 1")}, running},  // the exit status is ignored
      {{tool("text", "echo 'not running' >&2; echo 'oops'")}, TailscaleStatus::stopped()},
      {{tool("hang", "sleep 60")}, TailscaleStatus::stopped()},  // killed at the time limit
  };
  for (const auto& [candidates, expected] : cases)
    EXPECT_EQ(runToCompletion(TailscaleProbe::read(options(candidates))), expected) << candidates.back();
}

}  // namespace
}  // namespace tavlo
