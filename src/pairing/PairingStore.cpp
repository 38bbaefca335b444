#include "pairing/PairingStore.hpp"

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

std::optional<std::string> defaultStorePath() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (xdg && *xdg == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home == '/') {
    base = std::string(home) + "/.local/share";
  } else {
    return std::nullopt;
  }
  return base + "/tavlo/pairing.sqlite3";
}

Result<bool> publish(KvStore& store, const std::string& hostname, const std::optional<std::string>& lanIP,
             const std::optional<std::string>& tailscaleIP, const std::optional<std::string>& tailscaleHostname,
             std::int64_t port, Clock::time_point now, bool always) {
  const auto sameText = [&store](const char* key, const std::string& value) { return store.getString(key) == value; };
  const auto storedPort = store.get(K::port);
  if (!always && sameText(K::hostname, hostname) && sameText(K::lan, lanIP.value_or("")) &&
      sameText(K::tailscale, tailscaleIP.value_or("")) && sameText(K::tailscaleHost, tailscaleHostname.value_or("")) &&
      storedPort == KvStore::Value(port))
    return false;
  const double seconds = std::chrono::duration<double>(now.time_since_epoch()).count();
  TRY(store.set({
      {K::hostname, hostname},
      {K::lan, lanIP.value_or("")},
      {K::tailscale, tailscaleIP.value_or("")},
      {K::tailscaleHost, tailscaleHostname.value_or("")},
      {K::port, port},
      {K::updatedAt, seconds},
  }));
  return true;
}

std::optional<PairingRecord> loadPairingRecord(KvStore& store) {
  auto hostname = store.getString(K::hostname);
  if (!hostname || hostname->empty()) return std::nullopt;
  std::int64_t port = 0;
  if (auto v = store.get(K::port); v && std::holds_alternative<std::int64_t>(*v)) port = std::get<std::int64_t>(*v);
  if (port <= 0) return std::nullopt;
  PairingRecord info;
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
