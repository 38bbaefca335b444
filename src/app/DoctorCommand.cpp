// `doctor`: tells a user why the phone cannot see this computer or why no
// model shows. One line per check: "ok", "warn" (works, but worth knowing) or
// "FAIL" (the phone cannot use the companion until it is fixed), then what was
// found and, after " — ", what to do. It only looks: the writes are a
// temporary file created and removed again to learn whether the staging folder
// is writable, and the empty scratch folder of a sealed run of `true`.
#include <arpa/inet.h>
#include <sys/statvfs.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/Commands.hpp"
#include "app/Paths.hpp"
#include "app/Services.hpp"
#include "app/TrayLoader.hpp"
#include "core/CompanionState.hpp"
#include "pairing/PairingStore.hpp"
#include "pairing/PreferredHost.hpp"
#include "platform/Async.hpp"
#include "platform/HttpClient.hpp"
#include "platform/ProcessRunner.hpp"
#include "presence/NetworkInfo.hpp"
#include "presence/TailscaleProbe.hpp"
#include "providers/CLIProbe.hpp"
#include "providers/LLMRunner.hpp"
#include "providers/LMStudioProbe.hpp"
#include "providers/OllamaProbe.hpp"
#include "providers/ToolSeal.hpp"

namespace tavlo {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr int kPort = 18765;
constexpr int kMdnsPort = 5353;
constexpr auto kToolTime = std::chrono::seconds(5);

enum class Level { ok, warn, fail };

// Prints each check as soon as it is known, so slow checks show progress.
class Report {
 public:
  void add(Level level, const std::string& check, const std::string& found, const std::string& todo = "") {
    static constexpr const char* kWords[] = {"ok    ", "warn  ", "FAIL  "};
    std::string line = kWords[static_cast<int>(level)] + check + ": " + found;
    if (!todo.empty()) line += " — " + todo;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (level == Level::fail) failed_ = true;
  }
  bool failed() const { return failed_; }

 private:
  bool failed_ = false;
};

// ---- small helpers -------------------------------------------------------

// A program by name in the PATH or the system folders (ufw, nft and
// firewall-cmd live in /usr/sbin, often not in a user's PATH); "" when absent.
std::string findProgram(const std::string& name) {
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  std::stringstream dirs(path + ":/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (dir.starts_with('/') && isExecutableFile(dir + "/" + name)) return dir + "/" + name;
  return "";
}

ProcessResult runTool(const std::string& path, std::vector<std::string> args) {
  ProcessRequest request;
  request.executable = path;
  request.args = std::move(args);
  request.timeLimit = kToolTime;
  // A tool that cannot start reads as one that printed nothing and failed.
  Result<ProcessResult> result = runProcess(request);
  return result ? std::move(*result) : ProcessResult{};
}

std::string firstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  return line.empty() ? "no output" : line;
}

// ---- port 18765 ----------------------------------------------------------

struct Listener {
  std::string address;  // as text; "" for every address
  std::string inode;
};

// /proc/net/tcp* writes an address as the hex of its 32-bit words in host order.
std::string procAddress(const std::string& hex) {
  unsigned char bytes[16] = {};
  const std::size_t count = hex.size() / 2;
  if (count != 4 && count != 16) return "";
  for (std::size_t word = 0; word < count / 4; ++word) {
    std::uint32_t value = std::stoul(hex.substr(word * 8, 8), nullptr, 16);
    std::memcpy(bytes + word * 4, &value, 4);
  }
  static const unsigned char kAny[16] = {};
  if (std::memcmp(bytes, kAny, count) == 0) return "";
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(count == 4 ? AF_INET : AF_INET6, bytes, text, sizeof text);
  return text;
}

// The first socket listening on TCP `port`, from the kernel's own tables.
std::optional<Listener> tcpListener(int port) {
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, skip, inode;
      fields >> slot >> local >> remote >> state;
      for (int i = 0; i < 5; ++i) fields >> skip;  // queues, timer, retransmits, uid, timeout
      fields >> inode;
      const auto colon = local.find(':');
      if (state != "0A" || colon == std::string::npos) continue;  // 0A: LISTEN
      if (std::stoi(local.substr(colon + 1), nullptr, 16) != port) continue;
      return Listener{procAddress(local.substr(0, colon)), inode};
    }
  }
  return std::nullopt;
}

