#include "http/HTTPCompanionServer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/Async.hpp"
#include "platform/DnsSdAdvertiser.hpp"
#include "text/UnicodeText.hpp"
#include "platform/Log.hpp"

namespace tavlo {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
constexpr auto useTuple = asio::experimental::as_tuple(asio::use_awaitable);

namespace {

constexpr std::size_t kReceiveSize = 65536;
constexpr std::size_t kFirstReceiveSize = 16384;
constexpr std::chrono::milliseconds kAcceptBackoff{50};
constexpr std::chrono::milliseconds kShutdownGrace{1000};
// After a reply, bytes the peer may still have on their way are read this long at
// most, so closing does not reset the connection before the reply is read.
constexpr std::chrono::milliseconds kLinger{500};

enum class ReadOutcome { data, end, error, timeout };

struct ReadResult {
  ReadOutcome outcome;
  std::size_t bytes = 0;
  std::error_code error;
};

const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

bool wantsContinue(const HTTPRequest& request) {
  auto expect = request.headers.find("expect");
  return expect != request.headers.end() && lowerASCII(expect->second) == "100-continue";
}

// A client address as 16 bytes, IPv4 as IPv4-mapped IPv6, so both families count alike.
using AddressKey = std::array<unsigned char, 16>;

AddressKey keyOf(const sockaddr_storage& address) {
  AddressKey key{};
  if (address.ss_family == AF_INET6) {
    std::memcpy(key.data(), &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, 16);
  } else if (address.ss_family == AF_INET) {
    key[10] = key[11] = 0xff;
    std::memcpy(key.data() + 12, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, 4);
  }
  return key;
}

bool isV4Mapped(const AddressKey& key) {
  return std::all_of(key.begin(), key.begin() + 10, [](unsigned char b) { return b == 0; }) && key[10] == 0xff &&
         key[11] == 0xff;
}

bool isLoopback(const AddressKey& key) {
  if (isV4Mapped(key)) return key[12] == 127;
  return std::all_of(key.begin(), key.end() - 1, [](unsigned char b) { return b == 0; }) && key[15] == 1;
}

// What the per-address cap counts: an IPv4 address, or an IPv6 /64 (one host may
// take any number of addresses inside its /64).
AddressKey capGroupOf(AddressKey key) {
  if (!isV4Mapped(key)) std::fill(key.begin() + 8, key.end(), 0);
  return key;
}

// The address as text; IPv4-mapped IPv6 shown as IPv4.
std::string textOf(const AddressKey& key) {
  char text[INET6_ADDRSTRLEN] = {};
  if (isV4Mapped(key)) inet_ntop(AF_INET, key.data() + 12, text, sizeof text);
  else inet_ntop(AF_INET6, key.data(), text, sizeof text);
  return text;
}

std::error_code lastError() { return {errno, std::system_category()}; }

HTTPResponse internalError() { return HTTPResponse::json({{"error", "internal error"}, {"ok", false}}, 500); }

HTTPResponse bodyTooLarge() {
  return HTTPResponse::json({{"error", "request body too large"}, {"ok", false}}, 413);
}

HTTPResponse codingNotSupported() {
  return HTTPResponse::json({{"error", "transfer coding not supported"}, {"ok", false}}, 501);
}

// Many peers at once need many descriptors: lifts the soft limit to the hard one.
// The soft limit then in force.
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

// An accepted descriptor, closed unless a connection takes it over.
struct AcceptedSocket {
  int fd;
  explicit AcceptedSocket(int fd) : fd(fd) {}
  AcceptedSocket(AcceptedSocket&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  AcceptedSocket& operator=(AcceptedSocket&&) = delete;
  ~AcceptedSocket() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

struct HTTPCompanionServer::Impl : std::enable_shared_from_this<Impl> {
  Impl(uint16_t port, Handler handler, Options options)
      : port(port), handler(std::move(handler)), options(std::move(options)) {}

  // Connections still pending when the io_context goes are destroyed with it;
  // by then the members declared after it are gone, and their slots must not
  // touch them.
  ~Impl() {
    tearingDown = true;
    if (spare >= 0) ::close(spare);
  }

  const uint16_t port;
  const Handler handler;
  const Options options;
  bool tearingDown = false;

  asio::io_context io{1};
  asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
  std::thread thread;
  std::mutex finishedMutex;
  std::condition_variable finishedSignal;
  bool finished = false;

  // One accepted connection. Its socket is read and written directly while that
  // succeeds at once; only a connection that must wait is handed to the reactor.
  // Deadlines are enforced by one coarse sweep over the waiting connections.
  struct Connection {
    Impl& server;
    const int fd;
    const AddressKey peer;
    const bool v6;
    const bool counted;                  // towards its address's connection cap
    std::optional<tcp::socket> waiter;   // owns fd once the connection first waits
    const Clock::time_point accepted = Clock::now();
    Clock::time_point lastActivity = accepted;
    Clock::time_point deadline = Clock::time_point::max();
    std::list<Connection*>::iterator place;  // in server.connections
    bool waiting = false;                // suspended on the reactor: the sweep may end it
    bool expired = false;
    bool evicted = false;                // closed to make room for a newcomer
    bool reading = true;                 // still receiving its request (head or body)
    bool moreMayBePending = false;       // the last receive filled its buffer

    Connection(Impl& s, AcceptedSocket socket, const AddressKey& peer, bool v6, bool counted)
        : server(s), fd(std::exchange(socket.fd, -1)), peer(peer), v6(v6), counted(counted) {
      place = server.connections.insert(server.connections.end(), this);
      if (counted) ++server.perAddress[capGroupOf(peer)];
    }
    ~Connection() {
      if (!waiter) ::close(fd);
      if (server.tearingDown) return;  // the waiter closes fd itself
      std::error_code ignored;
      if (waiter) waiter->close(ignored);
      server.connections.erase(place);
      if (counted) {
        auto it = server.perAddress.find(capGroupOf(peer));
        if (--it->second == 0) server.perAddress.erase(it);
      }
      if (evicted) --server.evicting;
      if (--server.open == 0) server.tellDrained();
    }
    Connection(const Connection&) = delete;
  };

  // Network thread only.
  std::shared_ptr<tcp::acceptor> acceptor;
  std::list<Connection*> connections;  // oldest first
  std::map<AddressKey, std::size_t> perAddress;  // by capGroupOf
  std::size_t evicting = 0;  // evicted connections not yet gone: their slots are free
  // Held open so that, out of descriptors, a waiting peer can still be accepted and closed.
  int spare = -1;
  asio::steady_timer sweepTimer{io};
  bool sweeping = false;
  bool closing = false;
  // Receives land here and are copied out before anything else runs.
  std::unique_ptr<char[]> scratch = std::make_unique<char[]>(kReceiveSize);
  // Deadlines are checked this often, and so enforced this late at most.
  const std::chrono::milliseconds sweepInterval = std::clamp(
      std::min({options.idleTimeout, options.headTimeout, options.bodyTimeout, options.drainTimeout}) / 4,
      std::chrono::milliseconds(10), std::chrono::milliseconds(1000));

  std::atomic<uint16_t> bound{0};
  std::atomic<std::size_t> open{0};
  std::mutex drainedMutex;
  std::function<void()> drained;  // told once `open` reaches 0

  void tellDrained() {
    std::unique_lock lock(drainedMutex);
    auto told = std::exchange(drained, nullptr);
    lock.unlock();
    if (told) told();
  }
  std::atomic<std::size_t> cap{0};  // set by start()
  std::atomic<std::size_t> descriptorLimit{0};

  std::mutex advertiserMutex;
  std::unique_ptr<DnsSdAdvertiser> advertiser;  // the three below are guarded by advertiserMutex
  std::optional<AdvertisedPresence> presence;
  bool listening = false;

  void publishLocked() {
    if (!options.advertise || !presence || !listening) return;
    DnsSdAdvertiser::Service service;
    service.name = "Tavlo on " + presence->hostName;
    service.type = options.serviceType;
    service.port = bound;
    service.txt = txtRecord(bound, *presence);
    if (!advertiser) advertiser = std::make_unique<DnsSdAdvertiser>();
    advertiser->publish(std::move(service));
  }

  void run() {
    pthread_setname_np(pthread_self(), "tavlo.http");  // the kernel keeps 15 bytes of a name
    io.run();
    std::lock_guard lock(finishedMutex);
    finished = true;
    finishedSignal.notify_all();
  }

  // Runs `fn` on the network thread and waits for it.
  template <class Fn>
  auto onNetwork(Fn fn) -> decltype(fn()) {
    if (io.get_executor().running_in_this_thread()) return fn();
    std::packaged_task<decltype(fn())()> task(std::move(fn));
    auto result = task.get_future();
    asio::post(io, [&task] { task(); });
    return result.get();
  }

  // A close-on-exec, non-blocking listening socket on `endpoint`; IPv6 takes IPv4 peers too.
  std::shared_ptr<tcp::acceptor> listenOn(const tcp::endpoint& endpoint, std::error_code& ec) {
    const bool v6 = endpoint.address().is_v6();
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      ec = lastError();
      return nullptr;
    }
    auto next = std::make_shared<tcp::acceptor>(io);
    next->assign(endpoint.protocol(), fd, ec);
    if (ec) {
      ::close(fd);
      return nullptr;
    }
    if (v6) next->set_option(asio::ip::v6_only(false), ec);
    if (!ec) next->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) next->bind(endpoint, ec);
    if (!ec) next->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return nullptr;
    // The kernel hands a connection over once its first bytes are there, so the
    // first receive finds them. Best effort: without it, that receive just waits.
    const int defer = static_cast<int>(options.deferAccept.count());
    if (defer > 0) ::setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer, sizeof defer);
    return next;
  }

