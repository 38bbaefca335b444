#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "http/HTTPCompanionServer.hpp"
#include "platform/Log.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;

// A blocking raw-socket client with bounded waits.
class Client {
 public:
  explicit Client(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return connected_; }
  void send(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void shutdownSend() { ::shutdown(fd_, SHUT_WR); }
  // Closes with a reset instead of a FIN.
  void reset() {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd_);
    fd_ = -1;
  }
  // True when something (bytes or end of stream) arrives within `wait`.
  bool readable(std::chrono::milliseconds wait) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(wait.count())) == 1;
  }
  // Everything until the server closes, or what arrived before `wait` ran out.
  std::string readAll(std::chrono::milliseconds wait = 5000ms) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left <= 0ms || !readable(left)) return out;
      char buf[65536];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        closedByPeer_ = true;
        return out;
      }
      out.append(buf, static_cast<std::size_t>(n));
    }
  }
  bool closedByPeer() const { return closedByPeer_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool closedByPeer_ = false;
};

std::size_t openDescriptors() {
  std::size_t count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
  ::closedir(dir);
  return count;
}

// Records every request and every log line; answers with the request's body.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setLogSink([this](std::string_view line) {
      std::lock_guard lock(mutex_);
      logs_.emplace_back(line);
    });
  }
  void TearDown() override {
    server_.reset();
    setLogSink({});
  }

  HTTPCompanionServer& startServer(HTTPServerOptions options = {}, HTTPCompanionServer::Handler handler = {}) {
    options.advertise = false;
    options.bindAddress = "127.0.0.1";
    if (!handler) {
      handler = [this](HTTPRequest request) -> asio::awaitable<HTTPResponse> {
        {
          std::lock_guard lock(mutex_);
          requests_.push_back(request);
        }
        co_return HTTPResponse::text(request.method + " " + request.path + " [" + request.body + "]");
      };
    }
    server_ = std::make_unique<HTTPCompanionServer>(0, std::move(handler), options);
    server_->start();
    return *server_;
  }
  uint16_t port() const { return server_->boundPort(); }
  std::vector<HTTPRequest> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::vector<std::string> logs() {
    std::lock_guard lock(mutex_);
    return logs_;
  }
  bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds wait = 3000ms) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }
  static std::string bodyOf(const std::string& response) { return response.substr(response.find("\r\n\r\n") + 4); }

  std::mutex mutex_;
  std::vector<HTTPRequest> requests_;
  std::vector<std::string> logs_;
  std::unique_ptr<HTTPCompanionServer> server_;
};

TEST_F(ServerTest, RequestArrivingInManySegments) {
  startServer();
  Client c(port());
  const std::string request = "POST /generate?x=1 HTTP/1.1\r\nContent-Length: 11\r\n\r\nhello world";
  for (char byte : request) {
    c.send(std::string_view(&byte, 1));
    std::this_thread::sleep_for(100us);
  }
  const std::string response = c.readAll();
  EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK\r\n"));
  EXPECT_EQ(bodyOf(response), "POST /generate [hello world]");
  EXPECT_NE(response.find("Connection: close\r\n"), std::string::npos);
  EXPECT_TRUE(c.closedByPeer());
  ASSERT_EQ(requests().size(), 1u);
  EXPECT_EQ(requests()[0].query.at("x"), "1");
}

