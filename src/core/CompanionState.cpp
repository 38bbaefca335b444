// Runs on the state thread, except handleOnNetwork (the network thread) and
// the store writes posted to the store strand. A POST /generate crosses
// threads only where it must: network → state (routing, the queue), state →
// the runner's thread and back (the model), state → worker pool and back
// (writing the pack), state → network (the reply).
#include "core/CompanionState.hpp"

#include <algorithm>
#include <cstdlib>

#include "core/RequestPolicy.hpp"
#include "pairing/PairingStore.hpp"
#include "platform/Async.hpp"
#include "platform/Cancellation.hpp"
#include "platform/HostName.hpp"
#include "platform/KvStore.hpp"
#include "platform/Log.hpp"
#include "providers/StopMessages.hpp"

namespace tavlo {
namespace {

constexpr const char* kTailscaleDownload = "https://tailscale.com/download/linux";
constexpr const char* kTailscaleAdmin = "https://login.tailscale.com/admin/machines";
constexpr const char* kOllamaDownload = "https://ollama.com/download/linux";
constexpr const char* kTavloSite = "https://tavlo.app";

// Whether the calling thread runs `executor` now. An executor of a kind not
// known here cannot say, and fails: the check must never wave a caller through.
template <class Executor>
bool runsOn(const asio::any_io_executor& executor) {
  const auto* known = executor.target<Executor>();
  return known && known->running_in_this_thread();
}
bool runsHere(const asio::any_io_executor& executor) {
  using Plain = asio::io_context::executor_type;
  using Tracked = decltype(asio::prefer(std::declval<Plain>(), asio::execution::outstanding_work.tracked));
  if (executor.target<Plain>()) return runsOn<Plain>(executor);
  if (executor.target<Tracked>()) return runsOn<Tracked>(executor);
  if (executor.target<asio::strand<Plain>>()) return runsOn<asio::strand<Plain>>(executor);
  return false;
}

asio::awaitable<HTTPResponse> handleOnState(std::weak_ptr<CompanionState> weak, HTTPRequest request) {
  auto self = weak.lock();
  if (!self) co_return HTTPResponse::notFound();
  co_return co_await self->route(std::move(request));
}

// On the network thread: a status request is answered without waking the state
// thread (no hop, no wake-up system calls per connection).
asio::awaitable<HTTPResponse> handleOnNetwork(std::weak_ptr<CompanionState> weak, asio::any_io_executor state,
                                              std::shared_ptr<RequestPolicy> policy,
                                              std::shared_ptr<const CompanionState::HealthBoard> health,
                                              HTTPRequest request) {
  std::optional<HTTPResponse> refused = policy->check(request);
  if (refused) co_return std::move(*refused);
  const bool status = request.method == "GET" && (request.path == "/" || request.path == "/health");
  std::shared_ptr<const HTTPResponse> published = status ? health->current() : nullptr;
  if (published) co_return *published;
  co_return co_await asio::co_spawn(state, handleOnState(std::move(weak), std::move(request)), asio::use_awaitable);
}

RequestPolicy::Settings policySettings(const CompanionServices& services) {
  RequestPolicy::Settings settings;
  settings.machineHostName = networkHostName();
  settings.searchDomains = services.searchDomains;
  settings.allowAnyClient = services.allowAnyClient;
  settings.onLinkPrefixes = services.onLinkPrefixes;
  return settings;
}

std::string describe(std::chrono::milliseconds interval) {
  const auto ms = interval.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

template <class T>
struct CompanionState::Pending {
  std::optional<T> value;
  std::vector<std::function<void(T)>> waiters;
};

namespace {
template <class T, class Pending>
asio::awaitable<void> runProbe(std::shared_ptr<Pending> pending, std::function<asio::awaitable<T>()> probe,
                               std::function<void()> release) {
  T value{};
  if (probe) {
    try {
      value = co_await probe();
    } catch (const std::exception& e) {
      // Probes map their failures to empty results; an escaped exception does too, and says why.
      logLine(std::string("Tavlo: a probe failed: ") + e.what());
    }
  }
  pending->value = value;
  release();
  auto waiters = std::move(pending->waiters);
  for (auto& w : waiters) w(value);
}
}  // namespace

template <class T>
std::shared_ptr<CompanionState::Pending<T>> CompanionState::startOrJoin(
    std::shared_ptr<Pending<T>>& slot, const std::function<asio::awaitable<T>()>& probe) {
  if (slot) return slot;
  auto pending = std::make_shared<Pending<T>>();
  slot = pending;
  std::weak_ptr<CompanionState> weak = weak_from_this();
  auto* slotPtr = &slot;
  auto release = [weak, slotPtr, pending] {
    if (auto self = weak.lock(); self && *slotPtr == pending) slotPtr->reset();
  };
  asio::co_spawn(executor_, runProbe<T>(pending, probe, release), asio::detached);
  return pending;
}

template <class T>
asio::awaitable<T> CompanionState::result(std::shared_ptr<Pending<T>> pending) {
  return awaitCallback<T>([pending](std::function<void(T)> done) {
    if (pending->value) return done(*pending->value);
    pending->waiters.push_back(std::move(done));
  });
}

CompanionState::CompanionState(asio::any_io_executor executor, CompanionServices services,
                               std::filesystem::path stagingDir, std::uint16_t port)
    : executor_(std::move(executor)),
      services_(std::move(services)),
      serverPort_(port),
      stagingDir_(std::move(stagingDir)) {
  readHostName();
}

// The name is read once per refresh, not per request: /health is answered
// without touching the file system.
void CompanionState::readHostName() {
  std::string name = services_.hostName ? services_.hostName() : std::string();
  if (name == hostName_ && health_->current()) return;
  hostName_ = std::move(name);
  publishHealth();
}

// The last owner may let go on any thread once the state's loop has stopped
// (the program's exit): nothing here asks for the state thread.
CompanionState::~CompanionState() { stopEverything(); }

void CompanionState::onStateThread(const char* what) const {
  if (runsHere(executor_)) return;
  logLine(std::string("Tavlo: CompanionState::") + what + " called off the state's executor");
  std::abort();
}

void CompanionState::start() {
  onStateThread(__func__);
  if (services_.defaults) {
    // A store held by another program is not waited for: its selection comes with a later refresh.
    selectionKnown_ = !services_.defaults->locked();
    selectedModelID_ = services_.defaults->getString(kSelectedModelKey).value_or("");
    changed(StateField::selectedModelID);
  }
  // The first refresh runs once start-up has returned.
  asio::co_spawn(
      executor_, [self = shared_from_this()]() -> asio::awaitable<void> { co_await self->tick(); }, asio::detached);
  startServer();
  scheduleTick();
}

void CompanionState::shutdown() {
  onStateThread(__func__);
  stopEverything();
}

void CompanionState::stopEverything() {
  if (listenRetry_) {
    listenRetry_->cancel();
    listenRetry_.reset();
  }
  if (timer_) {
    timer_->cancel();
    timer_.reset();
  }
  if (server_) {
    server_->stop();
    server_.reset();
  }
}



void CompanionState::addObserver(Observer observer) {
  onStateThread(__func__);
  observers_.push_back(std::move(observer));
}

// Observers are told on the state thread only.
void CompanionState::changed(StateField field) {
  onStateThread(__func__);
  if (field == StateField::tailscaleStatus || field == StateField::selectedModelID) publishHealth();
  for (auto& o : observers_) o(field);
}

HTTPResponse CompanionState::healthReply() const {
  return HTTPResponse::json({{"ok", true},
                             {"service", "tavlo-companion"},
                             {"hostname", hostName_},
                             {"tailscale_ip", currentTailscaleIP().value_or("")},
                             {"selected_model", selectedModelID_},
                             {"staging", stagingDir_.string()}});
}

void CompanionState::publishHealth() {
  auto reply = std::make_shared<const HTTPResponse>(healthReply());
  std::lock_guard lock(health_->mutex);
  health_->reply = std::move(reply);
}

CompanionSnapshot CompanionState::snapshot() const {
  onStateThread(__func__);
  return {tailscaleStatus_, allModels(),     selectedModelID_,    serverRunning_, serverPort_,
          recentRequests_,  lastError_,      stagingDir_.string(), menuSymbol(), runningRequests()};
}

std::vector<LLMModel> CompanionState::allModels() const {
  onStateThread(__func__);
  std::vector<LLMModel> all;
  all.reserve(cliModels_.size() + ollamaModels_.size() + lmstudioModels_.size());
  all.insert(all.end(), cliModels_.begin(), cliModels_.end());
  all.insert(all.end(), ollamaModels_.begin(), ollamaModels_.end());
  all.insert(all.end(), lmstudioModels_.begin(), lmstudioModels_.end());
  return all;
}

std::optional<LLMModel> CompanionState::selectedModel() const {
  onStateThread(__func__);
  for (const auto* list : {&cliModels_, &ollamaModels_, &lmstudioModels_})
    for (const auto& m : *list)
      if (m.id == selectedModelID_) return m;
  return std::nullopt;
}

std::string CompanionState::menuSymbol() const {
  onStateThread(__func__);
  if (!serverRunning_) return "computer.and.phone.slash";
  return tailscaleStatus_.isConnected() ? "computer.and.phone" : "computer";
}

void CompanionState::startServer() {
  onStateThread(__func__);
  if (!services_.startServer) return;
  const bool retrying = listenRetry_ != nullptr;
  try {
    server_ = services_.startServer(serverPort_, makeHandler());
  } catch (const std::exception& e) {
    server_.reset();
    // Told once, and again only when the reason changes: a retry every 2 s must not flood the log.
    if (!retrying || lastError_ != e.what()) {
      lastError_ = e.what();
      changed(StateField::lastError);
      logLine("Tavlo companion could not listen on :" + std::to_string(serverPort_) + ": " + *lastError_ +
              "; trying again every " + describe(services_.listenRetryInterval));
    }
    if (!retrying) {
      serverRunning_ = false;
      changed(StateField::serverRunning);
    }
    retryServerLater();
    return;
  }
  listenRetry_.reset();
  if (lastError_) {
    lastError_.reset();
    changed(StateField::lastError);
  }
  serverRunning_ = true;
  changed(StateField::serverRunning);
  logLine("Tavlo companion listening on :" + std::to_string(serverPort_));
}

void CompanionState::retryServerLater() {
  if (!listenRetry_) listenRetry_ = std::make_unique<asio::steady_timer>(executor_);
  listenRetry_->expires_after(services_.listenRetryInterval);
  std::weak_ptr<CompanionState> weak = weak_from_this();
  listenRetry_->async_wait([weak](const std::error_code& ec) {
    if (ec) return;
    if (auto self = weak.lock(); self && self->listenRetry_) self->startServer();
  });
}

RequestHandler CompanionState::makeHandler() {
  onStateThread(__func__);
  return [weak = weak_from_this(), ex = executor_, policy = std::make_shared<RequestPolicy>(policySettings(services_)),
          health = std::shared_ptr<const HealthBoard>(health_)](HTTPRequest request) {
    return handleOnNetwork(weak, ex, policy, health, std::move(request));
  };
}

void CompanionState::selectModel(const LLMModel& model) {
  onStateThread(__func__);
  selectedModelID_ = model.id;
  changed(StateField::selectedModelID);
  if (auto store = services_.defaults) {
    asio::post(storeStrand(),
               [store, id = model.id] { (void)store->setString(kSelectedModelKey, id); });  // the store logs a failure
  }
}

void CompanionState::openTailscaleApp() {
  onStateThread(__func__);
  if (!services_.open) return;
  bool installed = tailscaleStatus_.kind != TailscaleStatus::Kind::notInstalled &&
                   tailscaleStatus_.kind != TailscaleStatus::Kind::unknown;
  services_.open(installed ? kTailscaleAdmin : kTailscaleDownload);
}

void CompanionState::openOllamaWebsite() {
  onStateThread(__func__);
  if (services_.open) services_.open(kOllamaDownload);
}

void CompanionState::openTavloSite() {
  onStateThread(__func__);
  if (services_.open) services_.open(kTavloSite);
}

void CompanionState::openStagingFolder() {
  onStateThread(__func__);
  if (services_.open) services_.open(stagingDir_.string());
}

asio::awaitable<HTTPResponse> CompanionState::route(HTTPRequest request) {
  onStateThread(__func__);
  auto self = shared_from_this();
  const auto& method = request.method;
  const auto& path = request.path;
  if (method == "GET" && (path == "/" || path == "/health")) {
    co_return healthReply();
  }
  if (method == "GET" && path == "/models") co_return HTTPResponse::json(modelListBody(allModels(), selectedModelID_));
  if (method == "POST" && path == "/models/active") {
    auto body = request.jsonBody();
    if (!body || !body->contains("id") || !(*body)["id"].is_string()) co_return HTTPResponse::badRequest("missing id");
    const std::string id = (*body)["id"].get<std::string>();
    for (const auto& m : allModels()) {
      if (m.id == id) {
        selectModel(m);
        if (services_.defaults) co_await storeWritesLanded(services_.selectionSaveWait);
        co_return HTTPResponse::json({{"ok", true}, {"id", m.id}});
      }
    }
    co_return HTTPResponse::badRequest("unknown model id");
  }
  if (method == "POST" && path == "/generate") {
    auto body = request.jsonBody();
    if (!body || !body->contains("prompt") || !(*body)["prompt"].is_string() ||
        (*body)["prompt"].get_ref<const std::string&>().empty())
      co_return HTTPResponse::badRequest("missing prompt");
    co_return co_await runGenerate((*body)["prompt"].get<std::string>());
  }
  co_return HTTPResponse::notFound();
}

// Not a coroutine: see Generate.cpp's writeOnWorkerPool.
asio::awaitable<HTTPResponse> CompanionState::runGenerate(std::string prompt) {
  return generate(GenerateRequest{std::move(prompt), std::nullopt, allModels(), selectedModelID_}, generateSteps());
}

// The steps hold the state until the request has its reply.
GenerateSteps CompanionState::generateSteps() {
  GenerateSteps steps;
  steps.admit = [self = shared_from_this()](const std::string& prompt, const LLMModel& model) {
    return self->admit(prompt, model);
  };
  steps.run = [self = shared_from_this()](std::string prompt, LLMModel model) {
    return self->queuedModelRun(std::move(prompt), std::move(model));
  };
  steps.stagingDir = stagingDir_;
  steps.packWritten = services_.packWritten;
  return steps;
}

// A request is refused while the companion stops, and as busy when every run
// slot and every waiting place is taken; one let in is listed as recent.
std::optional<HTTPResponse> CompanionState::admit(const std::string& prompt, const LLMModel& model) {
  if (stopping_) return failedReply(model, kStoppedMessage);
  if (activeRuns_.size() >= std::max<std::size_t>(1, services_.maxModelRuns) &&
      waitingRuns_.size() >= services_.maxWaitingRuns)
    return busyReply(waitingRuns_.size());
  appendRequest(prompt, model.id);
  return std::nullopt;
}

struct CompanionState::ModelRun {
  std::string prompt;
  LLMModel model;
  std::function<void(ModelAnswer)> reply;  // empty once answered
  std::uint64_t id = 0;
  std::chrono::system_clock::time_point acceptedAt{};
  std::shared_ptr<Cancellation> cancel = std::make_shared<Cancellation>();

  void answer(ModelAnswer a) {
    if (!reply) return;
    auto r = std::move(reply);
    reply = nullptr;
    r(std::move(a));
  }
};

// Not a coroutine: see Generate.cpp's writeOnWorkerPool.
asio::awaitable<ModelAnswer> CompanionState::queuedModelRun(std::string prompt, LLMModel model) {
  return awaitCallback<ModelAnswer>([self = shared_from_this(), prompt = std::move(prompt),
                                     model = std::move(model)](std::function<void(ModelAnswer)> done) mutable {
    auto run = std::make_shared<ModelRun>(ModelRun{std::move(prompt), std::move(model), std::move(done)});
    run->id = self->nextRunID_++;
    run->acceptedAt = self->services_.now();
    self->admitModelRun(std::move(run));
  });
}

void CompanionState::admitModelRun(std::shared_ptr<ModelRun> run) {
  if (stopping_) return run->answer(fail(kStoppedMessage));
  if (activeRuns_.size() < std::max<std::size_t>(1, services_.maxModelRuns))
    startModelRun(std::move(run));
  else
    waitingRuns_.push_back(std::move(run));
  changed(StateField::runningRequests);
}

std::vector<RunningRequest> CompanionState::runningRequests() const {
  onStateThread(__func__);
  std::vector<RunningRequest> list;
  // A stopped run keeps its slot until its tool has ended, but its phone has its reply.
  for (const auto& run : activeRuns_)
    if (run->reply) list.push_back({run->id, run->prompt, run->model.id, run->acceptedAt, false, run->cancel});
  for (const auto& run : waitingRuns_) list.push_back({run->id, run->prompt, run->model.id, run->acceptedAt, true});
  return list;
}

void CompanionState::stopRequest(std::uint64_t id) {
  onStateThread(__func__);
  auto matches = [id](const std::shared_ptr<ModelRun>& run) { return run->id == id; };
  if (auto it = std::find_if(waitingRuns_.begin(), waitingRuns_.end(), matches); it != waitingRuns_.end()) {
    auto run = std::move(*it);
    waitingRuns_.erase(it);
    run->answer(fail(kCancelledMessage));
  } else if (auto active = std::find_if(activeRuns_.begin(), activeRuns_.end(), matches);
             active != activeRuns_.end() && (*active)->reply) {
    // Answered now, whatever the runner says once its tool is gone.
    (*active)->answer(fail(kCancelledMessage));
    (*active)->cancel->cancel();
  } else {
    return;
  }
  logLine("Tavlo: request stopped from the panel");
  changed(StateField::runningRequests);
}

void CompanionState::startModelRun(std::shared_ptr<ModelRun> run) {
  activeRuns_.push_back(run);
  asio::co_spawn(executor_, driveModelRun(std::move(run)), asio::detached);
}

asio::awaitable<void> CompanionState::driveModelRun(std::shared_ptr<ModelRun> run) {
  auto self = shared_from_this();
  ModelAnswer answer = fail("no runner");
  if (services_.runModel) {
    try {
      answer = co_await services_.runModel(run->prompt, run->model, run->cancel);
    } catch (const std::exception& e) {
      answer = fail(e.what());
    }
  }
  // Already answered when the companion began to stop.
  run->answer(std::move(answer));
  std::erase(activeRuns_, run);
  while (!stopping_ && !waitingRuns_.empty() &&
         activeRuns_.size() < std::max<std::size_t>(1, services_.maxModelRuns)) {
    auto next = std::move(waitingRuns_.front());
    waitingRuns_.pop_front();
    startModelRun(std::move(next));
  }
  changed(StateField::runningRequests);
}

void CompanionState::stopGracefully(std::chrono::milliseconds limit, std::function<void()> done) {
  onStateThread(__func__);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  stopping_ = true;
  if (timer_) {
    timer_->cancel();
    timer_.reset();
  }
  // The port is free from here on; accepted connections get their replies.
  if (server_) server_->stop();
  auto waiting = std::move(waitingRuns_);
  waitingRuns_.clear();
  for (auto& run : waiting) run->answer(fail(kStoppedMessage));
  for (auto& run : activeRuns_) run->answer(fail(kStoppedMessage));
  changed(StateField::runningRequests);
  finishStopping(deadline, std::move(done));
}

void CompanionState::finishStopping(std::chrono::steady_clock::time_point deadline, std::function<void()> done) {
  if ((!server_ || server_->openConnections() == 0) || std::chrono::steady_clock::now() >= deadline) {
    shutdown();
    if (done) done();
    return;
  }
  auto wait = std::make_shared<asio::steady_timer>(executor_, std::chrono::milliseconds(10));
  wait->async_wait([self = shared_from_this(), wait, deadline, done = std::move(done)](const std::error_code&) mutable {
    self->finishStopping(deadline, std::move(done));
  });
}

void CompanionState::appendRequest(const std::string& prompt, const std::string& modelID) {
  auto list = recentRequests_;
  list.insert(list.begin(), RecentRequest::make(prompt, modelID, services_.now()));
  if (list.size() > kMaxRecent) list.resize(kMaxRecent);
  recentRequests_ = std::move(list);
  changed(StateField::recentRequests);
}

asio::awaitable<void> CompanionState::tick() {
  onStateThread(__func__);
  auto self = shared_from_this();
  readHostName();
  auto tailscale = startOrJoin(tailscaleInFlight_, services_.tailscaleProbe);
  auto ollama = startOrJoin(ollamaInFlight_, services_.ollamaProbe);
  auto lmstudio = startOrJoin(lmstudioInFlight_, services_.lmstudioProbe);
  auto cli = startOrJoin(cliInFlight_, services_.cliProbe);

  tailscaleStatus_ = co_await result(tailscale);
  changed(StateField::tailscaleStatus);
  advertisePresence();
  ollamaModels_ = co_await result(ollama);
  changed(StateField::ollamaModels);
  lmstudioModels_ = co_await result(lmstudio);
  changed(StateField::lmstudioModels);
  cliModels_ = co_await result(cli);
  changed(StateField::cliModels);

  if (selectedModelID_.empty() && selectionKnown_) {
    auto all = allModels();
    if (!all.empty()) selectModel(all.front());
  }
  publishPairingRecord();
  retryStores();
}

void CompanionState::advertisePresence() {
  if (!server_) return;
  AdvertisedPresence presence;
  presence.hostName = hostName_;
  if (presence.hostName.empty()) presence.hostName = networkHostName();
  presence.lanIP = services_.lanIP ? services_.lanIP() : std::nullopt;
  presence.tailscale = tailscaleStatus_;
  server_->advertise(presence);
}

void CompanionState::retryStores() {
  auto store = services_.defaults;
  if (!store) return;
  const bool wantSelection = !selectionKnown_;
  std::weak_ptr<CompanionState> weak = weak_from_this();
  // The guard keeps the state's io_context running until the post back has returned.
  asio::post(storeStrand(), [store, wantSelection, weak, work = asio::make_work_guard(executor_)] {
    if (!store->retry() && store->locked()) return;  // still held elsewhere; the store logs it
    if (!wantSelection) return;
    auto stored = store->getString(kSelectedModelKey).value_or("");
    asio::post(work.get_executor(), [weak, stored] {
      if (auto self = weak.lock()) self->selectionRestored(stored);
    });
  });
}

void CompanionState::selectionRestored(const std::string& storedID) {
  if (selectionKnown_) return;
  selectionKnown_ = true;
  // A choice made while the store was locked is newer and stays.
  if (!selectedModelID_.empty() || storedID.empty()) return;
  selectedModelID_ = storedID;
  changed(StateField::selectedModelID);
}

void CompanionState::scheduleTick() {
  timer_ = std::make_unique<asio::steady_timer>(executor_);
  armTimer();
}

void CompanionState::armTimer() {
  if (!timer_) return;
  timer_->expires_after(services_.refreshInterval);
  std::weak_ptr<CompanionState> weak = weak_from_this();
  timer_->async_wait([weak](const std::error_code& ec) {
    if (ec) return;
    auto self = weak.lock();
    if (!self) return;
    asio::co_spawn(
        self->executor_,
        [weak]() -> asio::awaitable<void> {
          if (auto s = weak.lock()) co_await s->tick();
        },
        asio::detached);
    self->armTimer();
  });
}

void CompanionState::publishPairingRecord() {
  if (!services_.publishPairing) return;
  std::optional<std::string> tsIP, tsHost;
  if (tailscaleStatus_.isConnected()) {
    tsIP = tailscaleStatus_.ip;
    tsHost = tailscaleStatus_.hostname;
  }
  std::string host = hostName_.empty() ? PairingStore::kUnnamedComputer : hostName_;
  auto lan = services_.lanIP ? services_.lanIP() : std::nullopt;
  services_.publishPairing(host, lan, tsIP, tsHost, static_cast<std::int64_t>(serverPort_));
}

std::optional<std::string> CompanionState::currentTailscaleIP() const {
  if (tailscaleStatus_.isConnected()) return tailscaleStatus_.ip;
  return std::nullopt;
}

}  // namespace tavlo
