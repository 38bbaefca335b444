// Called on the network thread (raiseDescriptorLimit: from start()).
#include "http/ServerSockets.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tavlo {

using asio::ip::tcp;

std::size_t raiseDescriptorLimit() {
  constexpr rlim_t kernelDefaultMax = 1 << 20;  // fs.nr_open unless raised
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit wanted{limit.rlim_max, limit.rlim_max};
    // The kernel refuses more than fs.nr_open, an unlimited hard limit too.
    if (setrlimit(RLIMIT_NOFILE, &wanted) != 0 && limit.rlim_max == RLIM_INFINITY)
      wanted.rlim_cur = kernelDefaultMax, setrlimit(RLIMIT_NOFILE, &wanted);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur == RLIM_INFINITY ? kernelDefaultMax : static_cast<std::size_t>(limit.rlim_cur);
}

int openSpareDescriptor() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

Listener listenOn(asio::io_context& io, const tcp::endpoint& endpoint, std::chrono::seconds deferAccept) {
  const bool v6 = endpoint.address().is_v6();
  const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return {nullptr, {errno, std::system_category()}};
  auto next = std::make_shared<tcp::acceptor>(io);
  std::error_code ec;
  next->assign(endpoint.protocol(), fd, ec);
  if (ec) {
    ::close(fd);
    return {nullptr, ec};
  }
  if (v6) next->set_option(asio::ip::v6_only(false), ec);
  if (!ec) next->set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) next->bind(endpoint, ec);
  if (!ec) next->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) return {nullptr, ec};
  // The kernel hands a connection over once its first bytes are there, so the
  // first receive finds them. Best effort: without it, that receive just waits.
  const int defer = static_cast<int>(deferAccept.count());
  if (defer > 0) ::setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer, sizeof defer);
  return {std::move(next), {}};
}

AcceptedSocket::~AcceptedSocket() {
  if (fd >= 0) ::close(fd);
}

}  // namespace tavlo
