#include "shared/PairingStore.hpp"

#include <cmath>
#include <cstdlib>
#include <ctime>

namespace tavlo::PairingStore {
namespace {

std::optional<std::string> emptyToNil(std::optional<std::string> s) {
  if (s && s->empty()) return std::nullopt;
  return s;
}

}  // namespace

std::optional<std::string> MacInfo::preferredHost() const {
  if (tailscaleIP && !tailscaleIP->empty()) return *tailscaleIP + ":" + std::to_string(port);
  if (lanIP && !lanIP->empty()) return *lanIP + ":" + std::to_string(port);
  return std::nullopt;
}

std::string defaultStorePath() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (xdg && *xdg == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home ? home : "") + "/.local/share";
  }
  return base + "/tavlo/pairing.sqlite3";
}

void publish(KvStore& store, const std::string& hostname, const std::optional<std::string>& lanIP,
             const std::optional<std::string>& tailscaleIP, const std::optional<std::string>& tailscaleHostname,
             std::int64_t port, Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now.time_since_epoch()).count();
  store.set({
      {K::hostname, hostname},
      {K::lan, lanIP.value_or("")},
      {K::tailscale, tailscaleIP.value_or("")},
      {K::tailscaleHost, tailscaleHostname.value_or("")},
      {K::port, port},
      {K::updatedAt, seconds},
  });
}

std::optional<MacInfo> loadMacInfo(KvStore& store) {
  auto hostname = store.getString(K::hostname);
  if (!hostname || hostname->empty()) return std::nullopt;
  std::int64_t port = 0;
  if (auto v = store.get(K::port); v && std::holds_alternative<std::int64_t>(*v)) port = std::get<std::int64_t>(*v);
  if (port <= 0) return std::nullopt;
  MacInfo info;
  info.hostname = *hostname;
  info.port = port;
  info.lanIP = emptyToNil(store.getString(K::lan));
  info.tailscaleIP = emptyToNil(store.getString(K::tailscale));
  info.tailscaleHostname = emptyToNil(store.getString(K::tailscaleHost));
  if (auto v = store.get(K::updatedAt); v && std::holds_alternative<double>(*v) && std::isfinite(std::get<double>(*v))) {
    info.updatedAt = Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::get<double>(*v))));
  }
  return info;
}

std::string isoTime(Clock::time_point t) {
  if (t == distantPast) return "0001-01-01T00:00:00Z";
  std::time_t secs = Clock::to_time_t(std::chrono::floor<std::chrono::seconds>(t));
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

}  // namespace tavlo::PairingStore