  std::error_code openListener() {
    closeListener();
    std::error_code ec;
    std::shared_ptr<tcp::acceptor> next;
    if (options.bindAddress.empty()) {
      // Every address, IPv6 and IPv4 on one socket; IPv4 alone where IPv6 is unavailable.
      next = listenOn(tcp::endpoint(asio::ip::address_v6::any(), port), ec);
      if (ec && ec != std::errc::address_in_use && ec != std::errc::permission_denied)
        next = listenOn(tcp::endpoint(asio::ip::address_v4::any(), port), ec);
    } else {
      const auto address = asio::ip::make_address(options.bindAddress, ec);
      if (ec) return ec;
      next = listenOn(tcp::endpoint(address, port), ec);
    }
    if (ec) return ec;
    if (spare < 0) spare = openSpareDescriptor();
    bound = next->local_endpoint(ec).port();
    acceptor = next;
    asio::co_spawn(io, acceptLoop(next), logFailure("HTTP accept loop stopped"));
    return {};
  }

  void closeListener() {
    if (!acceptor) return;
    std::error_code ignored;
    acceptor->close(ignored);
    acceptor.reset();
  }

  // Takes every waiting connection (accept4 until EAGAIN) before waiting again, and
  // never leaves a peer in the backlog: one that cannot be served is closed.
  asio::awaitable<void> acceptLoop(std::shared_ptr<tcp::acceptor> listener) {
    asio::steady_timer backoff(io);
    while (listener->is_open()) {
      sockaddr_storage peer{};
      socklen_t length = sizeof peer;
      const int fd = ::accept4(listener->native_handle(), reinterpret_cast<sockaddr*>(&peer), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) {
        admit(AcceptedSocket(fd), peer);
        continue;
      }
      const int error = errno;
      if (error == EBADF || error == EINVAL || error == ENOTSOCK) co_return;  // closed under us
      const bool shedding = (error == EMFILE || error == ENFILE) && spare >= 0;
      if (shedding && shedWithSpare(listener->native_handle())) continue;
      // Nobody waiting. Out of descriptors too, accept4 says EMFILE before it looks at the
      // queue: going round again would burn a core and shed the first peer to come once
      // descriptors are free.
      if (error == EAGAIN || error == EWOULDBLOCK || shedding) {
        auto [ec] = co_await listener->async_wait(tcp::acceptor::wait_read, useTuple);
        if (ec == asio::error::operation_aborted) co_return;
        continue;
      }
      if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
        // Out of memory, or of descriptors with no spare: wait a little rather than spin.
        backoff.expires_after(kAcceptBackoff);
        co_await backoff.async_wait(useTuple);
        if (spare < 0) spare = openSpareDescriptor();
      }
      // Anything else is a peer gone before accept: take the next one.
    }
  }

