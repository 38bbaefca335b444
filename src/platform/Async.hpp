#pragma once
// Bridges between blocking or callback-style work and Asio coroutines.
#include <asio.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <utility>

namespace tavlo {

// The small pool that runs blocking work (child processes, SQLite writes).
asio::thread_pool& workerPool();

// SQLite writes leave the state thread through this strand, so they keep their order.
asio::strand<asio::thread_pool::executor_type>& storeStrand();

// Waits (at most `limit`) until every store write posted so far has run.
void drainStoreWrites(std::chrono::milliseconds limit);

// Turns a callback-style operation into an awaitable. `start` receives a
// copyable `std::function<void(T)>` that must be called exactly once, from any
// thread; the coroutine resumes on its own executor, never on the caller's thread.
//
// The thread that calls back holds a work guard on that executor until its
// post has returned: Asio wakes the context's thread after releasing its lock,
// so without the guard the owner's run() could return and the io_context die
// while the poster is still signalling it.
template <class T, class Start>
asio::awaitable<T> awaitCallback(Start start) {
  // g++ 12 can destroy the initiation object of a use_awaitable operation
  // twice; keep it trivially destructible (a raw pointer, freed once here).
  auto* owned = new Start(std::move(start));
  return asio::async_initiate<const asio::use_awaitable_t<>&, void(T)>(
      [owned](auto handler) {
        std::unique_ptr<Start> start(owned);
        using Handler = decltype(handler);
        auto ex = asio::get_associated_executor(handler);
        using Work = decltype(asio::make_work_guard(ex));
        // The handler is touched only on the owner's thread, the guard only by the caller back.
        struct Pending {
          Handler handler;
          Work work;
        };
        auto pending = std::make_shared<Pending>(Pending{std::move(handler), asio::make_work_guard(ex)});
        (*start)(std::function<void(T)>([pending](T value) {
          Work work = std::move(pending->work);
          asio::post(work.get_executor(), [pending, value = std::move(value)]() mutable {
            std::move(pending->handler)(std::move(value));
          });
        }));
      },
      asio::use_awaitable);
}

// Runs `fn` on the worker pool and resumes the awaiting coroutine with its result.
template <class Fn>
auto runBlocking(Fn fn) -> asio::awaitable<decltype(fn())> {
  using T = decltype(fn());
  return awaitCallback<T>([fn = std::move(fn)](std::function<void(T)> done) mutable {
    asio::post(workerPool(), [fn = std::move(fn), done = std::move(done)]() mutable { done(fn()); });
  });
}

}  // namespace tavlo
