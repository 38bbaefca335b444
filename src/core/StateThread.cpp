// Runs on any thread: it tells whether that is the state thread.
#include "core/StateThread.hpp"

#include <cstdlib>
#include <string>

#include "platform/Log.hpp"

namespace tavlo {
namespace {

template <class Executor>
bool runsOn(const asio::any_io_executor& executor) {
  const auto* known = executor.target<Executor>();
  return known && known->running_in_this_thread();
}

}  // namespace

bool runsHere(const asio::any_io_executor& executor) {
  using Plain = asio::io_context::executor_type;
  using Tracked = decltype(asio::prefer(std::declval<Plain>(), asio::execution::outstanding_work.tracked));
  if (executor.target<Plain>()) return runsOn<Plain>(executor);
  if (executor.target<Tracked>()) return runsOn<Tracked>(executor);
  if (executor.target<asio::strand<Plain>>()) return runsOn<asio::strand<Plain>>(executor);
  return false;
}

void requireStateThread(const asio::any_io_executor& executor, const char* owner, const char* what) {
  if (runsHere(executor)) return;
  logLine(std::string("Tavlo: ") + owner + "::" + what + " called off the state's executor");
  std::abort();
}

}  // namespace tavlo