  // Out of descriptors: the spare one lets the first waiting peer be accepted and
  // closed at once. False when no peer was waiting.
  bool shedWithSpare(int listener) {
    ::close(spare);
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) ::close(fd);
    spare = openSpareDescriptor();
    return fd >= 0;
  }

  // At the cap: the oldest connection still sending its request goes once it is
  // past half the head deadline. True when one went.
  bool evictOldestSlow() {
    const auto now = Clock::now();
    for (Connection* c : connections) {
      if (!c->reading || c->expired || !c->waiting) continue;
      if (now - c->accepted < options.headTimeout / 2) return false;  // every later one is younger
      c->expired = c->evicted = true;
      ++evicting;
      std::error_code ignored;
      c->waiter->close(ignored);  // its descriptor is free at once; the wait ends aborted
      return true;
    }
    return false;
  }

  void admit(AcceptedSocket socket, const sockaddr_storage& peer) {
    const AddressKey key = keyOf(peer);
    const bool counted = options.capLoopback || !isLoopback(key);
    if (counted) {
      auto it = perAddress.find(capGroupOf(key));
      if (it != perAddress.end() && it->second >= options.maxConnectionsPerAddress) return;  // closed at once
    }
    if (open - evicting >= cap && !evictOldestSlow()) return;  // the newest is closed at once
    ++open;
    asio::co_spawn(io, serve(std::move(socket), key, peer.ss_family == AF_INET6, counted),
                   logFailure("HTTP connection dropped"));
  }

  asio::awaitable<void> serve(AcceptedSocket socket, AddressKey peer, bool v6, bool counted) {
    Connection connection(*this, std::move(socket), peer, v6, counted);
    co_await exchange(connection);
  }

  // Waits until the socket is ready for `what`, or the sweep ends the connection.
  asio::awaitable<void> waitFor(Connection& c, tcp::socket::wait_type what) {
    if (closing) {  // nothing would wake it any more
      c.expired = true;
      co_return;
    }
    if (!c.waiter) {
      std::error_code ec;
      c.waiter.emplace(io);
      c.waiter->assign(c.v6 ? tcp::v6() : tcp::v4(), c.fd, ec);
      if (ec) {
        c.waiter.reset();
        c.expired = true;
        co_return;
      }
    }
    c.waiting = true;
    startSweep();
    co_await c.waiter->async_wait(what, useTuple);
    c.waiting = false;
  }

  // One receive into scratch: tried at once, waited for only when nothing is there.
  asio::awaitable<ReadResult> receive(Connection& c, std::size_t size) {
    for (;;) {
      if (c.expired) co_return ReadResult{ReadOutcome::timeout, 0, {}};
      const ssize_t n = ::recv(c.fd, scratch.get(), size, 0);
      if (n > 0) {
        c.lastActivity = Clock::now();
        c.moreMayBePending = static_cast<std::size_t>(n) == size;
        co_return ReadResult{ReadOutcome::data, static_cast<std::size_t>(n), {}};
      }
      if (n == 0) {
        c.moreMayBePending = false;
        co_return ReadResult{ReadOutcome::end, 0, {}};
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) co_return ReadResult{ReadOutcome::error, 0, lastError()};
      co_await waitFor(c, tcp::socket::wait_read);
    }
  }

  // Writes everything unless the peer stops reading for the idle limit.
  asio::awaitable<bool> sendAll(Connection& c, std::string_view bytes) {
    while (!bytes.empty()) {
      if (c.expired) co_return false;
      const ssize_t n = ::send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n >= 0) {
        bytes.remove_prefix(static_cast<std::size_t>(n));
        c.lastActivity = Clock::now();
        continue;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) co_return false;
      co_await waitFor(c, tcp::socket::wait_write);
    }
    co_return true;
  }

  // Ends every waiting connection past its deadline or idle for too long; runs
  // while any connection waits.
  void startSweep() {
    if (sweeping || closing) return;
    sweeping = true;
    asio::co_spawn(io, sweep(), logFailure("HTTP sweep stopped"));
  }

  asio::awaitable<void> sweep() {
    for (bool anyWaiting = true; anyWaiting && !closing;) {
      sweepTimer.expires_after(sweepInterval);
      co_await sweepTimer.async_wait(useTuple);
      if (closing) break;
      const auto now = Clock::now();
      anyWaiting = false;
      for (Connection* c : connections) {
        if (!c->waiting) continue;
        if (now >= c->deadline || now - c->lastActivity >= options.idleTimeout) {
          c->expired = true;
          std::error_code ignored;
          c->waiter->cancel(ignored);
        } else {
          anyWaiting = true;
        }
      }
    }
    sweeping = false;
  }

  Clock::time_point bodyDeadline(Clock::time_point start, int64_t announced) const {
    const int64_t blocks = std::max<int64_t>(0, announced) / std::max<int64_t>(1, options.bodyBlockBytes);
    return start + options.bodyTimeout + options.bodyTimePerBlock * blocks;
  }

  // One request on a connection: its head, its body, the handler's reply.
  asio::awaitable<void> exchange(Connection& c) {
    bool ended = false;  // the peer has ended its stream
    std::optional<HTTPRequest> request = co_await readHead(c, ended);
    if (!request) co_return;
    if (request->repeatedHost) {  // RFC 9112: more than one Host is refused
      co_await refuse(c, HTTPResponse::badRequest("more than one Host header"));
      co_return;
    }
    const bool complete = co_await readBody(c, *request, ended);
    if (!complete) co_return;
    co_await respond(c, std::move(*request));
  }

  // Keeps reading until the head parses, the peer ends the stream, or it grows
  // too large. A peer that trickles bytes to keep the idle limit at bay still
  // gets a deadline. None: the connection is to be closed without a reply.
  asio::awaitable<std::optional<HTTPRequest>> readHead(Connection& c, bool& ended) {
    std::string buffer;
    c.deadline = c.lastActivity + options.headTimeout;
    for (;;) {
      // Most requests fit the first, smaller receive.
      ReadResult read = co_await receive(c, buffer.empty() ? kFirstReceiveSize : kReceiveSize);
      if (read.outcome == ReadOutcome::error) {
        if (!closing) logLine("Tavlo HTTP receive error: " + read.error.message());
        co_return std::nullopt;
      }
      if (read.outcome == ReadOutcome::timeout) co_return std::nullopt;
      if (read.outcome == ReadOutcome::end) ended = true;
      const std::size_t before = buffer.size();
      buffer.append(scratch.get(), read.bytes);

      const std::size_t from = before >= 3 ? before - 3 : 0;
      const std::size_t headEnd = std::string_view(buffer).find("\r\n\r\n", from);
      if (headEnd == std::string_view::npos) {
        if (ended || buffer.size() >= options.maxHeadBytes + 4) co_return std::nullopt;
        continue;
      }
      if (headEnd > options.maxHeadBytes) co_return std::nullopt;
      // A complete head that does not parse never will: closed without a reply.
      co_return HTTPRequest::tryParse(buffer);
    }
  }

  // Reads exactly the body the head announces, whatever else follows it. False
  // when the connection is done: refused with a reply, or gone.
  asio::awaitable<bool> readBody(Connection& c, HTTPRequest& request, bool& ended) {
    const auto bodyStart = Clock::now();
    std::optional<ChunkedBodyDecoder> chunked;
    int64_t announced = 0;
    if (auto coding = request.headers.find("transfer-encoding"); coding != request.headers.end()) {
      if (lowerASCII(coding->second) != "chunked") {
        co_await refuse(c, codingNotSupported());
        co_return false;
      }
      chunked.emplace(options.maxBodyBytes);
      const std::string raw = std::move(request.body);
      request.body.clear();
      chunked->feed(raw, request.body);
      c.deadline = bodyDeadline(bodyStart, chunked->announced());
    } else {
      announced = request.contentLength();
      if (announced > options.maxBodyBytes) {
        co_await refuse(c, bodyTooLarge());
        co_return false;
      }
      // A negative length dispatches at once with whatever came with the head; an absent
      // or unreadable one means no body, so a second request's bytes never become one.
      if (announced >= 0 && static_cast<int64_t>(request.body.size()) > announced)
        request.body.resize(static_cast<std::size_t>(announced));
      c.deadline = bodyDeadline(bodyStart, announced);
    }
    auto missing = [&]() -> int64_t {
      if (chunked) return chunked->status() == ChunkedBodyDecoder::Status::more ? 1 : 0;
      return std::max<int64_t>(0, announced - static_cast<int64_t>(request.body.size()));
    };

    // curl holds back a larger body for a second unless told to go on.
    if (missing() > 0 && !ended && wantsContinue(request)) {
      const bool sent = co_await sendAll(c, kContinue);
      if (!sent) co_return false;
    }
    while (missing() > 0 && !ended) {
      ReadResult read = co_await receive(c, kReceiveSize);
      if (read.outcome == ReadOutcome::error) {
        if (!closing) logLine("Tavlo HTTP body error: " + read.error.message());
        co_return false;
      }
      if (read.outcome == ReadOutcome::timeout) co_return false;
      if (read.outcome == ReadOutcome::end) ended = true;
      const std::string_view bytes(scratch.get(), read.bytes);
      if (chunked) {
        chunked->feed(bytes, request.body);
        c.deadline = bodyDeadline(bodyStart, chunked->announced());
      } else {
        request.body.append(bytes.substr(0, static_cast<std::size_t>(std::min<int64_t>(missing(), read.bytes))));
      }
    }
    const auto status = chunked ? chunked->status() : ChunkedBodyDecoder::Status::done;
    if (status == ChunkedBodyDecoder::Status::tooLarge || status == ChunkedBodyDecoder::Status::malformed) {
      // Named first: g++ 12 destroys a conditional's temporary twice inside co_await.
      HTTPResponse refusal = status == ChunkedBodyDecoder::Status::tooLarge
                                 ? bodyTooLarge()
                                 : HTTPResponse::badRequest("malformed chunked body");
      co_await refuse(c, std::move(refusal));
      co_return false;
    }
    co_return true;
  }

  // Hands the request to the handler and writes its reply.
  asio::awaitable<void> respond(Connection& c, HTTPRequest request) {
    c.reading = false;
    request.peerAddress = textOf(c.peer);
    c.deadline = Clock::time_point::max();
    HTTPResponse response;
    std::optional<std::string> failure;
    try {
      auto self = shared_from_this();  // the request holds the server until its reply is written
      response = co_await handler(std::move(request));
    } catch (const std::exception& e) {
      failure = e.what();
    } catch (...) {  // whatever the handler throws becomes a 500; the log says what
      failure = "unknown exception";
    }
    if (failure) {
      logLine("Tavlo HTTP handler failed: " + *failure);
      response = internalError();
    }
    if (closing) co_return;
    c.lastActivity = Clock::now();
    const std::string bytes = response.serialize();
    const bool sent = co_await sendAll(c, bytes);
    if (!sent) co_return;
    // Closing with unread bytes resets the connection, and the peer may lose the reply.
    if (c.moreMayBePending) co_await drain(c, std::min<std::chrono::milliseconds>(kLinger, options.drainTimeout));
  }

  // Ends the reply and reads and drops what the peer still sends, for `limit` at most.
  asio::awaitable<void> drain(Connection& c, std::chrono::milliseconds limit) {
    ::shutdown(c.fd, SHUT_WR);
    c.deadline = Clock::now() + limit;
    for (;;) {
      const ReadResult read = co_await receive(c, kReceiveSize);
      if (read.outcome != ReadOutcome::data) break;
    }
  }

  // Answers before the announced body was read. The peer may be uploading it
  // still: what it sends is read and dropped for a while, so it can read the reply.
  asio::awaitable<void> refuse(Connection& c, HTTPResponse response) {
    c.reading = false;
    c.lastActivity = Clock::now();
    const std::string bytes = response.serialize();
    const bool sent = co_await sendAll(c, bytes);
    if (sent) co_await drain(c, options.drainTimeout);
  }

  void closeEverything() {
    closing = true;
    closeListener();
    sweepTimer.cancel();
    for (Connection* c : connections) {
      c->expired = true;
      std::error_code ignored;
      if (c->waiting) c->waiter->cancel(ignored);
    }
  }
};

