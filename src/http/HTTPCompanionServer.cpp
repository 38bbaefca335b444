#include "http/HTTPCompanionServer.hpp"

#include <pthread.h>
#include <sys/resource.h>

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <variant>

#include "platform/DnsSdAdvertiser.hpp"
#include "platform/Log.hpp"

namespace tavlo {

using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;
constexpr auto useTuple = asio::experimental::as_tuple(asio::use_awaitable);

namespace {

constexpr std::size_t kReceiveSize = 65536;
constexpr std::size_t kFirstReceiveSize = 16384;
constexpr std::chrono::milliseconds kAcceptBackoff{50};
constexpr std::chrono::milliseconds kShutdownGrace{1000};

enum class ReadOutcome { data, end, error, timeout };

struct ReadResult {
  ReadOutcome outcome;
  std::size_t bytes = 0;
  std::error_code error;
};

const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

bool wantsContinue(const HTTPRequest& request) {
  auto expect = request.headers.find("expect");
  if (expect == request.headers.end()) return false;
  std::string value = expect->second;
  for (auto& c : value)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return value == "100-continue";
}

// One receive with the idle limit awaited beside it.
asio::awaitable<ReadResult> readSome(tcp::socket& socket, asio::steady_timer& timer, asio::mutable_buffer into,
                                     std::chrono::milliseconds idle) {
  timer.expires_after(idle);
  auto result = co_await (socket.async_read_some(into, useTuple) || timer.async_wait(useTuple));
  if (result.index() == 1) co_return ReadResult{ReadOutcome::timeout, 0, {}};
  auto [ec, n] = std::get<0>(result);
  if (ec == asio::error::eof) co_return ReadResult{ReadOutcome::end, 0, {}};
  if (ec) co_return ReadResult{ReadOutcome::error, 0, ec};
  co_return ReadResult{ReadOutcome::data, n, {}};
}

// Writes everything unless the peer stops reading for the idle limit.
asio::awaitable<bool> writeAll(tcp::socket& socket, asio::steady_timer& timer, const std::string& bytes,
                               std::chrono::milliseconds idle) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    timer.expires_after(idle);
    auto result = co_await (socket.async_write_some(asio::buffer(bytes.data() + written, bytes.size() - written),
                                                    useTuple) ||
                            timer.async_wait(useTuple));
    if (result.index() == 1) co_return false;
    auto [ec, n] = std::get<0>(result);
    if (ec) co_return false;
    written += n;
  }
  co_return true;
}

std::string peerAddressOf(const tcp::socket& socket) {
  std::error_code ec;
  const auto endpoint = socket.remote_endpoint(ec);
  if (ec) return {};
  auto address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  return address.to_string();
}

HTTPResponse internalError() { return HTTPResponse::json({{"error", "internal error"}, {"ok", false}}, 500); }

HTTPResponse bodyTooLarge() {
  return HTTPResponse::json({{"error", "request body too large"}, {"ok", false}}, 413);
}

// Many peers at once need many descriptors: lift the soft limit towards the hard one.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = limit.rlim_max == RLIM_INFINITY ? 8192 : std::min<rlim_t>(limit.rlim_max, 8192);
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur = wanted;
  setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

struct HTTPCompanionServer::Impl : std::enable_shared_from_this<Impl> {
  Impl(uint16_t port, Handler handler, Options options)
      : port(port), handler(std::move(handler)), options(std::move(options)) {}

  // Connections still pending when the io_context goes are destroyed with it;
  // by then the members declared after it are gone, and their slots must not
  // touch them.
  ~Impl() { tearingDown = true; }

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

  // Network thread only.
  std::shared_ptr<tcp::acceptor> acceptor;
  asio::steady_timer slotFreed{io};  // an accept loop at the connection limit waits here
  std::unordered_set<tcp::socket*> sockets;
  bool closing = false;

  std::atomic<uint16_t> bound{0};
  std::atomic<std::size_t> open{0};

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

