#include "platform/Async.hpp"

#include <future>

namespace tavlo {

asio::thread_pool& workerPool() {
  static asio::thread_pool pool(8);
  return pool;
}

asio::strand<asio::thread_pool::executor_type>& storeStrand() {
  static auto strand = asio::make_strand(workerPool());
  return strand;
}

void drainStoreWrites(std::chrono::milliseconds limit) {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  asio::post(storeStrand(), [done] { done->set_value(); });
  future.wait_for(limit);
}

}  // namespace tavlo
