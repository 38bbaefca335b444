#pragma once
// A tiny HTTP/1.1 server on an ephemeral loopback port for tests: records each
// request and answers with what the test's handler returns, one thread per
// connection so slow and silent answers can be staged side by side.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
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
  std::string contentType = "application/json";
  std::chrono::milliseconds delay{0};
  bool hang = false;  // accept, read, never answer
  std::string raw{};  // when set, sent verbatim instead of a built answer
};

class FakeHttpServer {
 public:
  explicit FakeHttpServer(std::function<FakeReply(const FakeRequest&)> handler, int port = 0)
      : handler_(std::move(handler)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 256) != 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
  }

  ~FakeHttpServer() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    if (fd_ >= 0) ::close(fd_);
    std::vector<std::thread> workers;
    {
      std::lock_guard lock(mutex_);
      for (int c : open_) ::shutdown(c, SHUT_RDWR);
      workers.swap(workers_);
    }
    for (auto& w : workers) w.join();
  }

  bool listening() const { return fd_ >= 0; }
  int port() const { return port_; }
  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<FakeRequest> requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  void acceptLoop() {
    for (;;) {
      int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) {
        std::lock_guard lock(mutex_);
        if (stop_) return;
        continue;
      }
      std::lock_guard lock(mutex_);
      if (stop_) {
        ::close(c);
        return;
      }
      open_.push_back(c);
      workers_.emplace_back([this, c] { serve(c); });
    }
  }

  static bool readRequest(int c, FakeRequest& req) {
    std::string data;
    char buf[65536];
    size_t headEnd;
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
      ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) return false;
      data.append(buf, static_cast<size_t>(n));
    }
    std::string head = data.substr(0, headEnd);
    size_t lineEnd = head.find("\r\n");
    std::string first = head.substr(0, lineEnd);
    size_t sp1 = first.find(' '), sp2 = first.rfind(' ');
    req.method = first.substr(0, sp1);
    req.path = first.substr(sp1 + 1, sp2 - sp1 - 1);
    size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
      size_t end = head.find("\r\n", pos);
      if (end == std::string::npos) end = head.size();
      std::string line = head.substr(pos, end - pos);
      size_t colon = line.find(':');
      if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (auto& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        size_t v = line.find_first_not_of(' ', colon + 1);
        req.headers[name] = v == std::string::npos ? "" : line.substr(v);
      }
      pos = end + 2;
    }
    size_t length = req.headers.count("content-length") ? std::stoul(req.headers["content-length"]) : 0;
    req.body = data.substr(headEnd + 4);
    while (req.body.size() < length) {
      ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) return false;
      req.body.append(buf, static_cast<size_t>(n));
    }
    return true;
  }

  static void sendAll(int c, const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
      ssize_t n = ::send(c, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return;
      off += static_cast<size_t>(n);
    }
  }

  void serve(int c) {
    FakeRequest req;
    while (readRequest(c, req)) {
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(req);
      }
      FakeReply reply = handler_(req);
      if (reply.hang || reply.delay.count() > 0) {
        std::unique_lock lock(mutex_);
        if (reply.hang)
          cv_.wait(lock, [this] { return stop_; });
        else
          cv_.wait_for(lock, reply.delay, [this] { return stop_; });
        if (stop_) break;
      }
      if (!reply.raw.empty()) {
        sendAll(c, reply.raw);
        break;
      }
      sendAll(c, "HTTP/1.1 " + std::to_string(reply.status) + " X\r\nContent-Type: " + reply.contentType +
                     "\r\nContent-Length: " + std::to_string(reply.body.size()) + "\r\n\r\n" + reply.body);
      req = FakeRequest{};
    }
    std::lock_guard lock(mutex_);
    ::close(c);
    std::erase(open_, c);
  }

  std::function<FakeReply(const FakeRequest&)> handler_;
  int fd_ = -1;
  int port_ = 0;
  std::thread acceptor_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  std::vector<int> open_;
  std::vector<std::thread> workers_;
  std::vector<FakeRequest> requests_;
};

}  // namespace tavlo::testing
