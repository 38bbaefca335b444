// Runs on the state thread; the probes do their work wherever they put it and
// resume here.
#include "core/Refresher.hpp"

#include <asio/experimental/awaitable_operators.hpp>

#include <optional>

#include "core/StateThread.hpp"
#include "platform/Async.hpp"
#include "platform/Log.hpp"

namespace tavlo {

// A round of probes; every refresh that shares it wakes when its timer is cancelled.
struct Refresher::Round {
  explicit Round(const asio::any_io_executor& executor) : done(executor, asio::steady_timer::time_point::max()) {}
  asio::steady_timer done;
  std::optional<ProbeResults> results;
};

namespace {

template <class T>
asio::awaitable<T> guarded(Refresher::Probe<T> probe) {
  T value{};
  if (!probe) co_return value;
  try {
    auto probing = probe();
    value = co_await std::move(probing);
  } catch (const std::exception& e) {
    // Probes map their failures to empty results; an escaped exception does too, and says why.
    logLine(std::string("Tavlo: a probe failed: ") + e.what());
  }
  co_return value;
}

template <class Round>
asio::awaitable<void> runRound(std::shared_ptr<Round> round, Refresher::Probes probes) {
  using namespace asio::experimental::awaitable_operators;
  auto all = guarded(probes.tailscale) && guarded(probes.ollama) && guarded(probes.lmstudio) && guarded(probes.cli);
  auto [tailscale, ollama, lmstudio, cli] = co_await std::move(all);
  round->results = ProbeResults{std::move(tailscale), std::move(ollama), std::move(lmstudio), std::move(cli)};
  round->done.cancel();
}

template <class Round>
asio::awaitable<ProbeResults> resultsOf(std::shared_ptr<Round> round) {
  if (!round->results) {
    std::error_code ended;  // cancelled: the results are in
    auto waiting = round->done.async_wait(asio::redirect_error(asio::use_awaitable, ended));
    co_await std::move(waiting);
  }
  co_return *round->results;
}

asio::awaitable<void> refreshLoop(std::shared_ptr<asio::steady_timer> timer, std::chrono::milliseconds interval,
                                  std::function<asio::awaitable<void>()> refresh) {
  for (;;) {
    timer->expires_after(interval);
    std::error_code stopped;
    auto waiting = timer->async_wait(asio::redirect_error(asio::use_awaitable, stopped));
    co_await std::move(waiting);
    if (stopped) co_return;
    asio::co_spawn(timer->get_executor(), refresh(), logFailure("refresh stopped"));
  }
}

}  // namespace

Refresher::Refresher(asio::any_io_executor executor, Probes probes)
    : executor_(std::move(executor)), probes_(std::move(probes)) {}

asio::awaitable<ProbeResults> Refresher::probeAll() {
  requireStateThread(executor_, "Refresher", __func__);
  if (!round_ || round_->results) {
    round_ = std::make_shared<Round>(executor_);
    asio::co_spawn(executor_, runRound(round_, probes_), logFailure("probe round stopped"));
  }
  return resultsOf(round_);
}

void Refresher::every(std::chrono::milliseconds interval, std::function<asio::awaitable<void>()> refresh) {
  stop();
  timer_ = std::make_shared<asio::steady_timer>(executor_);
  asio::co_spawn(executor_, refreshLoop(timer_, interval, std::move(refresh)), logFailure("refresh loop stopped"));
}

// The last owner may let go on any thread once the state's loop has stopped.
void Refresher::stop() {
  if (!timer_) return;
  timer_->cancel();
  timer_.reset();
}

}  // namespace tavlo
