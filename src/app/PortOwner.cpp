// Pure: no I/O, no shared state; any thread may call it.
#include "app/PortOwner.hpp"

#include <arpa/inet.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <sstream>

namespace tavlo {
namespace {

// A whole hexadecimal field; none when it is anything else.
std::optional<std::uint32_t> hexField(const std::string& text) {
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// /proc/net/tcp* writes an address as the hex of its 32-bit words in host order.
std::string procAddress(const std::string& hex) {
  unsigned char bytes[16] = {};
  const std::size_t count = hex.size() / 2;
  if (hex.size() % 8 != 0 || (count != 4 && count != 16)) return "";
  for (std::size_t word = 0; word < count / 4; ++word) {
    const auto value = hexField(hex.substr(word * 8, 8));
    if (!value) return "";
    std::memcpy(bytes + word * 4, &*value, 4);
  }
  static const unsigned char kAny[16] = {};
  if (std::memcmp(bytes, kAny, count) == 0) return "";
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(count == 4 ? AF_INET : AF_INET6, bytes, text, sizeof text);
  return text;
}

}  // namespace

std::optional<PortOwner> portListener(const std::vector<std::string>& tables, int port) {
  for (const std::string& table : tables) {
    std::istringstream in(table);
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
      if (hexField(local.substr(colon + 1)) != static_cast<std::uint32_t>(port)) continue;
      return PortOwner{procAddress(local.substr(0, colon)), inode};
    }
  }
  return std::nullopt;
}

int socketHolder(const std::string& inode, const std::vector<std::string>& procEntries,
                 const std::function<std::vector<std::string>(const std::string& pid)>& openFiles) {
  const std::string wanted = "socket:[" + inode + "]";
  for (const std::string& pid : procEntries) {
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    for (const std::string& target : openFiles(pid))
      if (target == wanted) return std::stoi(pid);
  }
  return 0;
}

}  // namespace tavlo
