// Runs on the state thread; the runner's work happens wherever the runner puts
// it and resumes here.
#include "core/RunQueue.hpp"

#include <algorithm>

#include "core/StateThread.hpp"
#include "platform/Async.hpp"
#include "platform/Cancellation.hpp"
#include "providers/StopMessages.hpp"

namespace tavlo {

struct RunQueue::Run {
  explicit Run(const asio::any_io_executor& executor) : reply(executor, 1) {}
  std::string prompt;
  LLMModel model;
  std::uint64_t id = 0;
  std::chrono::system_clock::time_point acceptedAt{};
  std::shared_ptr<Cancellation> cancel = std::make_shared<Cancellation>();
  Reply reply;  // holds the one answer until its request takes it
  bool answered = false;
};

RunQueue::RunQueue(asio::any_io_executor executor, Settings settings, std::function<void()> changed)
    : executor_(std::move(executor)), settings_(std::move(settings)), changed_(std::move(changed)) {}

std::size_t RunQueue::runSlots() const { return std::max<std::size_t>(1, settings_.maxModelRuns); }

void RunQueue::notify() const {
  if (changed_) changed_();
}

void RunQueue::answer(Run& run, ModelAnswer answer) {
  if (run.answered) return;
  run.answered = true;
  run.reply.try_send(std::error_code{}, std::optional<ModelAnswer>(std::move(answer)));
}

std::optional<HTTPResponse> RunQueue::refusal(const LLMModel& model) const {
  if (stopping_) return failedReply(model, kStoppedMessage);
  if (active_.size() >= runSlots() && waiting_.size() >= settings_.maxWaitingRuns) return busyReply(waiting_.size());
  return std::nullopt;
}

asio::awaitable<ModelAnswer> RunQueue::run(std::string prompt, LLMModel model) {
  requireStateThread(executor_, "RunQueue", __func__);
  return receive(enqueue(std::move(prompt), std::move(model)));
}

asio::awaitable<ModelAnswer> RunQueue::receive(std::shared_ptr<Run> run) {
  auto receiving = run->reply.async_receive(asio::use_awaitable);
  std::optional<ModelAnswer> answer = co_await std::move(receiving);
  co_return std::move(*answer);
}

std::shared_ptr<RunQueue::Run> RunQueue::enqueue(std::string prompt, LLMModel model) {
  auto run = std::make_shared<Run>(executor_);
  run->prompt = std::move(prompt);
  run->model = std::move(model);
  run->id = nextID_++;
  run->acceptedAt = settings_.now();
  if (stopping_) {
    answer(*run, fail(kStoppedMessage));
    return run;
  }
  if (active_.size() < runSlots())
    start(run);
  else
    waiting_.push_back(run);
  notify();
  return run;
}

void RunQueue::start(std::shared_ptr<Run> run) {
  active_.push_back(run);
  asio::co_spawn(executor_, drive(std::move(run)), logFailure("model run stopped"));
}

// The run keeps its slot until its runner has returned, also when its request
// was answered before (stopped).
asio::awaitable<void> RunQueue::drive(std::shared_ptr<Run> run) {
  auto self = shared_from_this();
  ModelAnswer answer = fail("no runner");
  if (settings_.runModel) {
    try {
      auto running = settings_.runModel(run->prompt, run->model, run->cancel);
      answer = co_await std::move(running);
    } catch (const std::exception& e) {
      answer = fail(e.what());
    }
  }
  RunQueue::answer(*run, std::move(answer));
  std::erase(active_, run);
  while (!stopping_ && !waiting_.empty() && active_.size() < runSlots()) {
    auto next = std::move(waiting_.front());
    waiting_.pop_front();
    start(std::move(next));
  }
  notify();
}

bool RunQueue::stop(std::uint64_t id) {
  requireStateThread(executor_, "RunQueue", __func__);
  auto matches = [id](const std::shared_ptr<Run>& run) { return run->id == id; };
  if (auto it = std::find_if(waiting_.begin(), waiting_.end(), matches); it != waiting_.end()) {
    auto run = std::move(*it);
    waiting_.erase(it);
    answer(*run, fail(kCancelledMessage));
  } else if (auto active = std::find_if(active_.begin(), active_.end(), matches);
             active != active_.end() && !(*active)->answered) {
    // Answered now, whatever the runner says once its tool is gone.
    answer(**active, fail(kCancelledMessage));
    (*active)->cancel->cancel();
  } else {
    return false;
  }
  notify();
  return true;
}

void RunQueue::stopAll() {
  requireStateThread(executor_, "RunQueue", __func__);
  stopping_ = true;
  auto waiting = std::move(waiting_);
  waiting_.clear();
  for (auto& run : waiting) answer(*run, fail(kStoppedMessage));
  for (auto& run : active_) answer(*run, fail(kStoppedMessage));
  notify();
}

std::vector<RunningRequest> RunQueue::listed() const {
  std::vector<RunningRequest> list;
  // A stopped run keeps its slot until its tool has ended, but its phone has its reply.
  for (const auto& run : active_)
    if (!run->answered) list.push_back({run->id, run->prompt, run->model.id, run->acceptedAt, false, run->cancel});
  for (const auto& run : waiting_) list.push_back({run->id, run->prompt, run->model.id, run->acceptedAt, true});
  return list;
}

}  // namespace tavlo