struct Owner {
  int pid = 0;
  std::string name;
};

// The process holding socket `inode` open; none when no process we may look into does.
std::optional<Owner> socketOwner(const std::string& inode) {
  const std::string wanted = "socket:[" + inode + "]";
  std::error_code ec;
  for (const auto& proc : fs::directory_iterator("/proc", ec)) {
    const std::string pid = proc.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code fdError;
    for (const auto& fd : fs::directory_iterator(proc.path() / "fd", fdError)) {
      std::error_code linkError;
      if (fs::read_symlink(fd.path(), linkError).string() != wanted) continue;
      std::string name;
      std::getline(std::ifstream(proc.path() / "comm"), name);
      return Owner{std::stoi(pid), name};
    }
  }
  return std::nullopt;
}

bool healthAnswers(const std::string& listenAddress) {
  std::string host = listenAddress.empty() ? "127.0.0.1" : listenAddress;
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  FetchRequest request;
  request.url = "http://" + host + ":" + std::to_string(kPort) + "/health";
  request.totalTimeout = std::chrono::seconds(3);
  const Result<FetchResponse> response = runToCompletion(HttpClient::shared().send(request));
  return response && response->status == 200;
}

// True when the companion serves the port.
bool checkPort(Report& report) {
  const std::string check = "port " + std::to_string(kPort);
  const auto listener = tcpListener(kPort);
  if (!listener) {
    report.add(Level::ok, check, "free (the companion is not running)", "start it with `tavlo-companion`");
    return false;
  }
  const auto owner = socketOwner(listener->inode);
  if (!owner) {
    report.add(Level::fail, check, "held by a process of another user",
               "run `sudo tavlo-companion doctor` to name it, then stop it");
    return false;
  }
  const std::string held = owner->name + " (pid " + std::to_string(owner->pid) + ")";
  if (owner->name != "tavlo-companion") {
    report.add(Level::fail, check, "held by " + held, "stop that program or free the port, then start the companion");
    return false;
  }
  if (!healthAnswers(listener->address)) {
    report.add(Level::fail, check, "held by " + held + ", but GET /health does not answer",
               "restart the companion (`kill " + std::to_string(owner->pid) + "`, then `tavlo-companion`)");
    return true;
  }
  report.add(Level::ok, check, "served by " + held + ", GET /health answers");
  return true;
}

// ---- avahi ---------------------------------------------------------------

using BusOpener = int (*)(sd_bus**);

// -1: no bus; 0: nobody owns `name`; 1: owned.
int busNameOwned(BusOpener open, const char* name) {
  sd_bus* bus = nullptr;
  if (open(&bus) < 0) return -1;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int owned = -1;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "NameHasOwner", &error, &reply, "s", name) >= 0 &&
      sd_bus_message_read(reply, "b", &owned) < 0)
    owned = -1;
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  sd_bus_flush_close_unref(bus);
  return owned;
}

// avahi-browse -p writes a space in a name as "\\032" (a decimal byte) and
// a dot or backslash after a backslash.
std::string unescapeBrowsed(const std::string& text) {
  auto digit = [&](std::size_t i) { return i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
    } else if (digit(i + 1) && digit(i + 2) && digit(i + 3)) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 3)));
      i += 3;
    } else {
      out += text[++i];
    }
  }
  return out;
}

// The companion's services avahi-browse sees, as "name on host:port" lines.
std::vector<std::string> browseCompanions(const std::string& browser) {
  const auto result = runTool(browser, {"-rpt", "_tavlo._tcp"});
  std::vector<std::string> seen;
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, ';');) f.push_back(field);
    if (f.size() >= 9 && f[0] == "=") seen.push_back(unescapeBrowsed(f[3]) + " on " + f[7] + ":" + f[8]);
  }
  return seen;
}

