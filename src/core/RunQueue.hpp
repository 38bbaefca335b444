#pragma once
// The model runs of generate requests. Runs on the state thread (its owner's
// executor): at most maxModelRuns run at once, later ones wait in order, at
// most maxWaitingRuns of them. Each request awaits its own one-shot reply
// channel; the panel's Stop and the companion's stop answer through it at once.
#include <asio.hpp>
#include <asio/experimental/channel.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Generate.hpp"
#include "http/HTTPResponse.hpp"
#include "providers/LLMModel.hpp"

namespace tavlo {

class Cancellation;

// A generate request whose model run has not ended, as the panel shows it.
struct RunningRequest {
  std::uint64_t id = 0;  // for stopRequest
  std::string prompt;
  std::string modelID;
  std::chrono::system_clock::time_point startedAt;  // when it was accepted
  bool waiting = false;                             // queued behind other runs
  // Where the run leaves its last words while it works (read with lastWords(),
  // from any thread); may be null.
  std::shared_ptr<const Cancellation> progress{};
  bool operator==(const RunningRequest&) const = default;
};

class RunQueue : public std::enable_shared_from_this<RunQueue> {
 public:
  // Cancelling `cancel` ends the run early (the panel's "Stop").
  using RunModel = std::function<asio::awaitable<ModelAnswer>(std::string prompt, LLMModel model,
                                                              std::shared_ptr<Cancellation> cancel)>;
  struct Settings {
    RunModel runModel;
    std::size_t maxModelRuns = 2;
    std::size_t maxWaitingRuns = 16;
    std::function<std::chrono::system_clock::time_point()> now;
  };

  // `changed` is told after every change of the list (on the state thread).
  RunQueue(asio::any_io_executor executor, Settings settings, std::function<void()> changed);
  // The owner goes: runs that end later tell nobody.
  void forgetOwner() { changed_ = nullptr; }

  // Why a request cannot be let in now (the companion stops, or every slot and
  // every waiting place is taken); none when it can.
  std::optional<HTTPResponse> refusal(const LLMModel& model) const;
  // The model's answer, or the stopped reply's message. Not a coroutine: see Generate.cpp's writeOnWorkerPool.
  asio::awaitable<ModelAnswer> run(std::string prompt, LLMModel model);
  // Answers a waiting or running request with "stopped on the computer" and
  // cancels its tool (its slot is free once the tool has ended). Unknown ids
  // are ignored; false then.
  bool stop(std::uint64_t id);
  // The companion stops: every request waiting or running is answered with
  // the stopped reply, later ones at once, and no waiting run starts.
  void stopAll();
  // Running ones first, then the waiting ones in order.
  std::vector<RunningRequest> listed() const;

 private:
  struct Run;
  // Optional: a channel default-constructs its value when it is closed or cancelled.
  using Reply = asio::experimental::channel<void(std::error_code, std::optional<ModelAnswer>)>;
  static asio::awaitable<ModelAnswer> receive(std::shared_ptr<Run> run);
  std::shared_ptr<Run> enqueue(std::string prompt, LLMModel model);
  void start(std::shared_ptr<Run> run);
  asio::awaitable<void> drive(std::shared_ptr<Run> run);
  static void answer(Run& run, ModelAnswer answer);
  std::size_t runSlots() const;
  void notify() const;

  asio::any_io_executor executor_;
  Settings settings_;
  std::function<void()> changed_;
  std::deque<std::shared_ptr<Run>> waiting_;
  std::vector<std::shared_ptr<Run>> active_;
  bool stopping_ = false;
  std::uint64_t nextID_ = 1;
};

}  // namespace tavlo
