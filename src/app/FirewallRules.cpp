// Pure: no I/O, no shared state; any thread may call it.
#include "app/FirewallRules.hpp"

#include <sstream>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tavlo {
namespace {

using Json = nlohmann::json;

struct Packet {
  std::string_view protocol;  // "tcp" or "udp"
  long port;
  std::string label() const { return protocol == "udp" ? "UDP 5353 (mDNS)" : "TCP " + std::to_string(port); }
  std::string portSlashProtocol() const { return std::to_string(port) + "/" + std::string(protocol); }
};

// constexpr: callers' own static tables may be built before this file's globals.
constexpr Packet kPackets[] = {{"tcp", kCompanionPort}, {"udp", kMdnsPort}};

FirewallVerdict lets(const Packet& p) { return {false, "lets " + p.label() + " in", ""}; }

// ---- nftables --------------------------------------------------------------

enum class Match { yes, no, unknown };

// The members of an anonymous set: `{ 53, 5353 }` arrives as {"set": [...]},
// `ct state new,established` as a bare list.
Json members(const Json& right) {
  if (right.is_array()) return right;
  if (right.is_object() && right.contains("set")) return right["set"];
  return Json::array();
}

bool valueMatches(const Json& right, const Packet& p) {
  if (right.is_number_integer()) return right.get<long>() == p.port;
  if (right.is_string()) return right.get<std::string>() == p.protocol;
  if (right.is_object() && right.contains("range") && right["range"].size() == 2 && right["range"][0].is_number())
    return right["range"][0].get<long>() <= p.port && p.port <= right["range"][1].get<long>();
  for (const auto& member : members(right))
    if (valueMatches(member, p)) return true;
  return false;
}

// One nft "match" expression against a new packet from the LAN.
Match matches(const Json& match, const Packet& p) {
  const Json& left = match.value("left", Json());
  const Json& right = match.value("right", Json());
  const std::string op = match.value("op", "==");
  bool equal;
  if (left.contains("payload") && left["payload"].value("field", "") == "dport") {
    const std::string proto = left["payload"].value("protocol", "");
    if (proto != "th" && proto != p.protocol) return Match::no;
    equal = valueMatches(right, p);
  } else if ((left.contains("meta") && left["meta"].value("key", "") == "l4proto") ||
             (left.contains("payload") && left["payload"].value("field", "") == "protocol")) {
    equal = valueMatches(right, p);
  } else if (left.contains("ct") && left["ct"].value("key", "") == "state") {
    equal = right == "new";
    for (const auto& state : members(right)) equal = equal || state == "new";
  } else if (left.contains("meta") && left["meta"].value("key", "").starts_with("iif")) {
    equal = right == "lo";
    if (equal) return op == "!=" ? Match::yes : Match::no;  // loopback rules never see LAN packets
    return Match::unknown;
  } else {
    return Match::unknown;
  }
  if (right.is_string() && right.get<std::string>().starts_with("@")) return Match::unknown;
  return (op == "!=") != equal ? Match::yes : Match::no;
}

struct Ruleset {
  std::vector<Json> chains;
  std::vector<Json> rules;
};

bool sameTable(const Json& a, const Json& b) {
  return a.value("family", "") == b.value("family", "") && a.value("table", "") == b.value("table", "");
}

std::string chainVerdict(const Ruleset& set, const Json& chain, const Packet& p, int depth, bool sure);

// What one rule does with the packet: "accept", "drop", "return", or "" (go on
// to the next rule). Conditions the check cannot judge count in the packet's
// favour (`sure` turns false below them): only sure drops are reported.
std::string ruleVerdict(const Ruleset& set, const Json& rule, const Json& chain, const Packet& p, int depth,
                        bool sure) {
  for (const auto& expr : rule.value("expr", Json::array())) {
    if (expr.contains("match")) {
      const Match m = matches(expr["match"], p);
      if (m == Match::no) return "";
      if (m == Match::unknown) sure = false;
      continue;
    }
    if (expr.contains("accept")) return "accept";
    if (expr.contains("drop") || expr.contains("reject")) return sure ? "drop" : "";
    if (expr.contains("return")) return sure ? "return" : "";
    const bool jump = expr.contains("jump");
    if (!jump && !expr.contains("goto")) continue;  // counter, log, ...
    const std::string target = expr[jump ? "jump" : "goto"].value("target", "");
    for (const auto& other : set.chains)
      if (sameTable(other, chain) && other.value("name", "") == target) {
        const std::string verdict = chainVerdict(set, other, p, depth + 1, sure);
        if (!verdict.empty()) return verdict;
      }
    return !jump && sure ? "return" : "";
  }
  return "";
}

// "accept", "drop", or "" when the chain ends (or returns) without a verdict.
std::string chainVerdict(const Ruleset& set, const Json& chain, const Packet& p, int depth, bool sure) {
  if (depth > 16) return "";
  for (const auto& rule : set.rules) {
    if (!sameTable(rule, chain) || rule.value("chain", "") != chain.value("name", "")) continue;
    const std::string verdict = ruleVerdict(set, rule, chain, p, depth, sure);
    if (verdict == "return") return "";
    if (!verdict.empty()) return verdict;
  }
  return "";
}

// The first base input chain that drops the packet, as "family table chain"; "" when none does.
std::string droppingChain(const Ruleset& set, const Packet& p) {
  for (const auto& chain : set.chains) {
    const std::string family = chain.value("family", "");
    if (chain.value("hook", "") != "input" || (family != "inet" && family != "ip")) continue;
    std::string verdict = chainVerdict(set, chain, p, 0, true);
    if (verdict.empty()) verdict = chain.value("policy", "accept");
    if (verdict == "drop") return family + " " + chain.value("table", "") + " " + chain.value("name", "");
  }
  return "";
}

// ---- ufw -------------------------------------------------------------------

bool ufwAllows(const std::string& status, const Packet& p) {
  if (status.find("allow (incoming)") != std::string::npos) return true;
  const std::string port = std::to_string(p.port);
  std::istringstream lines(status);
  for (std::string line; std::getline(lines, line);)
    if ((line.starts_with(p.portSlashProtocol() + " ") || line.starts_with(port + " ") ||
         (p.port == kMdnsPort && line.starts_with("mDNS "))) &&
        line.find("ALLOW") != std::string::npos)
      return true;
  return false;
}

}  // namespace