// True when avahi-daemon runs.
bool checkAvahi(Report& report, bool companionRuns) {
  const int owned = busNameOwned(&sd_bus_open_system, "org.freedesktop.Avahi");
  const std::string start = "sudo systemctl enable --now avahi-daemon";
  if (owned < 0) {
    report.add(Level::fail, "avahi-daemon", "no D-Bus system bus to reach it on",
               "sudo apt install dbus avahi-daemon && " + start);
    return false;
  }
  if (owned == 0) {
    report.add(Level::fail, "avahi-daemon", "not running", "sudo apt install avahi-daemon && " + start);
    return false;
  }
  report.add(Level::ok, "avahi-daemon", "running");
  if (!companionRuns) return true;
  const std::string browser = findProgram("avahi-browse");
  if (browser.empty()) {
    report.add(Level::warn, "service _tavlo._tcp", "not checked: avahi-browse is missing",
               "sudo apt install avahi-utils");
    return true;
  }
  const auto seen = browseCompanions(browser);
  if (seen.empty())
    report.add(Level::fail, "service _tavlo._tcp", "not seen by avahi-browse",
               "restart the companion; check the firewall lets UDP 5353 in");
  else
    report.add(Level::ok, "service _tavlo._tcp", "visible: " + seen.front());
  return true;
}

// ---- firewall ------------------------------------------------------------

struct Packet {
  std::string protocol;  // "tcp" or "udp"
  long port;
  std::string label() const { return protocol == "udp" ? "UDP 5353 (mDNS)" : "TCP " + std::to_string(port); }
};

enum class Match { yes, no, unknown };

bool valueMatches(const Json& right, const Packet& p) {
  if (right.is_number_integer()) return right.get<long>() == p.port;
  if (right.is_string()) return right.get<std::string>() == p.protocol;
  if (right.is_object() && right.contains("range") && right["range"].size() == 2 && right["range"][0].is_number())
    return right["range"][0].get<long>() <= p.port && p.port <= right["range"][1].get<long>();
  if (right.is_object() && right.contains("set"))
    for (const auto& member : right["set"])
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
    for (const auto& state : right.is_object() ? right.value("set", Json::array()) : Json::array())
      equal = equal || state == "new";
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
      if (other.value("family", "") == chain.value("family", "") &&
          other.value("table", "") == chain.value("table", "") && other.value("name", "") == target) {
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
    if (rule.value("family", "") != chain.value("family", "") || rule.value("table", "") != chain.value("table", "") ||
        rule.value("chain", "") != chain.value("name", ""))
      continue;
    const std::string verdict = ruleVerdict(set, rule, chain, p, depth, sure);
    if (verdict == "return") return "";
    if (!verdict.empty()) return verdict;
  }
  return "";
}

// The base input chains that drop the packet, as "family table chain".
std::vector<std::string> droppingChains(const Ruleset& set, const Packet& p) {
  std::vector<std::string> found;
  for (const auto& chain : set.chains) {
    const std::string family = chain.value("family", "");
    if (chain.value("hook", "") != "input" || (family != "inet" && family != "ip")) continue;
    std::string verdict = chainVerdict(set, chain, p, 0, true);
    if (verdict.empty()) verdict = chain.value("policy", "accept");
    if (verdict == "drop") found.push_back(family + " " + chain.value("table", "") + " " + chain.value("name", ""));
  }
  return found;
}

