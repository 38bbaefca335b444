#pragma once
// Pure (judges captured output, does no I/O); any thread may call it.
// What `doctor` makes of the firewall front end that is active: whether a new
// connection from the LAN reaches the companion's TCP port and mDNS (UDP
// 5353), and the command that opens the port where it does not.
#include <optional>
#include <string>
#include <vector>

namespace tavlo {

inline constexpr int kCompanionPort = 18765;
inline constexpr int kMdnsPort = 5353;

// One port's fate, TCP 18765 first, then UDP 5353.
struct FirewallVerdict {
  bool blocked = false;
  std::string found;  // "lets TCP 18765 in", "chain inet filter input drops UDP 5353 (mDNS)"
  std::string todo;   // the command that opens the port; "" when it is open
};

// From `nft -j list ruleset`; none when the text is no ruleset (the tool
// failed or was not allowed to read the rules).
std::optional<std::vector<FirewallVerdict>> nftablesVerdicts(const std::string& json);

// From `ufw status verbose`; none when ufw is not active (another front end, or
// nftables itself, holds the rules then).
std::optional<std::vector<FirewallVerdict>> ufwVerdicts(const std::string& status);

// From `firewall-cmd --list-ports` and `firewall-cmd --list-services`.
std::vector<FirewallVerdict> firewalldVerdicts(const std::string& ports, const std::string& services);

}  // namespace tavlo
