#pragma once
// How work waits in this program: coroutines on an Asio executor await the
// operations below and always resume on their own executor. Blocking work goes
// to the worker pool (or a thread of its own); the commands that have no event
// loop run an awaitable to completion on the calling thread.
#include <asio.hpp>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <variant>

namespace tavlo {

// The small pool that runs blocking work (child processes, SQLite writes).
asio::thread_pool& workerPool();

// SQLite writes leave the state thread through this strand, so they keep their order.
asio::strand<asio::thread_pool::executor_type>& storeStrand();

// Waits (at most `limit`) until every store write posted so far has run.
void drainStoreWrites(std::chrono::milliseconds limit);
// The same for a coroutine, which resumes on its own executor.
asio::awaitable<void> storeWritesLanded(std::chrono::milliseconds limit);

// The bridge from another thread (the HTTP client's, the worker pool) into a
// coroutine. `start` receives a copyable `std::function<void(T)>` that must be
// called exactly once, from any thread; the coroutine resumes on its own
// executor, never on the caller's thread.
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

namespace detail {

// A value, or the exception that took its place, carried across threads.
template <class T>
using Outcome = std::variant<std::exception_ptr, T>;

template <class Fn>
Outcome<decltype(std::declval<Fn&>()())> capture(Fn& fn) {
  try {
    return fn();
  } catch (const std::exception&) {
    // Not dropped: rethrown in the awaiting coroutine.
    return std::current_exception();
  }
}

template <class T>
asio::awaitable<T> unwrap(asio::awaitable<Outcome<T>> pending) {
  Outcome<T> outcome = co_await std::move(pending);
  if (outcome.index() == 0) std::rethrow_exception(std::get<0>(outcome));
  co_return std::get<1>(std::move(outcome));
}

// Runs `fn` by way of `launch` (which gets a void() job) and resumes the
// awaiting coroutine with its value; what `fn` throws is rethrown there.
template <class Fn, class Launch>
auto offload(Fn fn, Launch launch) -> asio::awaitable<decltype(fn())> {
  using T = decltype(fn());
  return unwrap<T>(awaitCallback<Outcome<T>>(
      [fn = std::move(fn), launch = std::move(launch)](std::function<void(Outcome<T>)> done) mutable {
        launch([fn = std::move(fn), done = std::move(done)]() mutable { done(capture(fn)); });
      }));
}

template <class T>
asio::awaitable<void> storeInto(asio::awaitable<T> work, std::optional<T>& out) {
  out.emplace(co_await std::move(work));
}

}  // namespace detail

// The completion of a coroutine that nobody awaits (a loop, a connection, a
// run): an exception that ends it (allocation failure and the like) is logged,
// "Tavlo <what>: <its text>", and the program goes on. What is not a
// std::exception cannot happen here and is not hidden: it ends the thread.
std::function<void(std::exception_ptr)> logFailure(std::string what);

// Runs `fn` on the worker pool and resumes the awaiting coroutine with its result.
template <class Fn>
auto runBlocking(Fn fn) -> asio::awaitable<decltype(fn())> {
  return detail::offload(std::move(fn), [](auto job) { asio::post(workerPool(), std::move(job)); });
}

// Runs `fn` on a thread of its own, for work that lasts minutes (a model's
// command-line tool) and must not hold one of the pool's few workers. The
// awaiting coroutine owns the thread and joins it once the value is in (the
// thread is ending by then). Await it on a loop that one thread runs: the
// thread is handed over while the coroutine is suspending.
template <class Fn>
auto runOnOwnThread(Fn fn) -> asio::awaitable<decltype(fn())> {
  std::jthread thread;
  co_return co_await detail::offload(std::move(fn), [&thread](auto job) { thread = std::jthread(std::move(job)); });
}

// Runs the awaitables side by side on a private io_context on the calling
// thread and returns their values once all are done (a tuple for more than
// one): the one way a command without an event loop waits. What one of them
// throws is rethrown here. The context outlives every post to it: each
// operation still pending holds a work guard on it, so run() cannot return before.
template <class... T>
auto runToCompletion(asio::awaitable<T>... work) {
  static_assert(sizeof...(T) > 0);
  std::tuple<std::optional<T>...> values;
  std::exception_ptr failure;
  {
    asio::io_context io;
    std::apply(
        [&](auto&... out) {
          (asio::co_spawn(io, detail::storeInto(std::move(work), out),
                          [&failure](std::exception_ptr e) {
                            if (e && !failure) failure = e;
                          }),
           ...);
        },
        values);
    io.run();
  }
  if (failure) std::rethrow_exception(failure);
  if constexpr (sizeof...(T) == 1) {
    return std::move(*std::get<0>(values));
  } else {
    return std::apply([](auto&... v) { return std::tuple<T...>(std::move(*v)...); }, values);
  }
}

}  // namespace tavlo
