#pragma once
// The server's descriptors: the listener, accepted sockets, the descriptor
// limit. Called on the network thread (the limit: from start()).
#include <asio.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <system_error>
#include <utility>

namespace tavlo {

// Many peers at once need many descriptors: lifts the soft limit to the hard one.
// The soft limit then in force.
std::size_t raiseDescriptorLimit();

// Held open so that, out of descriptors, a waiting peer can still be accepted and closed.
int openSpareDescriptor();

// A close-on-exec, non-blocking listening socket, or why there is none (the
// caller tells from the code whether another address family may do).
struct Listener {
  std::shared_ptr<asio::ip::tcp::acceptor> acceptor;
  std::error_code error;
};

// Listens on `endpoint`; IPv6 takes IPv4 peers too.
Listener listenOn(asio::io_context& io, const asio::ip::tcp::endpoint& endpoint, std::chrono::seconds deferAccept);

// An accepted descriptor, closed unless a connection takes it over.
struct AcceptedSocket {
  int fd;
  explicit AcceptedSocket(int fd) : fd(fd) {}
  AcceptedSocket(AcceptedSocket&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  AcceptedSocket& operator=(AcceptedSocket&&) = delete;
  ~AcceptedSocket();
};

}  // namespace tavlo
