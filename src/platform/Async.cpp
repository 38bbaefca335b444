#include "platform/Async.hpp"

namespace tavlo {

asio::thread_pool& workerPool() {
  static asio::thread_pool pool(8);
  return pool;
}

}  // namespace tavlo
