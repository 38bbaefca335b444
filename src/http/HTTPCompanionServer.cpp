// Runs on the server's network thread, but for the public calls, which come
// from any one thread and wait for the network thread where they must.
#include "http/HTTPCompanionServer.hpp"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "http/ServerImpl.hpp"
#include "platform/Async.hpp"

namespace tavlo {

using Clock = ServerClock;
using Impl = HTTPCompanionServer::Impl;
using asio::ip::tcp;

namespace {

constexpr std::chrono::milliseconds kAcceptBackoff{50};
constexpr std::chrono::milliseconds kShutdownGrace{1000};

}  // namespace

Impl::~Impl() {
  tearingDown = true;
  if (spare >= 0) ::close(spare);
}

void Impl::tellDrained() {
  std::unique_lock lock(drainedMutex);
  auto told = std::exchange(drained, nullptr);
  lock.unlock();
  if (told) told();
}

void Impl::publishLocked() {
  if (!options.advertise || !presence || !listening) return;
  DnsSdAdvertiser::Service service;
  service.name = "Tavlo on " + presence->hostName;
  service.type = options.serviceType;
  service.port = bound;
  service.txt = txtRecord(bound, *presence);
  if (!advertiser) advertiser = std::make_unique<DnsSdAdvertiser>();
  advertiser->publish(std::move(service));
}

void Impl::run() {
  pthread_setname_np(pthread_self(), "tavlo.http");  // the kernel keeps 15 bytes of a name
  io.run();
  std::lock_guard lock(finishedMutex);
  finished = true;
  finishedSignal.notify_all();
}

Result<void> Impl::openListener() {
  closeListener();
  Listener next;
  if (options.bindAddress.empty()) {
    // Every address, IPv6 and IPv4 on one socket; IPv4 alone where IPv6 is unavailable.
    next = listenOn(io, tcp::endpoint(asio::ip::address_v6::any(), port), options.deferAccept);
    const auto ec = next.error;
    if (ec && ec != std::errc::address_in_use && ec != std::errc::permission_denied)
      next = listenOn(io, tcp::endpoint(asio::ip::address_v4::any(), port), options.deferAccept);
  } else {
    std::error_code ec;
    const auto address = asio::ip::make_address(options.bindAddress, ec);
    if (ec) return fail(ec.message());
    next = listenOn(io, tcp::endpoint(address, port), options.deferAccept);
  }
  if (next.error) return fail(next.error.message());
  if (spare < 0) spare = openSpareDescriptor();
  std::error_code ignored;
  bound = next.acceptor->local_endpoint(ignored).port();
  acceptor = next.acceptor;
  asio::co_spawn(io, acceptLoop(std::move(next.acceptor)), logFailure("HTTP accept loop stopped"));
  return {};
}

void Impl::closeListener() {
  if (!acceptor) return;
  std::error_code ignored;
  acceptor->close(ignored);
  acceptor.reset();
}

// Takes every waiting connection (accept4 until EAGAIN) before waiting again, and
// never leaves a peer in the backlog: one that cannot be served is closed.
asio::awaitable<void> Impl::acceptLoop(std::shared_ptr<tcp::acceptor> listener) {
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
bool Impl::shedWithSpare(int listener) {
  ::close(spare);
  const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) ::close(fd);
  spare = openSpareDescriptor();
  return fd >= 0;
}

// At the cap: the oldest connection still sending its request goes once it is
// past half the head deadline. True when one went.
bool Impl::evictOldestSlow() {
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

void Impl::admit(AcceptedSocket socket, const sockaddr_storage& peer) {
  const AddressKey key = addressKeyOf(peer);
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

void Impl::closeEverything() {
  closing = true;
  closeListener();
  sweepTimer.cancel();
  for (Connection* c : connections) {
    c->expired = true;
    std::error_code ignored;
    if (c->waiting) c->waiter->cancel(ignored);
  }
}

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

Result<void> HTTPCompanionServer::start() {
  const std::size_t limit = raiseDescriptorLimit();
  const std::size_t room = limit > 2 * kSpareDescriptors ? limit - kSpareDescriptors : limit / 2;
  const std::size_t wanted = impl_->options.maxConnections;
  impl_->descriptorLimit = limit;
  impl_->cap = wanted > 0 ? std::min(wanted, room) : room;
  stop();
  TRY(impl_->onNetwork([impl = impl_.get()] { return impl->openListener(); }));
  std::lock_guard lock(impl_->advertiserMutex);
  impl_->listening = true;
  impl_->publishLocked();
  return {};
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