TEST_F(ServerTest, HeadAndBodyInOneSegmentAndBackToBack) {
  startServer();
  {
    Client c(port());
    c.send("POST /a HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_EQ(bodyOf(c.readAll()), "POST /a [abc]");
  }
  {
    // The second request is body of the first; one reply, then the connection closes.
    Client c(port());
    c.send("GET /one HTTP/1.1\r\n\r\nGET /two HTTP/1.1\r\n\r\n");
    const std::string response = c.readAll();
    EXPECT_EQ(bodyOf(response), "GET /one [GET /two HTTP/1.1\r\n\r\n]");
    EXPECT_TRUE(c.closedByPeer());
  }
  {
    // A negative length waits for nothing.
    Client c(port());
    c.send("POST /n HTTP/1.1\r\nContent-Length: -5\r\n\r\nxy");
    EXPECT_EQ(bodyOf(c.readAll()), "POST /n [xy]");
  }
}

TEST_F(ServerTest, BodyReadsNeverPastTheAnnouncedLength) {
  startServer();
  Client c(port());
  c.send("POST /b HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123");
  EXPECT_FALSE(c.readable(100ms));  // still waiting for 6 bytes
  c.send("456789EXTRA");
  EXPECT_EQ(bodyOf(c.readAll()), "POST /b [0123456789]");
}

TEST_F(ServerTest, PartialBodyThenShutdownIsDispatched) {
  startServer();
  Client c(port());
  c.send("POST /p HTTP/1.1\r\nContent-Length: 10\r\n\r\nabcd");
  EXPECT_FALSE(c.readable(100ms));
  c.shutdownSend();
  EXPECT_EQ(bodyOf(c.readAll()), "POST /p [abcd]");
}

TEST_F(ServerTest, MalformedOrUnfinishedHeadsGetNoReply) {
  startServer();
  for (std::string bytes : {std::string("garbage\r\n\r\n"), std::string("GET / HTTP/1.1\nHost: x\n\n"),
                            std::string("GET /\xff\xfe HTTP/1.1\r\n\r\n"), std::string("\x16\x03\x01\x02\x00", 5)}) {
    Client c(port());
    c.send(bytes);
    EXPECT_FALSE(c.readable(150ms)) << "connection answered or closed early";
    c.shutdownSend();
    EXPECT_EQ(c.readAll(), "");
    EXPECT_TRUE(c.closedByPeer());
  }
  EXPECT_TRUE(requests().empty());
}

TEST_F(ServerTest, HandlerFailureBecomesA500) {
  startServer({}, [](HTTPRequest) -> asio::awaitable<HTTPResponse> {
    throw std::runtime_error("boom");
    co_return HTTPResponse::text("unreachable");
  });
  Client c(port());
  c.send("GET / HTTP/1.1\r\n\r\n");
  const std::string response = c.readAll();
  EXPECT_TRUE(response.starts_with("HTTP/1.1 500 Internal Server Error\r\n"));
  EXPECT_EQ(bodyOf(response), "{\"error\":\"internal error\",\"ok\":false}");
}

TEST_F(ServerTest, HeadAndBodyLimits) {
  HTTPServerOptions options;
  options.maxHeadBytes = 1024;
  options.maxBodyBytes = 100;
  startServer(options);
  {
    Client c(port());
    c.send("GET / HTTP/1.1\r\nX-Big: " + std::string(2000, 'a'));
    EXPECT_EQ(c.readAll(), "");
    EXPECT_TRUE(c.closedByPeer());
  }
  {
    Client c(port());
    c.send("GET / HTTP/1.1\r\nX-Big: " + std::string(2000, 'a') + "\r\n\r\n");
    EXPECT_EQ(c.readAll(), "");
    EXPECT_TRUE(c.closedByPeer());
  }
  {
    Client c(port());
    c.send("POST / HTTP/1.1\r\nContent-Length: 101\r\n\r\n");
    const std::string response = c.readAll();
    EXPECT_TRUE(response.starts_with("HTTP/1.1 413 Payload Too Large\r\n"));
    EXPECT_EQ(bodyOf(response), "{\"error\":\"request body too large\",\"ok\":false}");
    EXPECT_TRUE(c.closedByPeer());
  }
  {
    // Exactly at the limit is fine.
    Client c(port());
    c.send("POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n" + std::string(100, 'b'));
    EXPECT_TRUE(c.readAll().starts_with("HTTP/1.1 200 OK"));
  }
  EXPECT_EQ(requests().size(), 1u);
}

TEST_F(ServerTest, DefaultLimitsAcceptLargeBodiesAndRefuseHuge) {
  startServer();
  {
    Client c(port());
    c.send("POST / HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n");
    EXPECT_TRUE(c.readAll().starts_with("HTTP/1.1 413 "));
  }
  {
    const std::string body(3 << 20, 'z');
    Client c(port());
    std::thread writer([&] { c.send("POST / HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body); });
    const std::string response = c.readAll(10000ms);
    writer.join();
    EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK"));
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].body.size(), body.size());
  }
}

TEST_F(ServerTest, TricklingHeadMeetsItsDeadline) {
  HTTPServerOptions options;
  options.idleTimeout = 1000ms;
  options.headTimeout = 400ms;
  startServer(options);
  Client slow(port());
  const auto begin = std::chrono::steady_clock::now();
  // One byte every 50 ms never trips the idle limit, only the head deadline.
  for (char ch : std::string("GET / HTTP/1.1\r\nX-Slow: aaaaaaaaaaaaaaaaaaaaaaaaaaaaa")) {
    if (slow.readable(0ms)) break;
    slow.send(std::string(1, ch));
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(slow.readAll(2000ms), "");
  EXPECT_TRUE(slow.closedByPeer());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2000ms);
  EXPECT_TRUE(requests().empty());
}

TEST_F(ServerTest, SilentConnectionsAreClosed) {
  HTTPServerOptions options;
  options.idleTimeout = 200ms;
  startServer(options);
  Client silent(port());
  Client partial(port());
  partial.send("GET / HTTP/1.1\r\n");
  Client slowBody(port());
  slowBody.send("POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nab");
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(silent.readAll(3000ms), "");
  EXPECT_EQ(partial.readAll(3000ms), "");
  EXPECT_EQ(slowBody.readAll(3000ms), "");
  EXPECT_TRUE(silent.closedByPeer() && partial.closedByPeer() && slowBody.closedByPeer());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2000ms);
  EXPECT_TRUE(waitFor([&] { return server_->openConnections() == 0; }));
}

TEST_F(ServerTest, ConnectionLimitQueuesTheRest) {
  HTTPServerOptions options;
  options.maxConnections = 2;
  startServer(options);
  auto first = std::make_unique<Client>(port());
  Client second(port());
  ASSERT_TRUE(waitFor([&] { return server_->openConnections() == 2; }));
  Client third(port());  // waits in the backlog
  third.send("GET /third HTTP/1.1\r\n\r\n");
  EXPECT_FALSE(third.readable(200ms));
  first.reset();  // frees a slot
  EXPECT_EQ(bodyOf(third.readAll()), "GET /third []");
}

TEST_F(ServerTest, ReceiveErrorsAreLogged) {
  startServer();
  {
    Client c(port());
    c.send("GET / HTTP/1.1\r\n");
    ASSERT_TRUE(waitFor([&] { return server_->openConnections() == 1; }));
    std::this_thread::sleep_for(20ms);
    c.reset();
  }
  ASSERT_TRUE(waitFor([&] { return logs().size() == 1; }));
  EXPECT_EQ(logs()[0], "Tavlo HTTP receive error: Connection reset by peer");
  {
    Client c(port());
    c.send("POST / HTTP/1.1\r\nContent-Length: 50\r\n\r\nabc");
    std::this_thread::sleep_for(50ms);
    c.reset();
  }
  ASSERT_TRUE(waitFor([&] { return logs().size() == 2; }));
  EXPECT_EQ(logs()[1], "Tavlo HTTP body error: Connection reset by peer");
  EXPECT_TRUE(requests().empty());
}

TEST_F(ServerTest, SlowHandlerNeverHoldsOtherClients) {
  asio::io_context other;  // stands in for the state thread
  auto guard = asio::make_work_guard(other);
  std::thread otherThread([&] { other.run(); });
  asio::steady_timer gate(other, asio::steady_timer::time_point::max());
  std::atomic<int> parked{0};

  startServer({}, [&](HTTPRequest request) -> asio::awaitable<HTTPResponse> {
    if (request.path == "/slow") {
      ++parked;
      co_await asio::post(asio::bind_executor(other, asio::use_awaitable));
      co_await gate.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
    }
    co_return HTTPResponse::text(request.path);
  });

  std::vector<std::unique_ptr<Client>> slow;
  for (int i = 0; i < 8; ++i) {
    slow.push_back(std::make_unique<Client>(port()));
    slow.back()->send("GET /slow HTTP/1.1\r\n\r\n");
  }
  Client slowloris(port());
  slowloris.send("GET /");
  ASSERT_TRUE(waitFor([&] { return parked == 8; }));
  for (int i = 0; i < 20; ++i) {
    const auto begin = std::chrono::steady_clock::now();
    Client c(port());
    c.send("GET /fast HTTP/1.1\r\n\r\n");
    EXPECT_EQ(bodyOf(c.readAll()), "/fast");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 200ms);
    slowloris.send("x");
  }
  asio::post(other, [&] { gate.cancel(); });
  for (auto& c : slow) EXPECT_EQ(bodyOf(c->readAll()), "/slow");
  server_.reset();
  guard.reset();
  otherThread.join();
}

