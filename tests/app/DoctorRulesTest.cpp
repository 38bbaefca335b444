// What `doctor` makes of captured firewall rules and /proc tables, one row a
// situation seen on real machines. Runs on the test's main thread.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "app/FirewallRules.hpp"
#include "app/PortOwner.hpp"

namespace tavlo {
namespace {

// The verdicts as doctor prints them after "firewall (...): ", or "not judged".
std::string said(const std::optional<std::vector<FirewallVerdict>>& verdicts) {
  if (!verdicts) return "not judged";
  std::string out;
  for (const auto& v : *verdicts) out += (out.empty() ? "" : "; ") + v.found + (v.blocked ? " — " + v.todo : "");
  return out;
}

// `nft -j list ruleset` of table inet t, base chain "input" with `policy`,
// then rules as (chain, expressions).
std::string nft(const std::string& policy, const std::vector<std::pair<std::string, std::string>>& rules) {
  std::string out = R"({"nftables":[{"metainfo":{"version":"1.0.6","json_schema_version":1}},)"
                    R"({"chain":{"family":"inet","table":"t","name":"input","type":"filter","hook":"input","prio":0,)"
                    R"("policy":")" + policy + R"("}},{"chain":{"family":"inet","table":"t","name":"blocked"}})";
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
const std::string kCtState = R"({"ct":{"key":"state"}})";
const std::string kAccept = R"({"accept":null})", kDrop = R"({"drop":null})", kReject = R"({"reject":null})";
const std::string kBothDropped =
    "chain inet t input drops TCP 18765 — sudo nft insert rule inet t input tcp dport 18765 accept; "
    "chain inet t input drops UDP 5353 (mDNS) — sudo nft insert rule inet t input udp dport 5353 accept";
const std::string kBothLet = "lets TCP 18765 in; lets UDP 5353 (mDNS) in";

const std::string kUfwDefaults = "Status: active\nLogging: on (low)\n"
                                 "Default: deny (incoming), allow (outgoing), disabled (routed)\nNew profiles: skip\n\n"
                                 "To                         Action      From\n"
                                 "--                         ------      ----\n";

// A /proc/net/tcp table: its header, then one socket a line as "local remote state inode".
std::string procTcp(const std::vector<std::string>& sockets) {
  std::string out =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
  for (const auto& s : sockets) {
    std::istringstream f(s);
    std::string local, remote, state, inode;
    f >> local >> remote >> state >> inode;
    out += "   0: " + local + " " + remote + " " + state + " 00000000:00000000 00:00000000 00000000  1000        0 " +
           inode + " 1 0000000000000000 100 0 0 10 0\n";
  }
  return out;
}
std::string listener(const std::string& tcp, const std::string& tcp6 = procTcp({})) {
  const auto found = portListener({tcp, tcp6}, kCompanionPort);
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
    {"nft: no rules at all", said(nftablesVerdicts(R"({"nftables":[{"metainfo":{}}]})")), kBothLet},
    {"nft: could not list (no rights)", said(nftablesVerdicts("")), "not judged"},
    {"nft: drop policy, only ssh and tracked connections let in, a rate-limited reject",
     said(nftablesVerdicts(nft("drop", {{"input", match(kCtState, R"("invalid")", "in") + kDrop},
                                        {"input", match(kCtState, R"(["established","related"])", "in") + kAccept},
                                        {"input", match(R"({"meta":{"key":"iif"}})", R"("lo")") + kAccept},
                                        {"input", dport("tcp", "22") + kAccept},
                                        {"input", match(R"({"meta":{"key":"pkttype"}})", R"("host")") + kReject}}))),
     kBothDropped},
    {"nft: drop policy, both ports accepted for new connections",
     said(nftablesVerdicts(nft("drop", {{"input", dport("tcp", "18765") +
                                                      match(kCtState, R"(["new","established"])", "in") + kAccept},
                                        {"input", dport("udp", R"({"set":[53,5353]})") + kAccept}}))),
     kBothLet},
    {"nft: a reject for a port range holding 18765, drops for other ports or loopback only",
     said(nftablesVerdicts(nft("accept", {{"input", dport("tcp", R"({"range":[18000,19000]})") + kReject},
                                          {"input", dport("udp", "53") + kDrop},
                                          {"input", match(R"({"meta":{"key":"iifname"}})", R"("lo")") + kDrop},
                                          {"input", match(R"({"payload":{"protocol":"ip","field":"saddr"}})",
                                                          R"({"prefix":{"addr":"10.0.0.0","len":8}})") + kDrop}}))),
     "chain inet t input drops TCP 18765 — sudo nft insert rule inet t input tcp dport 18765 accept; "
     "lets UDP 5353 (mDNS) in"},
    {"nft: 18765 accepted before its drop, mDNS dropped in a jumped-to chain",
     said(nftablesVerdicts(nft("accept", {{"input", match(kCtState, R"("established")") + kAccept},
                                          {"input", dport("tcp", "18765") + kAccept},
                                          {"input", match(R"({"meta":{"key":"l4proto"}})", R"("udp")") +
                                                        R"({"jump":{"target":"blocked"}})"},
                                          {"input", dport("tcp", "18765") + kDrop},
                                          {"blocked", dport("udp", R"({"set":[53,5353]})") +
                                                          R"({"counter":null},)" + kDrop}}))),
     "lets TCP 18765 in; chain inet t input drops UDP 5353 (mDNS) — "
     "sudo nft insert rule inet t input udp dport 5353 accept"},
    {"ufw: inactive", said(ufwVerdicts("Status: inactive\n")), "not judged"},
    {"ufw: deny incoming, no rule", said(ufwVerdicts(kUfwDefaults)),
     "drops TCP 18765 — sudo ufw allow 18765/tcp; drops UDP 5353 (mDNS) — sudo ufw allow 5353/udp"},
    {"ufw: both ports allowed, with their v6 lines",
     said(ufwVerdicts(kUfwDefaults + "18765/tcp                  ALLOW IN    Anywhere\n"
                                     "5353/udp                   ALLOW IN    Anywhere\n"
                                     "18765/tcp (v6)             ALLOW IN    Anywhere (v6)\n"
                                     "5353/udp (v6)              ALLOW IN    Anywhere (v6)\n")),
     kBothLet},
    {"ufw: 18765 denied, mDNS allowed by its app profile",
     said(ufwVerdicts(kUfwDefaults + "18765/tcp                  DENY IN     Anywhere\n"
                                     "mDNS                       ALLOW IN    Anywhere\n")),
     "drops TCP 18765 — sudo ufw allow 18765/tcp; lets UDP 5353 (mDNS) in"},
    {"firewalld: port and mdns service listed", said(firewalldVerdicts("18765/tcp 8080/tcp\n", "ssh mdns\n")),
     kBothLet},
    {"firewalld: neither listed", said(firewalldVerdicts("\n", "dhcpv6-client ssh\n")),
     "drops TCP 18765 — sudo firewall-cmd --add-port=18765/tcp --permanent && sudo firewall-cmd --reload; "
     "drops UDP 5353 (mDNS) — sudo firewall-cmd --add-service=mdns --permanent && sudo firewall-cmd --reload"},
    {"firewalld: 5353/udp as a port, 18765 only for udp",
     said(firewalldVerdicts("18765/udp 5353/udp\n", "ssh\n")),
     "drops TCP 18765 — sudo firewall-cmd --add-port=18765/tcp --permanent && sudo firewall-cmd --reload; "
     "lets UDP 5353 (mDNS) in"},
    {"tcp: 18765 on every IPv4 address", listener(procTcp({"00000000:494D 00000000:0000 0A 31337"})),
     "on every address, inode 31337"},
    {"tcp: 18765 on 127.0.0.1 only", listener(procTcp({"0100007F:494D 00000000:0000 0A 7"})), "on 127.0.0.1, inode 7"},
    {"tcp6: 18765 on ::, after another port on IPv4",
     listener(procTcp({"0100007F:0050 00000000:0000 0A 5"}), procTcp({v6Any + ":494D " + v6Any + ":0000 0A 8"})),
     "on every address, inode 8"},
    {"tcp6: 18765 on ::1",
     listener(procTcp({}), procTcp({"00000000000000000000000001000000:494D " + v6Any + ":0000 0A 9"})),
     "on ::1, inode 9"},
    {"tcp: 18765 not listening: a phone's connection to it, one in TIME_WAIT, 18765 only as a remote port",
     listener(procTcp({"1401A8C0:494D 0B01A8C0:C350 01 10", "1401A8C0:494D 0B01A8C0:C351 06 0",
                       "1401A8C0:C352 0B01A8C0:494D 01 11"})),
     "free"},
    {"owner: the process holding the socket", holder("4242"), "78"},
    {"owner: none we may see", holder("999"), "0"},
};

TEST(DoctorRulesTest, RealRuleSetsAndSocketTablesReadAsTheyWork) {
  for (const auto& c : kCases) EXPECT_EQ(c.seen, c.expected) << c.situation;
}

}  // namespace
}  // namespace tavlo
