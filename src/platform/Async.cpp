// Called from any thread: the shared pool and the store strand are created on first use.
#include "platform/Async.hpp"

#include "platform/Log.hpp"

#include <atomic>
#include <future>

namespace tavlo {

// Never destroyed, like the shared HTTP client whose thread posts here: a
// static pool would be torn down at exit while that thread may still be
// inside a post to it. The program ends with _exit, so nothing is lost.
asio::thread_pool& workerPool() {
  static auto* pool = new asio::thread_pool(8);
  return *pool;
}

asio::strand<asio::thread_pool::executor_type>& storeStrand() {
  static auto* strand = new asio::strand<asio::thread_pool::executor_type>(asio::make_strand(workerPool()));
  return *strand;
}

asio::awaitable<void> storeWritesLanded(std::chrono::milliseconds limit) {
  auto timer = std::make_shared<asio::steady_timer>(co_await asio::this_coro::executor, limit);
  auto landed = std::make_shared<std::atomic<bool>>(false);
  asio::post(storeStrand(), [timer, landed, work = asio::make_work_guard(timer->get_executor())] {
    landed->store(true);
    asio::post(work.get_executor(), [timer] { timer->cancel(); });
  });
  std::error_code cancelled;  // the strand got there first: the expected way out
  if (!landed->load()) co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, cancelled));
}

std::function<void(std::exception_ptr)> logFailure(std::string what) {
  return [what = std::move(what)](std::exception_ptr error) {
    if (!error) return;
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      logLine("Tavlo " + what + ": " + e.what());
    }
  };
}

void drainStoreWrites(std::chrono::milliseconds limit) {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  asio::post(storeStrand(), [done] { done->set_value(); });
  future.wait_for(limit);
}

}  // namespace tavlo