HTTPCompanionServer::HTTPCompanionServer(uint16_t port, Handler handler, Options options)
    : impl_(std::make_shared<Impl>(port, std::move(handler), std::move(options))) {
  // The thread holds the server's state so a reply still on its way never
  // finds it gone; it lets go once its io_context runs out of work.
  impl_->thread = std::thread([self = impl_] { self->run(); });
}

namespace {

// Servers destroyed while a handler of theirs was still parked elsewhere: each
// thread goes on until that handler's reply is in (it will post back to its
// io_context) and is joined by joinLingering. Never destroyed, so those still
// parked when the program ends with _exit end with it.
struct Lingering {
  using JoinBy = std::function<bool(std::chrono::steady_clock::time_point deadline)>;  // true: joined
  std::mutex mutex;
  std::vector<JoinBy> servers;
};
Lingering& lingering() {
  static auto* servers = new Lingering;
  return *servers;
}

}  // namespace

HTTPCompanionServer::~HTTPCompanionServer() {
  {
    std::lock_guard lock(impl_->advertiserMutex);
    impl_->advertiser.reset();
  }
  asio::post(impl_->io, [impl = impl_.get()] { impl->closeEverything(); });
  impl_->work.reset();
  bool done;
  {
    std::unique_lock lock(impl_->finishedMutex);
    done = impl_->finishedSignal.wait_for(lock, kShutdownGrace, [&] { return impl_->finished; });
  }
  if (done) {
    impl_->thread.join();
  } else {
    std::lock_guard lock(lingering().mutex);
    lingering().servers.push_back([impl = impl_](std::chrono::steady_clock::time_point deadline) {
      std::unique_lock finishedLock(impl->finishedMutex);
      if (!impl->finishedSignal.wait_until(finishedLock, deadline, [&] { return impl->finished; })) return false;
      finishedLock.unlock();
      impl->thread.join();
      return true;
    });
  }
}