void checkNftables(Report& report, const std::string& nft) {
  const auto result = runTool(nft, {"-j", "list", "ruleset"});
  const Json doc = Json::parse(result.out, nullptr, false);
  if (result.exitStatus != 0 || !doc.is_object()) {
    report.add(Level::warn, "firewall (nftables)", "could not read the rules: " + firstLine(result.err),
               "run `sudo tavlo-companion doctor` to check them");
    return;
  }
  Ruleset set;
  for (const auto& item : doc.value("nftables", Json::array())) {
    if (item.contains("chain")) set.chains.push_back(item["chain"]);
    if (item.contains("rule")) set.rules.push_back(item["rule"]);
  }
  for (const Packet& p : {Packet{"tcp", kPort}, Packet{"udp", kMdnsPort}}) {
    const auto chains = droppingChains(set, p);
    if (chains.empty()) {
      report.add(Level::ok, "firewall (nftables)", "lets " + p.label() + " in");
      continue;
    }
    report.add(Level::fail, "firewall (nftables)", "chain " + chains.front() + " drops " + p.label(),
               "sudo nft insert rule " + chains.front() + " " + p.protocol + " dport " + std::to_string(p.port) +
                   " accept");
  }
}

void checkUfw(Report& report, const std::string& status) {
  const bool allowsAll = status.find("allow (incoming)") != std::string::npos;
  for (const Packet& p : {Packet{"tcp", kPort}, Packet{"udp", kMdnsPort}}) {
    const std::string port = std::to_string(p.port);
    bool allowed = allowsAll;
    std::istringstream lines(status);
    for (std::string line; std::getline(lines, line);)
      if ((line.starts_with(port + "/" + p.protocol + " ") || line.starts_with(port + " ") ||
           (p.port == kMdnsPort && line.starts_with("mDNS "))) &&
          line.find("ALLOW") != std::string::npos)
        allowed = true;
    if (allowed)
      report.add(Level::ok, "firewall (ufw)", "lets " + p.label() + " in");
    else
      report.add(Level::fail, "firewall (ufw)", "drops " + p.label(), "sudo ufw allow " + port + "/" + p.protocol);
  }
}

void checkFirewalld(Report& report, const std::string& tool) {
  const std::string ports = runTool(tool, {"--list-ports"}).out;
  const std::string services = runTool(tool, {"--list-services"}).out;
  const std::string reload = " --permanent && sudo firewall-cmd --reload";
  if (ports.find("18765/tcp") != std::string::npos)
    report.add(Level::ok, "firewall (firewalld)", "lets TCP 18765 in");
  else
    report.add(Level::fail, "firewall (firewalld)", "drops TCP 18765",
               "sudo firewall-cmd --add-port=18765/tcp" + reload);
  if (services.find("mdns") != std::string::npos || ports.find("5353/udp") != std::string::npos)
    report.add(Level::ok, "firewall (firewalld)", "lets UDP 5353 (mDNS) in");
  else
    report.add(Level::fail, "firewall (firewalld)", "drops UDP 5353 (mDNS)",
               "sudo firewall-cmd --add-service=mdns" + reload);
}

// ufw and firewalld keep their rules in nftables too: the front end that is
// active is asked, so its own command can open the port.
void checkFirewall(Report& report) {
  if (const auto ufw = findProgram("ufw"); !ufw.empty()) {
    const auto result = runTool(ufw, {"status", "verbose"});
    if (result.out.starts_with("Status: active")) return checkUfw(report, result.out);
  }
  if (const auto firewalld = findProgram("firewall-cmd"); !firewalld.empty()) {
    if (runTool(firewalld, {"--state"}).exitStatus == 0) return checkFirewalld(report, firewalld);
  }
  if (const auto nft = findProgram("nft"); !nft.empty()) return checkNftables(report, nft);
  report.add(Level::ok, "firewall", "none found (no ufw, firewalld or nft)");
}

// ---- addresses -----------------------------------------------------------

