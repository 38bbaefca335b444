// What `doctor` makes of captured firewall rules and /proc tables, one row a situation seen on real
// machines; where the companion's files go, from the environment. Runs on the test's main thread.
#include <gtest/gtest.h>

#include <map>

#include "app/FirewallRules.hpp"
#include "app/Paths.hpp"
#include "app/PortOwner.hpp"

namespace tavlo {
namespace {

// Each verdict as "lets" or the command doctor names to open the port; "not judged" when none.
std::string said(const std::optional<std::vector<FirewallVerdict>>& verdicts) {
  if (!verdicts) return "not judged";
  std::string out;
  for (const auto& v : *verdicts) out += (out.empty() ? "" : "; ") + (v.blocked ? v.todo : "lets");
  return out;
}

// `nft -j list ruleset` of table inet t: base chain "input" with `policy`, chain "blocked", rules as (chain, exprs).
std::string nft(const std::string& policy, const std::vector<std::pair<std::string, std::string>>& rules) {
  std::string out = R"({"nftables":[{"metainfo":{"version":"1.0.6"}},{"chain":{"family":"inet","table":"t",)"
                    R"("name":"input","type":"filter","hook":"input","prio":0,"policy":")" + policy +
                    R"("}},{"chain":{"family":"inet","table":"t","name":"blocked"}})";
  for (const auto& [chain, expr] : rules)
    out += R"(,{"rule":{"family":"inet","table":"t","chain":")" + chain + R"(","expr":[)" + expr + "]}}";
  return out + "]}";
}
std::string match(const std::string& left, const std::string& right, const std::string& op = "==") {
  return R"({"match":{"op":")" + op + R"(","left":)" + left + R"(,"right":)" + right + "}},";
}
std::string dport(const std::string& protocol, const std::string& right) {
  return match(R"({"payload":{"protocol":")" + protocol + R"(","field":"dport"}})", right);
}
std::string meta(const std::string& key, const std::string& right) {
  return match(R"({"meta":{"key":")" + key + R"("}})", right);
}
const std::string kCtState = R"({"ct":{"key":"state"}})";
const std::string kAccept = R"({"accept":null})", kDrop = R"({"drop":null})", kReject = R"({"reject":null})";
const std::string kOpenTcp = "sudo nft insert rule inet t input tcp dport 18765 accept";
const std::string kOpenMdns = "sudo nft insert rule inet t input udp dport 5353 accept";
const std::string kUfwDefaults = "Status: active\nLogging: on (low)\n"
                                 "Default: deny (incoming), allow (outgoing), disabled (routed)\nNew profiles: skip\n\n"
                                 "To              Action      From\n--              ------      ----\n";
const std::string kFirewalldReload = " --permanent && sudo firewall-cmd --reload";

// Where the first socket in LISTEN on 18765 is in /proc/net/tcp and tcp6,
// given as "local remote state" a socket (every inode is 7).
std::string listener(const std::vector<std::string>& tcp, const std::vector<std::string>& tcp6 = {}) {
  std::vector<std::string> tables;
  for (const auto& sockets : {tcp, tcp6}) {
    tables.push_back("  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  inode\n");
    for (const auto& s : sockets) tables.back() += "   0: " + s + " 00000000:00000000 00:00000000 00000000 1000 0 7\n";
  }
  const auto found = portListener(tables, kCompanionPort);
  if (!found) return "free";
  return "on " + (found->address.empty() ? "every address" : found->address) + ", inode " + found->inode;
}

// /proc with pid 77 holding socket 42420 and pid 78 socket 4242 (also seen through "self").
std::string holder(const std::string& inode) {
  const std::map<std::string, std::vector<std::string>> fds = {
      {"self", {"socket:[4242]"}}, {"77", {"/dev/null", "socket:[42420]"}}, {"78", {"pipe:[9]", "socket:[4242]"}}};
  return std::to_string(socketHolder(inode, {"self", "1", "77", "78", "sys"}, [&](const std::string& pid) {
    return fds.contains(pid) ? fds.at(pid) : std::vector<std::string>{};
  }));
}

