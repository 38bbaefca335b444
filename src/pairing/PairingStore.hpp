#pragma once
// The pairing record: how the phone reaches this computer. Six keys with the
// prefix "mac." in a small key-value store that the phone side reads too.
// Blocking SQLite calls: the state posts them to the store strand; commands call them directly.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/KvStore.hpp"

namespace tavlo::PairingStore {

using Clock = std::chrono::system_clock;

namespace K {
inline constexpr const char* hostname = "mac.hostname";
inline constexpr const char* lan = "mac.lan_ip";
inline constexpr const char* tailscale = "mac.tailscale_ip";
inline constexpr const char* tailscaleHost = "mac.tailscale_hostname";
inline constexpr const char* port = "mac.port";
inline constexpr const char* updatedAt = "mac.updated_at";
}  // namespace K

// The name the phone is given for a computer that has none (the record's
// "mac.hostname"); phones already paired know it.
inline constexpr const char* kUnnamedComputer = "Mac";

// The earliest representable time stands for "unknown".
inline const Clock::time_point distantPast = Clock::time_point::min();

struct PairingRecord {
  std::string hostname;
  std::optional<std::string> lanIP;
  std::optional<std::string> tailscaleIP;
  std::optional<std::string> tailscaleHostname;
  std::int64_t port = 0;
  Clock::time_point updatedAt = distantPast;

  bool operator==(const PairingRecord&) const = default;
};

// The store file: $XDG_DATA_HOME/tavlo/pairing.sqlite3 (default ~/.local/share);
// none when neither is an absolute path.
std::optional<std::string> defaultStorePath();

// Writes all six keys in one transaction when one of the five values differs
// from the stored record (or `always`), so an unchanged record costs no disk
// write: true when written, false when unchanged. Fails with why the store
// could not be written (the store logs its first failure).
Result<bool> publish(KvStore& store, const std::string& hostname, const std::optional<std::string>& lanIP,
             const std::optional<std::string>& tailscaleIP, const std::optional<std::string>& tailscaleHostname,
             std::int64_t port, Clock::time_point now = Clock::now(), bool always = false);

std::optional<PairingRecord> loadPairingRecord(KvStore& store);

// The record as JSON text keys, as `tavlo-companion pairing` prints it and the
// QR code carries it; "mac.updated_at" as UTC ISO 8601.
std::string isoTime(Clock::time_point t);

}  // namespace tavlo::PairingStore