void checkAddresses(Report& report) {
  const auto lan = NetworkInfo::lanAddress();
  const std::string tailscale = CLIProbe::firstExecutable(TailscaleProbe::cliCandidates());
  const TailscaleStatus status = tailscale.empty() ? TailscaleStatus::notInstalled() : NetworkInfo::tailscaleSync();
  if (lan)
    report.add(Level::ok, "LAN address", lan->ip + " on " + lan->interface);
  else
    report.add(status.isConnected() ? Level::warn : Level::fail, "LAN address",
               "none (no en*, eth* or wl* interface with an IPv4 address is up)",
               "connect this computer to the phone's Wi-Fi or network");
  using K = TailscaleStatus::Kind;
  switch (status.kind) {
    case K::connected:
      report.add(Level::ok, "Tailscale", tailscale + ": connected, " + status.ip +
                                                  (status.hostname ? " (" + *status.hostname + ")" : ""));
      break;
    case K::notInstalled:
      report.add(Level::warn, "Tailscale", "not installed (optional: reaches the phone away from home)",
                 "see tailscale.com/download/linux");
      break;
    case K::stopped:
      report.add(Level::warn, "Tailscale", tailscale + ": installed, not connected", "sudo tailscale up");
      break;
    case K::unknown:
      report.add(Level::warn, "Tailscale", tailscale + ": did not answer", "sudo systemctl restart tailscaled");
      break;
  }
}

// ---- the phone's address -------------------------------------------------

// The address the published pairing record sends the phone to must answer GET /health.
void checkPhoneAddress(Report& report) {
  const auto file = PairingStore::defaultStorePath();
  std::error_code ec;
  if (!file || !fs::exists(*file, ec))
    return report.add(Level::warn, "phone address", "no pairing record published yet", "restart the companion");
  KvStore store(*file);
  const auto record = PairingStore::loadPairingRecord(store);
  const auto host = record ? preferredHost(record->lanIP, record->tailscaleIP, record->port) : std::nullopt;
  if (!host)
    return report.add(Level::fail, "phone address", "the pairing record has no LAN or Tailscale address",
                      "connect this computer to the phone's network");
  FetchRequest request;
  request.url = "http://" + host->hostPort + "/health";
  request.totalTimeout = std::chrono::seconds(3);
  const Result<FetchResponse> response = runToCompletion(HttpClient::shared().send(request));
  const std::string what = host->sentence() + ", GET /health ";
  if (response && response->status == 200) return report.add(Level::ok, "phone address", what + "answers");
  report.add(Level::fail, "phone address",
             what + (response ? "answers HTTP " + std::to_string(response->status) : "gets no answer: " + response.message()),
             "restart the companion without --listen, or with --listen on that address");
}

// ---- model sources -------------------------------------------------------

struct Source {
  std::string name;
  bool found;
  std::string detail;
  std::string todo;
};

// One model server as the companion would ask it.
struct Server {
  std::string name, variable, url, remoteHost, listPath;
  std::vector<LLMModel> (*parse)(const FetchResponse&);
  int defaultPort;  // where it listens on this computer unless `variable` moves it
  std::string todo;
};

Source serverSource(const Server& s, std::chrono::milliseconds timeout) {
  FetchRequest request;
  request.url = s.url + s.listPath;
  request.totalTimeout = timeout;
  const Result<FetchResponse> response = runToCompletion(HttpClient::shared().send(request));
  const std::size_t n = response ? s.parse(*response).size() : 0;
  const bool remote = !s.remoteHost.empty();
  const bool moved = s.url != "http://127.0.0.1:" + std::to_string(s.defaultPort);
  const std::string name = remote ? s.name + " on " + s.remoteHost : s.name;
  const std::string at = s.url + (moved ? " (" + s.variable + ")" : "");
  if (n > 0) return {name, true, std::to_string(n) + (n == 1 ? " model at " : " models at ") + at, ""};
  if (response) {
    const std::string status = response->status == 200 ? "" : " with HTTP " + std::to_string(response->status);
    return {name, false, "answers at " + at + status + " but lists no model", s.todo};
  }
  if (remote)
    return {name, false, "no answer from " + at + ": " + response.message(),
            "check that " + s.name + " runs on " + s.remoteHost + ", listens on its network (not only 127.0.0.1) " +
                "and that its firewall lets this computer in"};
  if (!moved && tcpListener(s.defaultPort))
    return {name, false, "does not answer at " + at + " within " + std::to_string(timeout.count() / 1000) + " s",
            s.todo};
  return {name, false, "nothing listens at " + at, s.todo};
}

