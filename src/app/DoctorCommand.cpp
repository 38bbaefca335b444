// `doctor`: tells a user why the phone cannot see this computer or why no
// model shows. One line per check: "ok", "warn" (works, but worth knowing) or
// "FAIL" (the phone cannot use the companion until it is fixed), then what was
// found and, after " — ", what to do. It only looks: the writes are a
// temporary file created and removed again to learn whether the staging folder
// is writable, and the empty scratch folder of a sealed run of `true`.
// This file runs the network checks and the command, on the main thread; what
// the firewall rules and /proc tables mean is FirewallRules' and PortOwner's.
#include <systemd/sd-bus.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/Commands.hpp"
#include "app/DoctorReport.hpp"
#include "app/FirewallRules.hpp"
#include "pairing/PairingStore.hpp"
#include "pairing/PreferredHost.hpp"
#include "platform/Async.hpp"
#include "platform/HttpClient.hpp"
#include "platform/ProcessRunner.hpp"
#include "presence/NetworkInfo.hpp"
#include "presence/TailscaleProbe.hpp"
#include "providers/CLIProbe.hpp"

namespace tavlo {
namespace doctor {

namespace fs = std::filesystem;

std::string firstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  return line.empty() ? "no output" : line;
}

std::optional<PortOwner> tcpListener(int port) {
  auto read = [](const char* file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  return portListener({read("/proc/net/tcp"), read("/proc/net/tcp6")}, port);
}

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

namespace {

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

// ---- port 18765 ----------------------------------------------------------

// The pid and name of the process holding the listener open; none when no
// process we may look into does.
std::optional<std::pair<int, std::string>> listenerProcess(const PortOwner& listener) {
  std::vector<std::string> entries;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) entries.push_back(entry.path().filename().string());
  const int pid = socketHolder(listener.inode, entries, [](const std::string& pid) {
    std::vector<std::string> targets;
    std::error_code fdError, linkError;
    for (const auto& fd : fs::directory_iterator(fs::path("/proc") / pid / "fd", fdError))
      targets.push_back(fs::read_symlink(fd.path(), linkError).string());
    return targets;
  });
  if (pid == 0) return std::nullopt;
  std::string name;
  std::getline(std::ifstream(fs::path("/proc") / std::to_string(pid) / "comm"), name);
  return std::pair{pid, name};
}

bool healthAnswers(const std::string& listenAddress) {
  std::string host = listenAddress.empty() ? "127.0.0.1" : listenAddress;
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  FetchRequest request;
  request.url = "http://" + host + ":" + std::to_string(kCompanionPort) + "/health";
  request.totalTimeout = std::chrono::seconds(3);
  const Result<FetchResponse> response = runToCompletion(HttpClient::shared().send(request));
  return response && response->status == 200;
}

// True when the companion serves the port.
bool checkCompanionPort(Report& report) {
  const std::string check = "port " + std::to_string(kCompanionPort);
  const auto listener = tcpListener(kCompanionPort);
  if (!listener) {
    report.add(Level::ok, check, "free (the companion is not running)", "start it with `tavlo-companion`");
    return false;
  }
  const auto owner = listenerProcess(*listener);
  if (!owner) {
    report.add(Level::fail, check, "held by a process of another user",
               "run `sudo tavlo-companion doctor` to name it, then stop it");
    return false;
  }
  const auto& [pid, name] = *owner;
  const std::string held = name + " (pid " + std::to_string(pid) + ")";
  if (name != "tavlo-companion") {
    report.add(Level::fail, check, "held by " + held, "stop that program or free the port, then start the companion");
    return false;
  }
  if (!healthAnswers(listener->address)) {
    report.add(Level::fail, check, "held by " + held + ", but GET /health does not answer",
               "restart the companion (`kill " + std::to_string(pid) + "`, then `tavlo-companion`)");
    return true;
  }
  report.add(Level::ok, check, "served by " + held + ", GET /health answers");
  return true;
}

// ---- avahi ---------------------------------------------------------------

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

void reportFirewall(Report& report, const std::string& frontEnd, const std::vector<FirewallVerdict>& verdicts) {
  for (const auto& v : verdicts)
    report.add(v.blocked ? Level::fail : Level::ok, "firewall (" + frontEnd + ")", v.found, v.todo);
}

void checkNftables(Report& report, const std::string& nft) {
  const auto result = runTool(nft, {"-j", "list", "ruleset"});
  const auto verdicts = nftablesVerdicts(result.out);
  if (result.exitStatus != 0 || !verdicts)
    return report.add(Level::warn, "firewall (nftables)", "could not read the rules: " + firstLine(result.err),
                      "run `sudo tavlo-companion doctor` to check them");
  reportFirewall(report, "nftables", *verdicts);
}

// ufw and firewalld keep their rules in nftables too: the front end that is
// active is asked, so its own command can open the port.
void checkFirewall(Report& report) {
  if (const auto ufw = findProgram("ufw"); !ufw.empty()) {
    if (const auto verdicts = ufwVerdicts(runTool(ufw, {"status", "verbose"}).out))
      return reportFirewall(report, "ufw", *verdicts);
  }
  if (const auto firewalld = findProgram("firewall-cmd"); !firewalld.empty()) {
    if (runTool(firewalld, {"--state"}).exitStatus == 0)
      return reportFirewall(report, "firewalld",
                            firewalldVerdicts(runTool(firewalld, {"--list-ports"}).out,
                                              runTool(firewalld, {"--list-services"}).out));
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

}  // namespace
}  // namespace doctor

int runDoctorCommand(const std::vector<std::string>& args) {
  using namespace doctor;
  if (!args.empty()) return usageError("doctor: unexpected argument: " + args.front());
  Report report;
  const bool companionRuns = checkCompanionPort(report);
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
