#pragma once
// Called from any thread; reads a small file, no network.
#include <filesystem>
#include <string>

namespace tavlo {

// The computer's user-visible name: PRETTY_HOSTNAME from /etc/machine-info,
// else gethostname(); the empty string when neither gives one.
std::string localizedHostName(const std::filesystem::path& machineInfo = "/etc/machine-info");

// The network host name from gethostname(), or the empty string.
std::string networkHostName();

}  // namespace tavlo