bool HTTPCompanionServer::joinLingering(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::lock_guard lock(lingering().mutex);
  std::erase_if(lingering().servers, [deadline](const Lingering::JoinBy& joinBy) { return joinBy(deadline); });
  return lingering().servers.empty();
}

void HTTPCompanionServer::start() {
  const std::size_t limit = raiseDescriptorLimit();
  const std::size_t room = limit > 2 * kSpareDescriptors ? limit - kSpareDescriptors : limit / 2;
  const std::size_t wanted = impl_->options.maxConnections;
  impl_->descriptorLimit = limit;
  impl_->cap = wanted > 0 ? std::min(wanted, room) : room;
  stop();
  const std::error_code ec = impl_->onNetwork([impl = impl_.get()] { return impl->openListener(); });
  if (ec) throw std::system_error(ec);
  std::lock_guard lock(impl_->advertiserMutex);
  impl_->listening = true;
  impl_->publishLocked();
}

void HTTPCompanionServer::stop() {
  {
    std::lock_guard lock(impl_->advertiserMutex);
    impl_->listening = false;
    if (impl_->advertiser) impl_->advertiser->withdraw();
  }
  impl_->onNetwork([impl = impl_.get()] { impl->closeListener(); });
}

void HTTPCompanionServer::advertise(const AdvertisedPresence& presence) {
  std::lock_guard lock(impl_->advertiserMutex);
  impl_->presence = presence;
  impl_->publishLocked();
}

uint16_t HTTPCompanionServer::boundPort() const { return impl_->bound; }

std::size_t HTTPCompanionServer::openConnections() const { return impl_->open; }

void HTTPCompanionServer::whenDrained(std::function<void()> drained) {
  {
    std::lock_guard lock(impl_->drainedMutex);
    impl_->drained = std::move(drained);
  }
  if (impl_->open == 0) impl_->tellDrained();
}

std::size_t HTTPCompanionServer::connectionCap() const { return impl_->cap; }

std::size_t HTTPCompanionServer::descriptorLimit() const { return impl_->descriptorLimit; }

std::map<std::string, std::string> HTTPCompanionServer::txtRecord(uint16_t port, const AdvertisedPresence& presence) {
  std::map<std::string, std::string> txt = {
      {"version", TAVLO_VERSION},
      {"hostname", presence.hostName},
      {"port", std::to_string(port)},
  };
  if (presence.lanIP) txt["lan_ip"] = *presence.lanIP;
  if (presence.tailscale.isConnected()) {
    txt["tailscale_ip"] = presence.tailscale.ip;
    txt["tailscale_hostname"] = presence.tailscale.hostname.value_or("");
  }
  return txt;
}

}  // namespace tavlo
