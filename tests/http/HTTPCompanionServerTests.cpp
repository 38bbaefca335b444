#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <ctime>
#include <deque>

#include "http/HTTPCompanionServer.hpp"
#include "support/TestSupport.hpp"

namespace tavlo {
namespace {

using testing::waitUntil;

// A blocking client with bounded waits.
class Client {
 public:
  explicit Client(uint16_t port, const char* to = "127.0.0.1") : socket_(context()) {
    socket_.connect({asio::ip::make_address(to), port}, ignored_);
    connected = !ignored_;
  }

  // Blocks until everything is sent, or until the server closes or resets the connection.
  void send(std::string_view bytes) { asio::write(socket_, asio::buffer(bytes), ignored_); }
  void shutdownSend() { socket_.shutdown(asio::socket_base::shutdown_send, ignored_); }
  void reset() {  // closes with RST instead of FIN
    socket_.set_option(asio::socket_base::linger(true, 0), ignored_);
    socket_.close(ignored_);
  }
  bool readable(std::chrono::milliseconds wait) {
    pollfd p{socket_.native_handle(), POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(wait.count())) == 1;
  }
  // Everything until the server closes, or until nothing arrives for `wait`.
  std::string readAll(std::chrono::milliseconds wait = 5000ms) {
    std::string out;
    char buf[65536];
    while (readable(wait)) {
      const std::size_t n = socket_.read_some(asio::buffer(buf), ignored_);
      if (ignored_) return closedByPeer = true, out;
      out.append(buf, n);
    }
    return out;
  }
  bool connected = false, closedByPeer = false;

 private:
  // Only owns the sockets: every call here blocks.
  static asio::io_context& context() { static asio::io_context shared; return shared; }
  asio::ip::tcp::socket socket_;
  asio::error_code ignored_;
};

auto openDescriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }
std::string bodyOf(const std::string& response) {
  const std::size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? "" : response.substr(at + 4);
}
// The reply body to a GET of `path` on a fresh connection.
std::string get(uint16_t port, const std::string& path, const char* to = "127.0.0.1") {
  Client c(port, to);
  c.send("GET " + path + " HTTP/1.1\r\n\r\n");
  return bodyOf(c.readAll());
}

// Counts handled requests and records log lines. The default handler echoes method, path, query and
// body; "/size" answers with the body's length and "/throw" fails.
class ServerTest : public ::testing::Test {
 protected:
  void TearDown() override { server_.reset(), other_.join(); }
  void startServer(HTTPServerOptions options = {}, HTTPCompanionServer::Handler handler = {}) {
    options.advertise = false;
    if (options.bindAddress.empty()) options.bindAddress = "127.0.0.1";
    if (!handler) handler = [this](HTTPRequest r) -> asio::awaitable<HTTPResponse> {
      ++handled_;
      if (r.path == "/throw") throw std::runtime_error("boom");
      if (r.path == "/size") co_return HTTPResponse::text(std::to_string(r.body.size()));
      for (const auto& [key, value] : r.query) r.path += "?" + key + "=" + value;
      co_return HTTPResponse::text(r.method + " " + r.path + " [" + r.body + "]");
    };
    server_ = std::make_unique<HTTPCompanionServer>(0, std::move(handler), options);
    ASSERT_TRUE(server_->start().ok());
  }
  // Parks each "/park" request on another thread (standing in for the state thread) until the gate
  // opens; answers every request with its path.
  HTTPCompanionServer::Handler parking() {
    return [this](HTTPRequest r) -> asio::awaitable<HTTPResponse> {
      if (r.path == "/park") {
        ++parked_;
        co_await asio::post(asio::bind_executor(other_, asio::use_awaitable));
        co_await gate_.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
      }
      co_return HTTPResponse::text(r.path);
    };
  }
  void openGate() { asio::post(other_, [this] { gate_.cancel(); }); }
  uint16_t port() const { return server_->boundPort(); }

