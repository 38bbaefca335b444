#pragma once
// A tiny HTTP/1.1 server on an ephemeral loopback port for tests: records each request and answers with what
// the test's handler returns, one thread per connection so slow and silent answers can be staged side by side.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tavlo::testing {

struct FakeRequest {
  std::string method{}, path{}, body{};
  std::map<std::string, std::string> headers{};  // names lower-cased
};

struct FakeReply {
  int status = 200;
  std::string body{};
  std::chrono::milliseconds delay{0};
  bool hang = false;  // accept, read, never answer
  std::string raw{};  // when set, sent verbatim instead of a built answer, then the connection closes
};

class FakeHttpServer {
 public:
  explicit FakeHttpServer(std::function<FakeReply(const FakeRequest&)> handler) : handler_(std::move(handler)) {
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd_, 256) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      throw std::runtime_error("FakeHttpServer: cannot listen on loopback");
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }
  ~FakeHttpServer() {
    std::unique_lock lock(mutex_);
    stop_ = true;  // from here on the acceptor starts no worker
    for (int c : open_) ::shutdown(c, SHUT_RDWR);
    lock.unlock();
    cv_.notify_all();
    ::shutdown(fd_, SHUT_RDWR);  // wakes accept4
    acceptor_.join();
    ::close(fd_);
    for (auto& w : workers_) w.join();
  }

  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<FakeRequest> requests() { std::lock_guard lock(mutex_); return requests_; }

 private:
  void acceptLoop() {
    for (;;) {
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      std::lock_guard lock(mutex_);
      if (stop_ && c >= 0) ::close(c);
      if (stop_) return;
      if (c < 0) continue;
      open_.push_back(c);
      workers_.emplace_back([this, c] { serve(c); });
    }
  }

  // Reads one request from `c`; bytes past it stay in `data` for the next one.
  static bool readRequest(int c, std::string& data, FakeRequest& req) {
    auto receiveUntil = [&](auto enough) {  // false when the peer ends first
      char buf[65536];
      for (ssize_t n; !enough(); data.append(buf, static_cast<size_t>(n)))
        if ((n = ::recv(c, buf, sizeof buf, 0)) <= 0) return false;
      return true;
    };
    if (!receiveUntil([&] { return data.find("\r\n\r\n") != std::string::npos; })) return false;
    const size_t headEnd = data.find("\r\n\r\n") + 4;
    std::istringstream head(data.substr(0, headEnd - 4));
    std::string line;
    std::getline(head, line);
    std::istringstream(line) >> req.method >> req.path;
    while (std::getline(head, line)) {
      size_t colon = line.find(':'), v = line.find_first_not_of(' ', colon + 1);
      if (colon == std::string::npos || v == std::string::npos) continue;
      std::string name = line.substr(0, colon);
      for (auto& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      req.headers[name] = line.substr(v, line.size() - v - line.ends_with('\r'));
    }
    const size_t length = req.headers.count("content-length") ? std::stoul(req.headers["content-length"]) : 0;
    if (!receiveUntil([&] { return data.size() >= headEnd + length; })) return false;
    req.body = data.substr(headEnd, length);
    data.erase(0, headEnd + length);
    return true;
  }

  void serve(int c) {
    std::string data;
    for (FakeRequest req; readRequest(c, data, req); req = FakeRequest{}) {
      std::unique_lock lock(mutex_);
      requests_.push_back(req);
      lock.unlock();
      FakeReply reply = handler_(req);
      lock.lock();
      if (reply.hang) cv_.wait(lock, [this] { return stop_; });
      if (cv_.wait_for(lock, reply.delay, [this] { return stop_; })) break;
      lock.unlock();
      const std::string bytes = !reply.raw.empty() ? reply.raw
                                : "HTTP/1.1 " + std::to_string(reply.status) + " X\r\nContent-Type: application/json\r\n" +
                                      "Content-Length: " + std::to_string(reply.body.size()) + "\r\n\r\n" + reply.body;
      for (ssize_t off = 0, n; off < std::ssize(bytes); off += n)
        if ((n = ::send(c, bytes.data() + off, bytes.size() - static_cast<size_t>(off), MSG_NOSIGNAL)) <= 0) break;
      if (!reply.raw.empty()) break;
    }
    std::lock_guard lock(mutex_);
    ::close(c);
    std::erase(open_, c);
  }

  std::function<FakeReply(const FakeRequest&)> handler_;
  int fd_ = -1, port_ = 0;
  std::thread acceptor_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::vector<int> open_;
  std::vector<std::thread> workers_;
  std::vector<FakeRequest> requests_;
};

}  // namespace tavlo::testing