std::optional<std::vector<FirewallVerdict>> nftablesVerdicts(const std::string& json) {
  const Json doc = Json::parse(json, nullptr, false);
  if (!doc.is_object()) return std::nullopt;
  Ruleset set;
  for (const auto& item : doc.value("nftables", Json::array())) {
    if (item.contains("chain")) set.chains.push_back(item["chain"]);
    if (item.contains("rule")) set.rules.push_back(item["rule"]);
  }
  std::vector<FirewallVerdict> verdicts;
  for (const Packet& p : kPackets) {
    const std::string chain = droppingChain(set, p);
    if (chain.empty())
      verdicts.push_back(lets(p));
    else
      verdicts.push_back({true, "chain " + chain + " drops " + p.label(),
                          "sudo nft insert rule " + chain + " " + std::string(p.protocol) + " dport " +
                              std::to_string(p.port) + " accept"});
  }
  return verdicts;
}

std::optional<std::vector<FirewallVerdict>> ufwVerdicts(const std::string& status) {
  if (!status.starts_with("Status: active")) return std::nullopt;
  std::vector<FirewallVerdict> verdicts;
  for (const Packet& p : kPackets)
    verdicts.push_back(ufwAllows(status, p) ? lets(p)
                                            : FirewallVerdict{true, "drops " + p.label(),
                                                              "sudo ufw allow " + p.portSlashProtocol()});
  return verdicts;
}

std::vector<FirewallVerdict> firewalldVerdicts(const std::string& ports, const std::string& services) {
  const std::string reload = " --permanent && sudo firewall-cmd --reload";
  const Packet& tcp = kPackets[0];
  const Packet& mdns = kPackets[1];
  std::vector<FirewallVerdict> verdicts;
  if (ports.find(tcp.portSlashProtocol()) != std::string::npos)
    verdicts.push_back(lets(tcp));
  else
    verdicts.push_back(
        {true, "drops " + tcp.label(), "sudo firewall-cmd --add-port=" + tcp.portSlashProtocol() + reload});
  if (services.find("mdns") != std::string::npos || ports.find(mdns.portSlashProtocol()) != std::string::npos)
    verdicts.push_back(lets(mdns));
  else
    verdicts.push_back({true, "drops " + mdns.label(), "sudo firewall-cmd --add-service=mdns" + reload});
  return verdicts;
}

}  // namespace tavlo
