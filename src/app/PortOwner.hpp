#pragma once
// Pure (reads text captured from /proc, does no I/O); any thread may call it.
// Who listens on a TCP port: the socket from the kernel's tables
// (/proc/net/tcp, /proc/net/tcp6), then the process holding it open.
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tavlo {

struct PortOwner {
  std::string address;  // where the socket listens, as text; "" for every address
  std::string inode;    // the socket's, as /proc names it
  int pid = 0;          // the process holding it open; 0 until found
};

// The first socket listening on TCP `port` in `tables` (the texts of
// /proc/net/tcp and /proc/net/tcp6, each with its header line).
std::optional<PortOwner> portListener(const std::vector<std::string>& tables, int port);

// The process among `procEntries` (the names in /proc; those that are no pid
// are passed over) with socket `inode` open; `openFiles(pid)` gives the targets
// of a process's /proc/PID/fd links ("socket:[123]", "/dev/null", ...). 0 when
// none is found, as when the socket belongs to a process of another user.
int socketHolder(const std::string& inode, const std::vector<std::string>& procEntries,
                 const std::function<std::vector<std::string>(const std::string& pid)>& openFiles);

}  // namespace tavlo