  testing::LogCapture log_;
  std::atomic<int> handled_{0};
  asio::thread_pool other_{1};
  asio::steady_timer gate_{other_, asio::steady_timer::time_point::max()};
  std::atomic<int> parked_{0};
  std::unique_ptr<HTTPCompanionServer> server_;
};

// Each case: the parts sent (nothing may arrive in a pause before the last one), whether the client then half-closes,
// and the reply as "status\nbody" ("" for none: closed at once unless the client half-closes). The server closes.
TEST_F(ServerTest, FramingLimitsAndHostileHeads) {
  struct Case { std::vector<std::string> parts; bool shutdown; std::string reply; };
  const std::string chunked = "POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string bigHead = "GET / HTTP/1.1\r\nX-Big: " + std::string(70000, 'a');  // over 64 KiB
  const std::string tooLarge = "413 Payload Too Large\n{\"error\":\"request body too large\",\"ok\":false}";
  const std::string get = "GET / HTTP/1.1\r\n", twoHosts = "400 Bad Request\n{\"error\":\"more than one Host header\",\"ok\":false}";
  std::vector<std::string> bytewise;  // a request arriving in many segments
  for (char ch : std::string_view("POST /c?x=1 HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nb\r\nhello world\r\n0\r\n\r\n"))
    bytewise.push_back({ch});
  const Case cases[] = {
      {bytewise, false, "200 OK\nPOST /c?x=1 [hello world]"},
      // The body is exactly Content-Length bytes, however the segments fall.
      {{"GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n"}, false, "200 OK\nGET /1 []"},
      {{"POST /b HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123", "456789EXTRA"}, false, "200 OK\nPOST /b [0123456789]"},
      {{"POST /n HTTP/1.1\r\nContent-Length: -5\r\n\r\nxy"}, false, "200 OK\nPOST /n [xy]"},  // waits for nothing
      {{"POST /p HTTP/1.1\r\nContent-Length: 10\r\n\r\nabcd"}, true, "200 OK\nPOST /p [abcd]"},  // partial, then FIN
      {{chunked + "5\r\nhello\r\n6;x=y\r\n world\r\n0\r\n\r\nSTRAY"}, false, "200 OK\nPOST /c [hello world]"},
      {{"POST /c HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: Chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n"}, false,
       "200 OK\nPOST /c [ab]"},
      {{chunked + "5\r\nhel"}, true, "200 OK\nPOST /c [hel]"},  // partial, then FIN
      {{chunked + "zz\r\n"}, false, "400 Bad Request\n{\"error\":\"malformed chunked body\",\"ok\":false}"},
      {{chunked + "1000001\r\n"}, false, tooLarge},  // 16 MiB + 1
      {{"POST /g HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"}, false,
       "501 Not Implemented\n{\"error\":\"transfer coding not supported\",\"ok\":false}"},
      {{"GET /throw HTTP/1.1\r\n\r\n"}, false, "500 Internal Server Error\n{\"error\":\"internal error\",\"ok\":false}"},
      {{"POST / HTTP/1.1\r\nContent-Length: 16777217\r\n\r\n"}, false, tooLarge},
      // A client that uploads its whole body before reading still reads the early 413.
      {{"POST / HTTP/1.1\r\nContent-Length: 17825792\r\n\r\n" + std::string(17 << 20, 'u')}, false, tooLarge},
      {{"POST /size HTTP/1.1\r\nContent-Length: 16777216\r\n\r\n" + std::string(16 << 20, 'z')}, false,
       "200 OK\n16777216"},  // exactly at the limit
      {{bigHead}, false, ""},
      {{"THIS IS NOT HTTP\xff\r\n\r\n"}, false, ""},  // complete but unparsable: closed at once
      {{"GET / HTTP/1.1\nHost: x\n\n"}, true, ""},  // never complete: read until the peer ends
      // More than one Host line, however spelled, is refused before the handler; a single one is served.
      {{get + "Host: 127.0.0.1\r\nX-Other: 1\r\nHOST :  127.0.0.1 \r\n\r\n"}, false, twoHosts},
      {{get + "host: a\r\nContent-Length: 3\r\nHost: b\r\n\r\nabc"}, false, twoHosts},
      {{get + "Host:   a  \r\nX-Forwarded-Host: b\r\nhost-name: c\r\n\r\n"}, false, "200 OK\nGET / []"},
  };
  startServer();
  for (const Case& k : cases) {
    SCOPED_TRACE(k.parts[0].substr(0, 40));
    Client c(port());
    for (std::size_t i = 0; i < k.parts.size(); ++i) {
      EXPECT_FALSE(i > 0 && i + 1 == k.parts.size() && c.readable(100ms)) << "answered before the end";
      c.send(k.parts[i]);
      std::this_thread::sleep_for(100us);
    }
    if (k.shutdown) {
      EXPECT_FALSE(c.readable(150ms)) << "answered or closed early";
      c.shutdownSend();
    }
    const std::string response = c.readAll();
    EXPECT_EQ(response.empty() ? "" : response.substr(9, response.find("\r\n") - 9) + "\n" + bodyOf(response), k.reply);
    EXPECT_TRUE(c.closedByPeer);
  }
  EXPECT_EQ(handled_, 11);
}

TEST_F(ServerTest, IdleAndTricklingConnectionsAreClosed) {
  HTTPServerOptions options{.idleTimeout = 200ms, .deferAccept = 0s, .bindAddress = "127.0.0.1"};  // accepts silent peers
  startServer(options);
  Client silent(port()), partial(port()), slowBody(port());
  partial.send("GET / HTTP/1.1\r\n");
  slowBody.send("POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nab");
  ASSERT_TRUE(waitUntil([&] { return server_->openConnections() == 3; }));
  std::atomic<bool> drained = false;  // a stopping companion waits for this, not for a count
  server_->whenDrained([&] { drained = true; });
  EXPECT_FALSE(drained);
  for (Client* c : {&silent, &partial, &slowBody}) EXPECT_TRUE(c->readAll(3000ms).empty() && c->closedByPeer);
  EXPECT_TRUE(waitUntil([&] { return drained.load(); }));

  // A piece every 50 ms never trips the idle limit, only the head or body deadline, long before the
  // trickle would end; the body's deadline grows with the size it announces (here 1 s per 100 bytes).
  options.idleTimeout = 2000ms, options.headTimeout = options.bodyTimeout = 400ms, options.bodyBlockBytes = 100;
  startServer(options);
  const std::tuple<std::string, std::string, std::size_t> trickles[] = {
      {"", "GET / HTTP/1.1\r\nX-Slow: " + std::string(40, 'a'), 1},
      {"POST /late HTTP/1.1\r\nContent-Length: 150\r\n\r\n", std::string(150, 'b'), 1},
      {"POST /late HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n96\r\n", std::string(150, 'c'), 1},
      {"POST /fits HTTP/1.1\r\nContent-Length: 250\r\n\r\n", std::string(250, 'd'), 25},  // 2.4 s allowed
  };
  for (const auto& [head, trickle, step] : trickles) {
    SCOPED_TRACE(head + trickle.substr(0, 20));
    Client c(port());
    c.send(head);
    std::size_t sent = 0;
    for (; sent < trickle.size() && !c.readable(0ms); sent += step) {
      c.send(trickle.substr(sent, step));
      std::this_thread::sleep_for(50ms);
    }
    const bool fits = head.starts_with("POST /fits");
    EXPECT_EQ(sent < trickle.size(), !fits);  // the idle limit alone would have waited for the end
    const std::string reply = c.readAll(3000ms);
    EXPECT_EQ(reply.empty() ? "" : bodyOf(reply), fits ? "POST /fits [" + trickle + "]" : "");
    EXPECT_TRUE(c.closedByPeer);
  }
  EXPECT_EQ(handled_, 1);
}

// Past the cap (loopback counts towards it) the newest is closed at once; a newcomer takes the place of
// the oldest peer still sending its request once that one is past half the head deadline, never of a
// request in the handler. stop() closes the listener, yet accepted connections are still served.
TEST_F(ServerTest, ConnectionCapClosesTheNewestOrTheOldestSlowOne) {
  startServer({.headTimeout = 2000ms, .maxConnections = 6, .deferAccept = 0s, .bindAddress = "127.0.0.1"}, parking());
  const uint16_t listening = port();
  std::deque<Client> held;
  held.emplace_back(listening).send("GET /park HTTP/1.1\r\n\r\n");  // the oldest, in the handler
  ASSERT_TRUE(waitUntil([&] { return server_->openConnections() == 1; }));
  for (int i = 0; i < 5; ++i) held.emplace_back(listening).send("GET /slow HTTP/1.1\r\n");
  ASSERT_TRUE(waitUntil([&] { return server_->openConnections() == 6; }));
  const auto full = std::chrono::steady_clock::now();
  for (int i = 0; i < 10; ++i) {
    Client late(listening);
    late.send("GET /late HTTP/1.1\r\n");
    EXPECT_TRUE(late.readable(500ms)) << "not closed at once";
  }
  EXPECT_EQ(get(listening, "/health"), "");  // nobody is past half the head deadline yet
  std::this_thread::sleep_until(full + 1100ms);
  EXPECT_EQ(get(listening, "/health"), "/health");
  for (std::size_t i = 0; i < held.size(); ++i) EXPECT_EQ(held[i].readable(0ms), i == 1) << i;

  server_->stop();
  EXPECT_FALSE(Client(listening).connected);
  held[2].send("\r\n");
  EXPECT_EQ(bodyOf(held[2].readAll()), "/slow");
  openGate();
  EXPECT_EQ(bodyOf(held[0].readAll()), "/park");
}

// Out of descriptors, a waiting peer is accepted with the spare one and closed, not left in the backlog.
TEST_F(ServerTest, OutOfDescriptorsAPeerIsClosedNotLeftWaiting) {
  startServer({.deferAccept = 0s, .bindAddress = "127.0.0.1"});
  get(port(), "/");  // the clients' shared io_context takes its descriptors now
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 512;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> filler;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
  ::close(filler.back()), filler.pop_back();  // room for the client's socket alone
  Client waiting(port());
  const bool closed = waiting.readable(2000ms);
  // Nobody waits now, yet accept4 still says EMFILE: the loop must wait, not spin (nor shed later peers).
  const std::clock_t before = std::clock();  // the process's CPU time
  std::this_thread::sleep_for(300ms);
  const auto spentMs = (std::clock() - before) * 1000 / CLOCKS_PER_SEC;
  for (int fd : filler) ::close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_TRUE(waiting.connected);
  EXPECT_TRUE(closed);
  EXPECT_LT(spentMs, 150);
  EXPECT_EQ(get(port(), "/after"), "GET /after []");
}

// A peer that resets mid-request is logged; "Expect: 100-continue" is answered before the body arrives.
TEST_F(ServerTest, ReceiveErrorsAndExpectContinue) {
  startServer();
  Client head(port()), body(port());
  head.send("GET / HTTP/1.1\r\n");
  body.send("POST / HTTP/1.1\r\nContent-Length: 50\r\n\r\nabc");
  ASSERT_TRUE(waitUntil([&] { return server_->openConnections() == 2; }));
  std::this_thread::sleep_for(50ms);
  head.reset(), body.reset();
  ASSERT_TRUE(waitUntil([&] { return log_.lines().size() == 2; }));
  EXPECT_THAT(log_.lines(), ::testing::UnorderedElementsAre("Tavlo HTTP body error: Connection reset by peer",
                                                      "Tavlo HTTP receive error: Connection reset by peer"));

  Client c(port());
  c.send("POST /generate HTTP/1.1\r\nExpect: 100-Continue\r\nContent-Length: 5\r\n\r\n");
  EXPECT_EQ(c.readAll(300ms), "HTTP/1.1 100 Continue\r\n\r\n");  // what arrived before the body was sent
  c.send("hello");
  EXPECT_EQ(bodyOf(c.readAll()), "POST /generate [hello]");
  EXPECT_EQ(handled_, 1);
}

// A handler still parked when the server goes: the destructor waits a second, then leaves the network thread
// to take its late reply, for joinLingering to join. (A parked handler holds nobody else: the cap test.)
TEST_F(ServerTest, DestructorGivesUpOnAParkedHandler) {
  startServer({}, parking());
  Client parked(port());
  parked.send("GET /park HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(waitUntil([&] { return parked_ == 1; }));
  asio::steady_timer release(other_, 3s);
  release.async_wait([&](std::error_code) { gate_.cancel(); });
  const auto begin = std::chrono::steady_clock::now();
  server_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2500ms);
  EXPECT_FALSE(HTTPCompanionServer::joinLingering(0ms));  // still parked: its thread waits
  EXPECT_TRUE(HTTPCompanionServer::joinLingering(5s));    // released at 3 s: joined
  other_.join();
}

TEST_F(ServerTest, ManyConnectionsLeakNoDescriptors) {
  startServer();
  get(port(), "/");  // warms up lazily created descriptors (epoll, timers)
  ASSERT_TRUE(waitUntil([&] { return server_->openConnections() == 0; }));
  std::this_thread::sleep_for(100ms);  // the warm-up socket may still be closing
  const auto before = openDescriptors();
  for (int i = 0; i < 10000; ++i) {
    Client c(port());
    if (i % 4 == 0) c.send("GET /x HTTP/1.1\r\n\r\n"), c.readAll();
    if (i % 4 == 1) c.send("GET /x HTTP/1.1\r\n"), c.reset();
    if (i % 4 == 2) c.send("POST /x HTTP/1.1\r\nContent-Length: 9\r\n\r\nab"), c.shutdownSend(), c.readAll();
    // i % 4 == 3: connect and close
  }
  waitUntil([&] { return server_->openConnections() == 0 && openDescriptors() == before; });  // closing takes a moment
  EXPECT_EQ(openDescriptors(), before);
}

// By default one socket serves IPv6 and IPv4 peers, and the handler sees an IPv4 peer as IPv4, not
// IPv4-mapped. (A literal binds that address only: the end-to-end --listen test.)
TEST(HTTPServerListener, DualStackByDefault) {
  HTTPCompanionServer server(
      0, [](HTTPRequest r) -> asio::awaitable<HTTPResponse> { co_return HTTPResponse::text(r.peerAddress); },
      {.bindAddress = "", .advertise = false});
  ASSERT_TRUE(server.start().ok());
  for (const char* to : {"127.0.0.1", "::1"}) EXPECT_EQ(get(server.boundPort(), "/", to), to);
}

// Keys for what is not known are left out (the end-to-end test reads a full record through Avahi).
TEST(HTTPServerTXTRecord, KeysFollowWhatIsKnown) {
  EXPECT_EQ(HTTPCompanionServer::txtRecord(18765, {"Desk", std::nullopt, TailscaleStatus::stopped()}),
            (std::map<std::string, std::string>{{"hostname", "Desk"}, {"port", "18765"}, {"version", "0.1.0"}}));
}

}  // namespace
}  // namespace tavlo
