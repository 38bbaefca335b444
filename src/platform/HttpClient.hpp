#pragma once
// A small HTTP client for the loopback calls to the model servers. All
// transfers run on one libcurl multi thread, so many requests can wait on slow
// servers at once without a thread each.
#include <asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tavlo {

class Cancellation;

struct FetchRequest {
  std::string method{"GET"};
  std::string url{};
  std::vector<std::pair<std::string, std::string>> headers{};
  std::string body{};
  std::chrono::milliseconds connectTimeout{0};  // 0: none of our own
  std::chrono::milliseconds totalTimeout{0};    // 0: none
  std::chrono::milliseconds idleTimeout{0};     // 0: none; else no byte for this long ends the transfer
  std::size_t maxBodyBytes = 64u << 20;         // a longer answer is aborted with an error
  // Cancelling it ends the transfer within a tenth of a second, with an error.
  std::shared_ptr<Cancellation> cancel{};
};

struct FetchResponse {
  long status = 0;     // 0 when no HTTP answer arrived
  std::string body{};
  std::string error{};  // transport failure (refused, timed out, too large); empty when an answer arrived

  bool ok() const { return error.empty(); }
};

class HttpClient {
 public:
  HttpClient();
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // The process-wide client; never destroyed, so late callbacks stay safe at exit.
  static HttpClient& shared();

  // `done` is called exactly once, on the client's thread; keep it short.
  void send(FetchRequest request, std::function<void(FetchResponse)> done);

  // Resumes the awaiting coroutine on its own executor.
  asio::awaitable<FetchResponse> send(FetchRequest request);

 private:
  struct Transfer;
  void run();

  void* multi_ = nullptr;
  std::mutex mutex_;
  std::deque<std::unique_ptr<Transfer>> pending_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace tavlo
