#pragma once
// The one object that holds everything the companion knows at run time. Runs
// on the state thread (its executor): every public operation, getter and
// observer call happens there, without locks, and every build aborts when
// another thread calls in (a cheap executor comparison). Work that
// finishes elsewhere (probes, model runs, pack writing) is posted back first.
// Only makeHandler's handler runs on the network thread, and HealthBoard is
// readable from any thread.
#include <asio.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Generate.hpp"
#include "core/RecentRequest.hpp"
#include "core/Refresher.hpp"
#include "core/RequestPolicy.hpp"
#include "core/Router.hpp"
#include "core/RunQueue.hpp"
#include "http/HTTPRequest.hpp"
#include "http/HTTPResponse.hpp"
#include "platform/Result.hpp"
#include "presence/AdvertisedPresence.hpp"
#include "presence/TailscaleStatus.hpp"
#include "providers/LLMModel.hpp"

namespace tavlo {

class KvStore;

// A running HTTP server as the state sees it.
class ServerHandle {
 public:
  virtual ~ServerHandle() = default;
  // Publishes or updates the DNS-SD advertisement; must not wait for anything.
  virtual void advertise(const AdvertisedPresence&) {}
  virtual void stop() = 0;
  // `drained` runs once, on any thread, when no accepted connection is left
  // open (every reply written): at once when none is.
  virtual void whenDrained(std::function<void()> drained) = 0;
};

// Everything the state uses from the outside world, injectable for tests.
struct CompanionServices {
  std::function<asio::awaitable<TailscaleStatus>()> tailscaleProbe;
  std::function<asio::awaitable<std::vector<LLMModel>>()> ollamaProbe;
  std::function<asio::awaitable<std::vector<LLMModel>>()> lmstudioProbe;
  std::function<asio::awaitable<std::vector<LLMModel>>()> cliProbe;
  using RunModel = RunQueue::RunModel;
  RunModel runModel;
  std::function<std::optional<std::string>()> lanIP;
  std::function<std::string()> hostName;  // the user-visible name, "" when none
  std::function<void(std::string location)> open;
  // Creates and starts the server; the error's message is shown as lastError.
  std::function<Result<std::unique_ptr<ServerHandle>>(std::uint16_t port, RequestHandler handler)> startServer;
  // A failed start is tried again this often until it succeeds.
  std::chrono::milliseconds listenRetryInterval{2000};
  // Who may be served (RequestPolicy): the machine's subnets (may be null), the
  // resolver's search domains, and whether every client address is.
  std::function<std::vector<IPPrefix>()> onLinkPrefixes;
  std::vector<std::string> searchDomains;
  bool allowAnyClient = false;
  // Persists the selection (the "selectedModelID" key); may be null. The phone's
  // "ok" waits until the choice is on disk, or this long when another program
  // holds the store (the write is then kept and tried again).
  std::shared_ptr<KvStore> defaults;
  std::chrono::milliseconds selectionSaveWait{100};
  // Receives the pairing record after each refresh; may be null.
  std::function<void(std::string hostname, std::optional<std::string> lanIP, std::optional<std::string> tailscaleIP,
                     std::optional<std::string> tailscaleHostname, std::int64_t port)>
      publishPairing;
  // Told of every pack written (the desktop notification); may be null.
  std::function<void(const std::string& name, const std::string& summary)> packWritten;
  std::function<std::chrono::system_clock::time_point()> now = [] { return std::chrono::system_clock::now(); };
  std::chrono::milliseconds refreshInterval{5000};
  // Model runs at once (any back end); later requests wait in order, at most
  // maxWaitingRuns of them, and further ones are refused as busy.
  std::size_t maxModelRuns = 2;
  std::size_t maxWaitingRuns = 16;
};

enum class StateField {
  tailscaleStatus,
  ollamaModels,
  lmstudioModels,
  cliModels,
  selectedModelID,
  serverRunning,
  serverPort,
  recentRequests,
  runningRequests,
  lastError
};

// An immutable copy of the observed fields, for the UI thread.
struct CompanionSnapshot {
  TailscaleStatus tailscaleStatus;
  std::vector<LLMModel> allModels;
  std::string selectedModelID;
  bool serverRunning = false;
  std::uint16_t serverPort = 18765;
  std::vector<RecentRequest> recentRequests;
  std::optional<std::string> lastError;
  std::string stagingDir;
  std::string menuSymbol;
  std::vector<RunningRequest> runningRequests;  // running ones first, then the waiting ones in order
};

class CompanionState : public std::enable_shared_from_this<CompanionState> {
 public:
  static constexpr const char* kSelectedModelKey = "selectedModelID";
  static constexpr std::size_t kMaxRecent = 12;

  using Observer = std::function<void(StateField)>;

  // Builds the state without starting anything; `start()` runs the start-up.
  CompanionState(asio::any_io_executor executor, CompanionServices services, std::filesystem::path stagingDir,
                 std::uint16_t port = 18765);
  ~CompanionState();