Source toolSource(const std::string& name, const std::vector<std::string>& paths, const std::string& todo) {
  if (auto path = CLIProbe::firstExecutable(paths); !path.empty()) return {name, true, path, ""};
  std::string looked;
  for (const auto& p : paths) looked += (looked.empty() ? "" : ", ") + fs::path(p).parent_path().string();
  return {name, false, "not found in " + looked, todo};
}

// ---- sealing the model tools --------------------------------------------

// Runs `true` sealed as claude and codex are; "" when that worked, else what bubblewrap said.
std::string sealedRunProblem(const std::string& bwrap, const ProviderConfig& config) {
  ProcessRequest request;
  request.executable = "/bin/true";
  request.timeLimit = kToolTime;
  request.scratchDirectory = true;
  request.wrap = [&](const std::string& scratch, const std::vector<std::string>& args) {
    return ToolSeal::sealedCommand(ToolSeal::planFor(bwrap, "/bin/true", args, scratch, config.home(), config.path()));
  };
  const Result<ProcessResult> ran = runProcess(request);
  if (!ran) return ran.error().message;
  if (ran->exitStatus == 0) return "";
  std::string said = firstLine(ran->err);
  return said.starts_with("bwrap: ") ? said.substr(7) : said;
}

// Whether claude and codex can run sealed; failing counts only when one of them is installed.
void checkSealing(Report& report, bool toolInstalled) {
  const std::string check = "model tools";
  if (toolsUnsealedByEnvironment())
    return report.add(Level::warn, check,
                      "TAVLO_TOOLS_UNSEALED=1: claude and codex run unsealed and can read every file this user can",
                      "unset TAVLO_TOOLS_UNSEALED");
  const ProviderConfig config;
  const Level broken = toolInstalled ? Level::fail : Level::warn;
  const std::string bwrap = ToolSeal::findBubblewrap(config.path());
  if (bwrap.empty())
    return report.add(broken, check, "cannot be sealed: bubblewrap is not installed", "sudo apt install bubblewrap");
  const std::string problem = sealedRunProblem(bwrap, config);
  if (problem.empty()) return report.add(Level::ok, check, "sealed by " + bwrap);
  if (auto userns = ToolSeal::userNamespaceProblem())
    return report.add(broken, check, "cannot be sealed: " + userns->what, userns->fix);
  report.add(broken, check, "cannot be sealed: bubblewrap failed: " + problem,
             "check that `" + bwrap + " --ro-bind / / --unshare-pid true` works");
}

bool checkModels(Report& report) {
  auto settings = providerConfigFromEnvironment();
  if (!settings)
    report.add(Level::fail, "settings", settings.message(), "fix or unset it; the companion does not start with it");
  const ProviderConfig config = settings ? *settings : ProviderConfig{};
  const Server servers[] = {
      {"Ollama", "OLLAMA_HOST", config.ollamaURL, config.ollamaHost, "/api/tags", &OllamaProbe::modelsFromResponse,
       11434, "install it from ollama.com, then `ollama pull llama3.2`"},
      {"LM Studio", "TAVLO_LMSTUDIO_URL", config.lmStudioURL, config.lmStudioHost, "/v1/models",
       &LMStudioProbe::modelsFromResponse, 1234, "load a model in LM Studio and start its local server"}};
  // The two servers are asked at once: each may take the probe's whole time limit.
  auto ollama = std::async(std::launch::async, [&] { return serverSource(servers[0], config.probeTimeout); });
  auto lmstudio = std::async(std::launch::async, [&] { return serverSource(servers[1], config.probeTimeout); });
  const std::vector<Source> sources = {
      ollama.get(),
      lmstudio.get(),
      toolSource("claude", LLMRunner::claudePaths(config), "npm install -g @anthropic-ai/claude-code"),
      toolSource("codex", LLMRunner::codexPaths(config), "npm install -g @openai/codex"),
  };
  bool any = false;
  for (const auto& s : sources) any = any || s.found;
  for (const auto& s : sources)
    report.add(s.found ? Level::ok : any ? Level::warn : Level::fail, "model source " + s.name, s.detail, s.todo);
  checkSealing(report, sources[2].found || sources[3].found);
  return any;
}