  std::error_code openListener() {
    closeListener();
    auto next = std::make_shared<tcp::acceptor>(io);
    std::error_code ec;
    const auto address = asio::ip::make_address_v4(options.bindAddress, ec);
    if (ec) return ec;
    const tcp::endpoint endpoint(address, port);
    next->open(endpoint.protocol(), ec);
    if (!ec) next->set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) next->bind(endpoint, ec);
    if (!ec) next->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return ec;
    bound = next->local_endpoint(ec).port();
    acceptor = next;
    asio::co_spawn(io, acceptLoop(next), [](std::exception_ptr) {});
    return {};
  }

  void closeListener() {
    if (!acceptor) return;
    std::error_code ignored;
    acceptor->close(ignored);
    acceptor.reset();
    slotFreed.cancel();
  }

  asio::awaitable<void> acceptLoop(std::shared_ptr<tcp::acceptor> listener) {
    asio::steady_timer backoff(io);
    while (listener->is_open()) {
      if (open >= options.maxConnections) {
        slotFreed.expires_at(asio::steady_timer::time_point::max());
        co_await slotFreed.async_wait(useTuple);
        continue;
      }
      auto [ec, socket] = co_await listener->async_accept(useTuple);
      if (!listener->is_open() || ec == asio::error::operation_aborted) co_return;
      if (ec) {
        // Out of descriptors or a peer gone before accept: wait a little rather than spin.
        backoff.expires_after(kAcceptBackoff);
        co_await backoff.async_wait(useTuple);
        continue;
      }
      ++open;
      asio::co_spawn(io, serve(std::move(socket)), [](std::exception_ptr) {});
    }
  }

  // Tracks one accepted connection until its coroutine ends.
  struct Slot {
    Impl& server;
    tcp::socket& socket;
    Slot(Impl& s, tcp::socket& sock) : server(s), socket(sock) { server.sockets.insert(&socket); }
    ~Slot() {
      if (server.tearingDown) return;
      server.sockets.erase(&socket);
      std::error_code ignored;
      socket.close(ignored);
      --server.open;
      server.slotFreed.cancel_one();
    }
  };

  asio::awaitable<void> serve(tcp::socket socket) {
    Slot slot(*this, socket);
    try {
      co_await exchange(socket);
    } catch (...) {
      // Allocation failure and the like: the connection is dropped, the server goes on.
    }
  }

  asio::awaitable<void> exchange(tcp::socket& socket) {
    const auto idle = options.idleTimeout;
    asio::steady_timer timer(io);
    std::string buffer;
    std::optional<HTTPRequest> request;
    bool ended = false;

    // The head: keep reading until it parses, the peer ends the stream, or it grows too large.
    // A peer that trickles bytes to keep the idle limit at bay still gets a deadline.
    const auto headDeadline = std::chrono::steady_clock::now() + options.headTimeout;
    while (!request) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(headDeadline - std::chrono::steady_clock::now());
      if (left <= std::chrono::milliseconds::zero()) co_return;
      // Most requests fit the first, smaller receive; idle peers then hold little memory.
      const std::size_t want = buffer.empty() ? kFirstReceiveSize : kReceiveSize;
      const std::size_t before = buffer.size();
      buffer.resize(before + want);
      ReadResult read =
          co_await readSome(socket, timer, asio::buffer(buffer.data() + before, want), std::min(idle, left));
      buffer.resize(before + read.bytes);
      if (read.outcome == ReadOutcome::error) {
        if (!closing) logLine("Tavlo HTTP receive error: " + read.error.message());
        co_return;
      }
      if (read.outcome == ReadOutcome::timeout) co_return;
      if (read.outcome == ReadOutcome::end) ended = true;

      const std::size_t from = before >= 3 ? before - 3 : 0;
      const std::size_t headEnd = std::string_view(buffer).find("\r\n\r\n", from);
      if (headEnd == std::string_view::npos) {
        if (ended || buffer.size() >= options.maxHeadBytes + 4) co_return;
        continue;
      }
      if (headEnd > options.maxHeadBytes) co_return;
      request = HTTPRequest::tryParse(buffer);
      // A malformed head: nothing will make it parse, so wait for the peer to finish.
      if (!request && !co_await drainUntilEnd(socket, timer, ended)) co_return;
      if (!request) co_return;
    }
    buffer.clear();
    buffer.shrink_to_fit();

    const int64_t announced = request->contentLength();
    if (announced > options.maxBodyBytes) {
      co_await refuse(socket, timer, bodyTooLarge());
      co_return;
    }

    // The body: read what is still announced, never more.
    int64_t needed = std::max<int64_t>(0, announced - static_cast<int64_t>(request->body.size()));
    // curl holds back a larger body for a second unless told to go on.
    if (needed > 0 && !ended && wantsContinue(*request)) {
      const bool sent = co_await writeAll(socket, timer, kContinue, idle);
      if (!sent) co_return;
    }
    while (needed > 0 && !ended) {
      const std::size_t chunk = static_cast<std::size_t>(std::min<int64_t>(needed, kReceiveSize));
      const std::size_t before = request->body.size();
      request->body.resize(before + chunk);
      ReadResult read = co_await readSome(socket, timer, asio::buffer(request->body.data() + before, chunk), idle);
      request->body.resize(before + read.bytes);
      if (read.outcome == ReadOutcome::error) {
        if (!closing) logLine("Tavlo HTTP body error: " + read.error.message());
        co_return;
      }
      if (read.outcome == ReadOutcome::timeout) co_return;
      if (read.outcome == ReadOutcome::end) ended = true;
      needed -= static_cast<int64_t>(read.bytes);
    }

    request->peerAddress = peerAddressOf(socket);
    HTTPResponse response;
    try {
      auto self = shared_from_this();  // the request holds the server until its reply is written
      response = co_await handler(std::move(*request));
    } catch (...) {
      response = internalError();
    }
    if (closing) co_return;
    const std::string bytes = response.serialize();
    co_await writeAll(socket, timer, bytes, idle);
    std::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_send, ignored);
  }

  // Reads and drops bytes until the peer ends the stream (true) or an error or the
  // idle limit ends the connection (false).
  asio::awaitable<bool> drainUntilEnd(tcp::socket& socket, asio::steady_timer& timer, bool ended) {
    char sink[4096];
    while (!ended) {
      ReadResult read = co_await readSome(socket, timer, asio::buffer(sink), options.idleTimeout);
      if (read.outcome == ReadOutcome::error) {
        if (!closing) logLine("Tavlo HTTP receive error: " + read.error.message());
        co_return false;
      }
      if (read.outcome == ReadOutcome::timeout) co_return false;
      ended = read.outcome == ReadOutcome::end;
    }
    co_return true;
  }

  // Answers without reading the announced body. Whatever the peer already sent is
  // drained for a moment so closing does not reset the connection before the reply
  // is read.
  asio::awaitable<void> refuse(tcp::socket& socket, asio::steady_timer& timer, HTTPResponse response) {
    if (!co_await writeAll(socket, timer, response.serialize(), options.idleTimeout)) co_return;
    std::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    char sink[16384];
    std::size_t drained = 0;
    const auto grace = std::min<std::chrono::milliseconds>(options.idleTimeout, std::chrono::milliseconds(500));
    while (drained < (1u << 20)) {
      ReadResult read = co_await readSome(socket, timer, asio::buffer(sink), grace);
      if (read.outcome != ReadOutcome::data) break;
      drained += read.bytes;
    }
  }

  void closeEverything() {
    closing = true;
    closeListener();
    for (tcp::socket* socket : sockets) {
      std::error_code ignored;
      socket->close(ignored);
    }
  }
};

HTTPCompanionServer::HTTPCompanionServer(uint16_t port, Handler handler, Options options)
    : impl_(std::make_shared<Impl>(port, std::move(handler), std::move(options))) {
  // The thread holds the server's state so a reply still on its way never
  // finds it gone; it lets go once its io_context runs out of work.
  impl_->thread = std::thread([self = impl_] { self->run(); });
}

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
  // A handler still running elsewhere will post back here: leave the thread and
  // its io_context to finish it rather than pull them from under it.
  if (done) impl_->thread.join();
  else impl_->thread.detach();
}

void HTTPCompanionServer::start() {
  raiseDescriptorLimit();
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

std::map<std::string, std::string> HTTPCompanionServer::txtRecord(uint16_t port, const AdvertisedPresence& presence) {
  std::map<std::string, std::string> txt = {
      {"version", "0.1.0"},
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
