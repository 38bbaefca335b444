// Called from any thread: the shared pool and the store strand are created on first use.
#include "platform/Async.hpp"

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

void drainStoreWrites(std::chrono::milliseconds limit) {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  asio::post(storeStrand(), [done] { done->set_value(); });
  future.wait_for(limit);
}

}  // namespace tavlo
