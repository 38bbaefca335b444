#pragma once
// The server's inside, shared by HTTPCompanionServer.cpp (listener, accepting,
// the caps, start and stop) and HTTPConnection.cpp (one connection's request
// and reply). Everything but the atomics and the advertiser's lock runs on the
// network thread.
#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "http/HTTPCompanionServer.hpp"
#include "http/PeerAddress.hpp"
#include "http/ServerSockets.hpp"
#include "platform/DnsSdAdvertiser.hpp"
#include "platform/Result.hpp"

namespace tavlo {

using ServerClock = std::chrono::steady_clock;
inline constexpr auto useTuple = asio::experimental::as_tuple(asio::use_awaitable);

inline constexpr std::size_t kReceiveSize = 65536;
inline constexpr std::size_t kFirstReceiveSize = 16384;

enum class ReadOutcome { data, end, error, timeout };

struct ReadResult {
  ReadOutcome outcome;
  std::size_t bytes = 0;
  std::error_code error;
};

struct HTTPCompanionServer::Impl : std::enable_shared_from_this<Impl> {
  Impl(uint16_t port, Handler handler, Options options)
      : port(port), handler(std::move(handler)), options(std::move(options)) {}
  // Connections still pending when the io_context goes are destroyed with it;
  // by then the members declared after it are gone, and their slots must not
  // touch them.
  ~Impl();

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
    const bool counted;                       // towards its address's connection cap
    std::optional<asio::ip::tcp::socket> waiter;  // owns fd once the connection first waits
    const ServerClock::time_point accepted = ServerClock::now();
    ServerClock::time_point lastActivity = accepted;
    ServerClock::time_point deadline = ServerClock::time_point::max();
    std::list<Connection*>::iterator place;  // in server.connections
    bool waiting = false;                    // suspended on the reactor: the sweep may end it
    bool expired = false;
    bool evicted = false;                    // closed to make room for a newcomer
    bool reading = true;                     // still receiving its request (head or body)
    bool moreMayBePending = false;           // the last receive filled its buffer

    Connection(Impl& s, AcceptedSocket socket, const AddressKey& peer, bool v6, bool counted);
    ~Connection();
    Connection(const Connection&) = delete;
  };

  // Network thread only.
  std::shared_ptr<asio::ip::tcp::acceptor> acceptor;
  std::list<Connection*> connections;            // oldest first
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
  std::atomic<std::size_t> cap{0};  // set by start()
  std::atomic<std::size_t> descriptorLimit{0};

  std::mutex advertiserMutex;
  std::unique_ptr<DnsSdAdvertiser> advertiser;  // the three below are guarded by advertiserMutex
  std::optional<AdvertisedPresence> presence;
  bool listening = false;

  // Runs `fn` on the network thread and waits for it.
  template <class Fn>
  auto onNetwork(Fn fn) -> decltype(fn()) {
    if (io.get_executor().running_in_this_thread()) return fn();
    std::packaged_task<decltype(fn())()> task(std::move(fn));
    auto result = task.get_future();
    asio::post(io, [&task] { task(); });
    return result.get();
  }

  // HTTPCompanionServer.cpp: the listener, accepting, the caps, stopping.
  void run();
  void tellDrained();
  void publishLocked();
  Result<void> openListener();
  void closeListener();
  asio::awaitable<void> acceptLoop(std::shared_ptr<asio::ip::tcp::acceptor> listener);
  bool shedWithSpare(int listener);
  bool evictOldestSlow();
  void admit(AcceptedSocket socket, const sockaddr_storage& peer);
  void closeEverything();

  // HTTPConnection.cpp: one connection, from its request to its reply.
  asio::awaitable<void> serve(AcceptedSocket socket, AddressKey peer, bool v6, bool counted);
  asio::awaitable<void> waitFor(Connection& c, asio::ip::tcp::socket::wait_type what);
  asio::awaitable<ReadResult> receive(Connection& c, std::size_t size);
  asio::awaitable<bool> sendAll(Connection& c, std::string_view bytes);
  void startSweep();
  asio::awaitable<void> sweep();
  ServerClock::time_point bodyDeadline(ServerClock::time_point start, int64_t announced) const;
  asio::awaitable<void> exchange(Connection& c);
  asio::awaitable<std::optional<HTTPRequest>> readHead(Connection& c, bool& ended);
  asio::awaitable<bool> readBody(Connection& c, HTTPRequest& request, bool& ended);
  asio::awaitable<void> respond(Connection& c, HTTPRequest request);
  asio::awaitable<void> drain(Connection& c, std::chrono::milliseconds limit);
  asio::awaitable<void> refuse(Connection& c, HTTPResponse response);
};

}  // namespace tavlo