const std::string v6Any = "00000000000000000000000000000000";
struct Case { const char* situation; std::string seen, expected; };
const Case kCases[] = {
    {"nft: no rules at all", said(nftablesVerdicts(R"({"nftables":[{"metainfo":{}}]})")), "lets; lets"},
    {"nft: could not list (no rights)", said(nftablesVerdicts("")), "not judged"},
    {"nft: drop policy, only ssh and tracked connections let in, a rate-limited reject",
     said(nftablesVerdicts(nft("drop", {{"input", match(kCtState, R"("invalid")", "in") + kDrop},
                                        {"input", match(kCtState, R"(["established","related"])", "in") + kAccept},
                                        {"input", meta("iif", R"("lo")") + kAccept},
                                        {"input", dport("tcp", "22") + kAccept},
                                        {"input", meta("pkttype", R"("host")") + kReject}}))),
     kOpenTcp + "; " + kOpenMdns},
    {"nft: drop policy, both ports accepted for new connections",
     said(nftablesVerdicts(nft("drop", {{"input", dport("tcp", "18765") +
                                                     match(kCtState, R"(["new","established"])", "in") + kAccept},
                                        {"input", dport("udp", R"({"set":[53,5353]})") + kAccept}}))),
     "lets; lets"},
    {"nft: a reject for a port range holding 18765, drops for other ports or loopback only",
     said(nftablesVerdicts(nft("accept", {{"input", dport("tcp", R"({"range":[18000,19000]})") + kReject},
                                          {"input", dport("udp", "53") + kDrop},
                                          {"input", meta("iifname", R"("lo")") + kDrop},
                                          {"input", match(R"({"payload":{"protocol":"ip","field":"saddr"}})",
                                                          R"({"prefix":{"addr":"10.0.0.0","len":8}})") + kDrop}}))),
     kOpenTcp + "; lets"},
    {"nft: 18765 accepted before its drop, mDNS dropped in a jumped-to chain",
     said(nftablesVerdicts(nft("accept", {{"input", match(kCtState, R"("established")") + kAccept},
                                          {"input", dport("tcp", "18765") + kAccept},
                                          {"input", meta("l4proto", R"("udp")") + R"({"jump":{"target":"blocked"}})"},
                                          {"input", dport("tcp", "18765") + kDrop},
                                          {"blocked", dport("udp", R"({"set":[53,5353]})") + kDrop}}))),
     "lets; " + kOpenMdns},
    {"ufw: inactive", said(ufwVerdicts("Status: inactive\n")), "not judged"},
    {"ufw: deny incoming, no rule", said(ufwVerdicts(kUfwDefaults)),
     "sudo ufw allow 18765/tcp; sudo ufw allow 5353/udp"},
    {"ufw: both ports allowed, with their v6 lines",
     said(ufwVerdicts(kUfwDefaults + "18765/tcp       ALLOW IN    Anywhere\n5353/udp        ALLOW IN    Anywhere\n"
                                     "18765/tcp (v6)  ALLOW IN    Anywhere (v6)\n"
                                     "5353/udp (v6)   ALLOW IN    Anywhere (v6)\n")),
     "lets; lets"},
    {"ufw: 18765 denied, mDNS allowed by its app profile",
     said(ufwVerdicts(kUfwDefaults + "18765/tcp       DENY IN     Anywhere\nmDNS            ALLOW IN    Anywhere\n")),
     "sudo ufw allow 18765/tcp; lets"},
    {"firewalld: port and mdns service listed", said(firewalldVerdicts("18765/tcp 8080/tcp\n", "ssh mdns\n")),
     "lets; lets"},
    {"firewalld: neither listed", said(firewalldVerdicts("\n", "dhcpv6-client ssh\n")),
     "sudo firewall-cmd --add-port=18765/tcp" + kFirewalldReload + "; sudo firewall-cmd --add-service=mdns" +
         kFirewalldReload},
    {"firewalld: 5353/udp as a port, 18765 only for udp", said(firewalldVerdicts("18765/udp 5353/udp\n", "ssh\n")),
     "sudo firewall-cmd --add-port=18765/tcp" + kFirewalldReload + "; lets"},
    {"tcp: 18765 on every IPv4 address", listener({"00000000:494D 00000000:0000 0A"}), "on every address, inode 7"},
    {"tcp: 18765 on 127.0.0.1 only", listener({"0100007F:494D 00000000:0000 0A"}), "on 127.0.0.1, inode 7"},
    {"tcp6: 18765 on ::, after another port on IPv4",
     listener({"0100007F:0050 00000000:0000 0A"}, {v6Any + ":494D " + v6Any + ":0000 0A"}),
     "on every address, inode 7"},
    {"tcp6: 18765 on ::1", listener({}, {"00000000000000000000000001000000:494D " + v6Any + ":0000 0A"}),
     "on ::1, inode 7"},
    {"tcp: 18765 not listening: a phone's connection to it, one in TIME_WAIT, 18765 only as a remote port",
     listener({"1401A8C0:494D 0B01A8C0:C350 01", "1401A8C0:494D 0B01A8C0:C351 06", "1401A8C0:C352 0B01A8C0:494D 01"}),
     "free"},
    {"owner: the process holding the socket", holder("4242"), "78"},
    {"owner: none we may see", holder("999"), "0"},
};

TEST(DoctorRulesTest, RealRuleSetsAndSocketTablesReadAsTheyWork) {
  for (const auto& c : kCases) EXPECT_EQ(c.seen, c.expected) << c.situation;
}

TEST(StagingDir, FromEnvironmentWithTildesAndTidiedPaths) {
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "/";
  setenv("HOME", "/home/desk", 1);
  for (auto [value, expected] : {std::pair{"", "/home/desk/TavloStaging"}, {"~/packs", "/home/desk/packs"},
                                 {"~", "/home/desk"}, {"/srv/packs/", "/srv/packs"}, {"/srv/./a//b", "/srv/a/b"},
                                 {"~root/packs", "/root/packs"}}) {
    setenv("TAVLO_STAGING", value, 1);
    EXPECT_EQ(resolveStagingDir().value(), std::filesystem::path(expected)) << value;
    EXPECT_EQ(resolveStagingDir(std::string(*value ? value : "~/TavloStaging")).value(),
              std::filesystem::path(expected))
        << value;
  }
  // Without an absolute HOME no store gets a relative or root path.
  unsetenv("TAVLO_STAGING"), unsetenv("XDG_STATE_HOME"), setenv("HOME", "relative/home", 1);
  EXPECT_FALSE(resolveStagingDir().value() || defaultsStorePath());
  setenv("HOME", home.c_str(), 1);
}

}  // namespace
}  // namespace tavlo