TEST_F(ServerTest, ManyConnectionsLeakNoDescriptors) {
  startServer();
  {  // warm up lazily created descriptors (epoll, timers)
    Client c(port());
    c.send("GET / HTTP/1.1\r\n\r\n");
    c.readAll();
  }
  ASSERT_TRUE(waitFor([&] { return server_->openConnections() == 0; }));
  const std::size_t before = openDescriptors();
  for (int i = 0; i < 10000; ++i) {
    Client c(port());
    switch (i % 4) {
      case 0:
        c.send("GET /x HTTP/1.1\r\n\r\n");
        c.readAll();
        break;
      case 1:
        c.send("GET /x HTTP/1.1\r\n");
        c.reset();
        break;
      case 2:
        c.send("POST /x HTTP/1.1\r\nContent-Length: 9\r\n\r\nab");
        c.shutdownSend();
        c.readAll();
        break;
      default:
        break;  // connect and close
    }
  }
  ASSERT_TRUE(waitFor([&] { return server_->openConnections() == 0; }, 5000ms));
  // The last socket may still be closing on the network thread.
  waitFor([&] { return openDescriptors() == before; }, 2000ms);
  EXPECT_EQ(openDescriptors(), before);
}

TEST_F(ServerTest, TwoThousandPeersAtOnce) {
  startServer();
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 2000; ++i) {
    clients.push_back(std::make_unique<Client>(port()));
    clients.back()->send("GET /c" + std::to_string(i) + " HTTP/1.1\r\n\r\n");
  }
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(bodyOf(clients[i]->readAll()), "GET /c" + std::to_string(i) + " []") << i;
  }
}