// ---- staging folder ------------------------------------------------------

// Creates and removes one temporary file in `dir`; "" when that worked, else why not.
std::string writeProbe(const fs::path& dir) {
  std::string name = (dir / ".tavlo-doctor-XXXXXX").string();
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return std::strerror(errno);
  ::close(fd);
  ::unlink(name.c_str());
  return "";
}

void checkStaging(Report& report) {
  const auto resolved = resolveStagingDir();
  if (!resolved) return report.add(Level::fail, "staging folder", resolved.message(), "fix TAVLO_STAGING");
  const auto& staging = *resolved;
  if (!staging) return report.add(Level::fail, "staging folder", "HOME is not set", "set HOME or TAVLO_STAGING");
  // The folder, or the nearest folder above it that exists (the companion creates the rest).
  fs::path existing = *staging;
  std::error_code ec;
  while (!fs::exists(existing, ec) && existing.has_relative_path()) existing = existing.parent_path();
  const std::string where =
      staging->string() + (existing == *staging ? "" : " (to be created in " + existing.string() + ")");
  if (!fs::is_directory(existing, ec))
    return report.add(Level::fail, "staging folder", where + ": " + existing.string() + " is not a folder",
                      "remove it or set TAVLO_STAGING to another folder");
  if (const std::string why = writeProbe(existing); !why.empty())
    return report.add(Level::fail, "staging folder", where + ": cannot write in " + existing.string() + ": " + why,
                      "fix its permissions or set TAVLO_STAGING to a writable folder");
  struct statvfs fsInfo {};
  if (::statvfs(existing.c_str(), &fsInfo) != 0) return report.add(Level::ok, "staging folder", where + ", writable");
  const auto free = static_cast<std::int64_t>(fsInfo.f_bavail) * static_cast<std::int64_t>(fsInfo.f_frsize);
  const std::string text = where + ", writable, " + OllamaProbe::formatFileSize(free) + " free";
  if (free < (64 << 20)) return report.add(Level::fail, "staging folder", text, "free some disk space");
  report.add(Level::ok, "staging folder", text);
}

// ---- tray host -----------------------------------------------------------

void checkTray(Report& report) {
  if (const auto session = currentDisplaySession(qtPluginsFolder());
      !session.waylandDisplay.empty() && !session.waylandPlugin && session.qpaPlatform.empty())
    return report.add(Level::warn, "tray",
                      session.x11Display.empty()
                          ? "this Wayland session lacks Qt's Wayland platform plugin: the companion runs without a tray icon"
                          : "Qt's Wayland platform plugin is missing: the tray goes through Xwayland",
                      kWaylandPluginFix);
  const int owned = busNameOwned(&sd_bus_open_user, "org.kde.StatusNotifierWatcher");
  if (owned < 0) return report.add(Level::warn, "tray", "no D-Bus session bus: the companion runs without a tray icon");
  if (owned == 1) return report.add(Level::ok, "tray", "a StatusNotifier host is on the session bus");
  const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
  if (desktop && std::strstr(desktop, "GNOME"))
    return report.add(Level::warn, "tray", "GNOME shows no tray icons by itself",
                      "sudo apt install gnome-shell-extension-appindicator, then log in again");
  report.add(Level::warn, "tray", "no StatusNotifier host on the session bus (an XEmbed tray may still show the icon)");
}

}  // namespace

int runDoctorCommand(const std::vector<std::string>& args) {
  if (!args.empty()) return usageError("doctor: unexpected argument: " + args.front());
  Report report;
  const bool companionRuns = checkPort(report);
  checkAvahi(report, companionRuns);
  checkFirewall(report);
  checkAddresses(report);
  if (companionRuns) checkPhoneAddress(report);
  checkModels(report);
  checkStaging(report);
  checkTray(report);
  return report.failed() ? kExitFailed : kExitOk;
}

}  // namespace tavlo