  // Start-up, on the state thread: restore the selection, queue the first
  // refresh, start the server, install the refresh timer.
  void start();
  // Stops the timers and the server (what destruction does), on the state thread.
  void shutdown();
  // A clean stop, on the state thread: no new connections, every generate
  // request still waiting for its model answered with the 500 reply, then
  // shutdown(). Ends once those replies are out, or when `limit` has passed.
  asio::awaitable<void> stopGracefully(std::chrono::milliseconds limit);

  // Observers are told after every assignment of an observed field, also when
  // the value did not change.
  void addObserver(Observer observer);
  CompanionSnapshot snapshot() const;

  // Fields.
  const TailscaleStatus& tailscaleStatus() const { return onStateThread(), tailscaleStatus_; }
  const std::vector<LLMModel>& ollamaModels() const { return onStateThread(), ollamaModels_; }
  const std::vector<LLMModel>& lmstudioModels() const { return onStateThread(), lmstudioModels_; }
  const std::vector<LLMModel>& cliModels() const { return onStateThread(), cliModels_; }
  const std::string& selectedModelID() const { return onStateThread(), selectedModelID_; }
  bool serverRunning() const { return onStateThread(), serverRunning_; }
  std::uint16_t serverPort() const { return onStateThread(), serverPort_; }
  const std::vector<RecentRequest>& recentRequests() const { return onStateThread(), recentRequests_; }
  std::vector<RunningRequest> runningRequests() const;
  const std::optional<std::string>& lastError() const { return onStateThread(), lastError_; }
  // Fixed at construction: readable from any thread.
  const std::filesystem::path& stagingDir() const { return stagingDir_; }
  asio::any_io_executor executor() const { return executor_; }

  // Derived values.
  std::vector<LLMModel> allModels() const;
  std::optional<LLMModel> selectedModel() const;
  std::string menuSymbol() const;

  // Operations.
  // Starts the server; when that fails, lastError holds why and the start is
  // tried again every listenRetryInterval until it succeeds (the port may be
  // held by a companion that is still stopping).
  void startServer();
  void selectModel(const LLMModel& model);
  void openTailscaleApp();
  void openOllamaWebsite();
  void openTavloSite();
  void openStagingFolder();
  // Stops a running or waiting request: its phone gets the 500 reply
  // "<provider> failed: stopped on the computer" at once, and a running tool's
  // process group is killed (an HTTP call ended). Unknown ids are ignored.
  void stopRequest(std::uint64_t id);

  // One refresh: the host name and every probe, then the auto-selection and
  // the pairing record. Overlapping refreshes share one round of probes.
  asio::awaitable<void> tick();

  // The server's handler and the routes: see Router.
  RequestHandler makeHandler();
  asio::awaitable<HTTPResponse> route(HTTPRequest request);

  using HealthBoard = tavlo::HealthBoard;

 private:
  friend class Router;  // the HTTP side reads the fields and feeds the run queue

  // Aborts, naming `what`, when the caller is not on the state's executor.
  void onStateThread(const char* what = __builtin_FUNCTION()) const;

  asio::awaitable<void> drained(std::chrono::milliseconds limit);
  void appendRequest(const std::string& prompt, const std::string& modelID);
  void publishPairingRecord();
  std::optional<std::string> currentTailscaleIP() const;
  void stopEverything();

  void changed(StateField field);
  void advertisePresence();
  void retryStores();
  void selectionRestored(const std::string& storedID);

  // Starts the server; false (lastError says why) when it cannot listen.
  bool listen(bool retrying);
  static asio::awaitable<void> retryListening(std::weak_ptr<CompanionState> weak,
                                              std::shared_ptr<asio::steady_timer> timer);
  void readHostName();
  HTTPResponse healthReply() const;
  void publishHealth();

  asio::any_io_executor executor_;
  CompanionServices services_;
  std::vector<Observer> observers_;
  const std::shared_ptr<HealthBoard> health_ = std::make_shared<HealthBoard>();

  TailscaleStatus tailscaleStatus_;
  std::vector<LLMModel> ollamaModels_;
  std::vector<LLMModel> lmstudioModels_;
  std::vector<LLMModel> cliModels_;
  std::string selectedModelID_;
  // False while the defaults store was locked at start and its selection is
  // not known: nothing is auto-selected then, so a saved choice is not replaced.
  // Each refresh tries the store again, off the state thread.
  bool selectionKnown_ = true;
  bool serverRunning_ = false;
  std::uint16_t serverPort_;
  std::vector<RecentRequest> recentRequests_;
  std::optional<std::string> lastError_;
  std::string hostName_;  // the user-visible name as of the last refresh

  const std::shared_ptr<RunQueue> runs_;
  Refresher refresher_;

  std::unique_ptr<ServerHandle> server_;
  std::shared_ptr<asio::steady_timer> listenRetry_;  // while the retry loop runs
  const std::filesystem::path stagingDir_;
};

}  // namespace tavlo
