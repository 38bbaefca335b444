#pragma once
// What the DNS-SD TXT record tells the phone about this machine.
// A plain value: built on the state thread, handed to the network thread.
#include <optional>
#include <string>

#include "presence/TailscaleStatus.hpp"

namespace tavlo {

struct AdvertisedPresence {
  std::string hostName;
  std::optional<std::string> lanIP;
  TailscaleStatus tailscale;
  bool operator==(const AdvertisedPresence&) const = default;
};

}  // namespace tavlo
