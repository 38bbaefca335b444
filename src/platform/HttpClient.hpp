#pragma once
// A small HTTP client for the calls to the model servers. All
// transfers run on one libcurl multi thread, so many requests can wait on slow
// servers at once without a thread each. Called from any thread; the awaiting
// coroutine resumes on its own executor.
#include <asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Result.hpp"

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

// An HTTP answer, whatever its status.
struct FetchResponse {
  long status = 0;
  std::string body{};
};

class HttpClient {
 public:
  HttpClient();
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // The process-wide client; never destroyed, so late callbacks stay safe at exit.
  static HttpClient& shared();

  // The answer, or an error when none arrived: refused, timed out, too
  // large, cancelled, the client shutting down (the message says which).
  asio::awaitable<Result<FetchResponse>> send(FetchRequest request);

 private:
  struct Transfer;
  using Active = std::list<std::unique_ptr<Transfer>>;
  void queue(std::unique_ptr<Transfer> transfer);
  void run();
  bool admitQueued(Active& active);
  void collectFinished(Active& active);
  void endStalledOrCancelled(Active& active);
  void finish(Active& active, Active::iterator it);

  void* multi_ = nullptr;
  std::mutex mutex_;
  std::deque<std::unique_ptr<Transfer>> pending_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace tavlo
