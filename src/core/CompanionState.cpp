// Runs on the state thread, except the store writes posted to the store
// strand. The parts it owns: the run queue (RunQueue), the refresh's timer and
// probes (Refresher), the HTTP side (Router).
#include "core/CompanionState.hpp"


#include "core/Router.hpp"
#include "core/StateThread.hpp"
#include "pairing/PairingStore.hpp"
#include "platform/Async.hpp"
#include "platform/HostName.hpp"
#include "platform/KvStore.hpp"
#include "platform/Log.hpp"

namespace tavlo {
namespace {

constexpr const char* kTailscaleDownload = "https://tailscale.com/download/linux";
constexpr const char* kTailscaleAdmin = "https://login.tailscale.com/admin/machines";
constexpr const char* kOllamaDownload = "https://ollama.com/download/linux";
constexpr const char* kTavloSite = "https://tavlo.app";

// Ends a wait on `timer` from any thread. The guard keeps the state's
// io_context running until the post has returned.
std::function<void()> endWait(std::shared_ptr<asio::steady_timer> timer, asio::any_io_executor executor) {
  return [timer, work = asio::make_work_guard(executor)] {
    asio::post(work.get_executor(), [timer] { timer->cancel(); });
  };
}

asio::awaitable<void> refreshIfAlive(std::weak_ptr<CompanionState> weak) {
  if (auto state = weak.lock()) co_await state->tick();
}

std::string describe(std::chrono::milliseconds interval) {
  const auto ms = interval.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

CompanionState::CompanionState(asio::any_io_executor executor, CompanionServices services,
                               std::filesystem::path stagingDir, std::uint16_t port)
    : executor_(std::move(executor)),
      services_(std::move(services)),
      serverPort_(port),
      runs_(std::make_shared<RunQueue>(
          executor_, RunQueue::Settings{services_.runModel, services_.maxModelRuns, services_.maxWaitingRuns, services_.now},
          [this] { changed(StateField::runningRequests); })),
      refresher_(executor_, {services_.tailscaleProbe, services_.ollamaProbe, services_.lmstudioProbe, services_.cliProbe}),
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
CompanionState::~CompanionState() {
  runs_->forgetOwner();
  stopEverything();
}

void CompanionState::onStateThread(const char* what) const { requireStateThread(executor_, "CompanionState", what); }

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
      executor_, [self = shared_from_this()]() -> asio::awaitable<void> { co_await self->tick(); },
      logFailure("first refresh stopped"));
  startServer();
  refresher_.every(services_.refreshInterval, [weak = weak_from_this()] { return refreshIfAlive(weak); });
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
  refresher_.stop();
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
  if (!services_.startServer || listenRetry_ || listen(false)) return;
  listenRetry_ = std::make_shared<asio::steady_timer>(executor_);
  asio::co_spawn(executor_, retryListening(weak_from_this(), listenRetry_), logFailure("listen retry stopped"));
}

// Tries again every listenRetryInterval until the server listens or the state stops.
asio::awaitable<void> CompanionState::retryListening(std::weak_ptr<CompanionState> weak,
                                                      std::shared_ptr<asio::steady_timer> timer) {
  for (;;) {
    auto self = weak.lock();
    if (!self || self->listenRetry_ != timer) co_return;
    timer->expires_after(self->services_.listenRetryInterval);
    self.reset();
    std::error_code stopped;
    auto waiting = timer->async_wait(asio::redirect_error(asio::use_awaitable, stopped));
    co_await std::move(waiting);
    self = weak.lock();
    if (stopped || !self || self->listenRetry_ != timer) co_return;
    if (self->listen(true)) co_return;
  }
}

bool CompanionState::listen(bool retrying) {
  auto started = services_.startServer(serverPort_, makeHandler());
  if (!started) {
    server_.reset();
    // Told once, and again only when the reason changes: a retry every 2 s must not flood the log.
    if (!retrying || lastError_ != started.message()) {
      lastError_ = started.message();
      changed(StateField::lastError);
      logLine("Tavlo companion could not listen on :" + std::to_string(serverPort_) + ": " + *lastError_ +
              "; trying again every " + describe(services_.listenRetryInterval));
    }
    if (!retrying) {
      serverRunning_ = false;
      changed(StateField::serverRunning);
    }
    return false;
  }
  server_ = std::move(started).value();
  listenRetry_.reset();
  if (lastError_) {
    lastError_.reset();
    changed(StateField::lastError);
  }
  serverRunning_ = true;
  changed(StateField::serverRunning);
  logLine("Tavlo companion listening on :" + std::to_string(serverPort_));
  return true;
}

RequestHandler CompanionState::makeHandler() { return Router::handler(*this); }

void CompanionState::selectModel(const LLMModel& model) {
  onStateThread(__func__);
  selectedModelID_ = model.id;
  changed(StateField::selectedModelID);
  if (auto store = services_.defaults) {
    asio::post(storeStrand(), [store, id = model.id] {
      // Held by another program, the store keeps the choice and saves it later; the log says so.
      if (auto saved = store->setString(kSelectedModelKey, id); !saved)
        logLine("Tavlo: the model selection is not saved yet: " + saved.message());
    });
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

// Not a coroutine: the check runs in Router::route, on the state thread.
asio::awaitable<HTTPResponse> CompanionState::route(HTTPRequest request) {
  return Router::route(shared_from_this(), std::move(request));
}

std::vector<RunningRequest> CompanionState::runningRequests() const {
  onStateThread(__func__);
  return runs_->listed();
}

void CompanionState::stopRequest(std::uint64_t id) {
  onStateThread(__func__);
  if (!runs_->stop(id)) return;
  logLine("Tavlo: request stopped from the panel");
  changed(StateField::runningRequests);
}

asio::awaitable<void> CompanionState::stopGracefully(std::chrono::milliseconds limit) {
  onStateThread(__func__);
  auto self = shared_from_this();
  refresher_.stop();
  // The port is free from here on; accepted connections get their replies.
  if (server_) server_->stop();
  runs_->stopAll();
  auto waiting = drained(limit);
  co_await std::move(waiting);
  shutdown();
}

// Until the server has written every reply (it says so from its own thread), or `limit` has passed.
asio::awaitable<void> CompanionState::drained(std::chrono::milliseconds limit) {
  if (!server_) co_return;
  auto limitTimer = std::make_shared<asio::steady_timer>(executor_, limit);
  server_->whenDrained(endWait(limitTimer, executor_));
  std::error_code ended;  // cancelled: drained
  auto waiting = limitTimer->async_wait(asio::redirect_error(asio::use_awaitable, ended));
  co_await std::move(waiting);
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
  auto probing = refresher_.probeAll();
  const ProbeResults results = co_await std::move(probing);
  tailscaleStatus_ = results.tailscale;
  changed(StateField::tailscaleStatus);
  advertisePresence();
  ollamaModels_ = results.ollama;
  changed(StateField::ollamaModels);
  lmstudioModels_ = results.lmstudio;
  changed(StateField::lmstudioModels);
  cliModels_ = results.cli;
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