TEST_F(ServerTest, StartTwiceReplacesTheListenerAndStopLetsConnectionsFinish) {
  startServer();
  const uint16_t firstPort = port();
  Client accepted(firstPort);
  ASSERT_TRUE(waitFor([&] { return server_->openConnections() == 1; }));
  server_->start();
  const uint16_t secondPort = port();
  EXPECT_FALSE(Client(firstPort).connected());
  Client fresh(secondPort);
  fresh.send("GET /new HTTP/1.1\r\n\r\n");
  EXPECT_EQ(bodyOf(fresh.readAll()), "GET /new []");

  server_->stop();
  EXPECT_FALSE(Client(secondPort).connected());
  accepted.send("GET /old HTTP/1.1\r\n\r\n");
  EXPECT_EQ(bodyOf(accepted.readAll()), "GET /old []");
}

TEST_F(ServerTest, BusyPortIsReportedByStart) {
  startServer();
  HTTPServerOptions options;
  options.advertise = false;
  HTTPCompanionServer second(port(), [](HTTPRequest) -> asio::awaitable<HTTPResponse> { co_return HTTPResponse{}; },
                             options);
  try {
    second.start();
    FAIL() << "start() succeeded on a busy port";
  } catch (const std::system_error& e) {
    EXPECT_STREQ(e.what(), "Address already in use");
  }
  EXPECT_EQ(second.boundPort(), 0);
}

TEST(HTTPServerTXTRecord, KeysFollowWhatIsKnown) {
  AdvertisedPresence presence;
  presence.hostName = "Desk";
  presence.tailscale = TailscaleStatus::stopped();
  EXPECT_EQ(HTTPCompanionServer::txtRecord(18765, presence),
            (std::map<std::string, std::string>{{"hostname", "Desk"}, {"port", "18765"}, {"version", "0.1.0"}}));

  presence.lanIP = "192.168.1.20";
  presence.tailscale = TailscaleStatus::connected("100.64.0.7", std::nullopt);
  auto txt = HTTPCompanionServer::txtRecord(18765, presence);
  EXPECT_EQ(txt.at("lan_ip"), "192.168.1.20");
  EXPECT_EQ(txt.at("tailscale_ip"), "100.64.0.7");
  EXPECT_EQ(txt.at("tailscale_hostname"), "");

  presence.tailscale = TailscaleStatus::connected("100.64.0.7", "desk.tail.ts.net");
  EXPECT_EQ(HTTPCompanionServer::txtRecord(1, presence).at("tailscale_hostname"), "desk.tail.ts.net");
}

}  // namespace
}  // namespace tavlo
