// The companion itself: the state on its own io_context, the server, the
// refresh, and (when a tray exists) the Qt shell from the tray module on the
// main thread. Runs on the main thread; the state's io_context runs on a
// thread of its own with a tray, on the main thread without one.
#include <systemd/sd-daemon.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <mutex>
#include <thread>
#include <variant>

#include "app/Commands.hpp"
#include "app/Services.hpp"
#include "app/TrayLoader.hpp"
#include "core/CompanionState.hpp"
#include "http/HTTPCompanionServer.hpp"
#include "pack/TavloPackWriter.hpp"
#include "platform/Async.hpp"
#include "platform/Log.hpp"
#include "platform/ProcessRunner.hpp"

namespace tavlo {
namespace {

// How long a stopping companion gives waiting requests their replies and tools their end.
constexpr std::chrono::milliseconds kStopLimit{1500};

// The state's io_context and the companion's one way to stop, for Quit,
// SIGINT/SIGTERM and a lost display alike: running tools are killed at once
// (their threads reap them and remove their scratch folders), requests still
// waiting for a model get the 500 reply, the listener closes, then the loop
// ends. It lives until the process ends (main ends it with _exit), so a worker
// pool or curl thread that delivers a late result after run() has returned
// posts into a stopped queue, never into a destroyed io_context.
struct CompanionRuntime {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
  asio::signal_set signals{io, SIGINT, SIGTERM};  // their one owner, in every mode
  std::shared_ptr<CompanionState> state;
  std::function<void()> afterStop;  // set before the loop runs (ends the tray's loop)
  int exitStatus = kExitOk;         // state thread until the loop has ended
  bool stopping = false;            // state thread
  std::mutex mutex;
  std::condition_variable stoppedSignal;
  bool stopped = false;  // under `mutex`

  // On the state thread.
  void stopOnState() {
    if (stopping) return;
    stopping = true;
    stopAllProcesses();
    signals.cancel();
    auto finish = [this] {
      waitForProcesses(std::chrono::seconds(1));
      work.reset();
      io.stop();
      if (afterStop) afterStop();
      std::lock_guard lock(mutex);
      stopped = true;
      stoppedSignal.notify_all();
    };
    if (state)
      asio::co_spawn(io, state->stopGracefully(kStopLimit), [finish](std::exception_ptr) { finish(); });
    else
      finish();
  }
  // From any other thread.
  void requestStop() {
    asio::post(io, [this] { stopOnState(); });
  }
  // From any other thread: true once the stop is done, false when `limit` passed first.
  bool stopAndWait(std::chrono::milliseconds limit) {
    requestStop();
    std::unique_lock lock(mutex);
    return stoppedSignal.wait_for(lock, limit, [this] { return stopped; });
  }
};

// Closing the stores checkpoints their journals, so the files stand alone.
void closeStores(CompanionEnvironment& env) {
  drainStoreWrites(std::chrono::seconds(3));
  if (env.defaults) env.defaults->close();
  if (env.pairing) env.pairing->close();
}

// Under systemd (NOTIFY_SOCKET set) a companion that cannot listen ends after
// this long, so the unit's Restart=on-failure starts it afresh; it tells
// systemd READY=1 once it listens. TAVLO_TEST_LISTEN_GIVE_UP_MS shortens the
// wait for tests.
std::chrono::milliseconds listenGiveUp() {
  if (const char* ms = std::getenv("TAVLO_TEST_LISTEN_GIVE_UP_MS"); ms && std::atoi(ms) > 0)
    return std::chrono::milliseconds(std::atoi(ms));
  return std::chrono::seconds(30);
}

// The observer and the timer live inside `runtime` (in its state and its
// io_context), so they refer to it by plain pointer rather than keep it alive.
void watchListening(CompanionRuntime* runtime) {
  auto ready = std::make_shared<bool>(false);
  runtime->state->addObserver([runtime, ready](StateField field) {
    const auto& state = *runtime->state;
    if (field == StateField::serverRunning && state.serverRunning() && !*ready) {
      *ready = true;
      sd_notify(0, "READY=1\nSTATUS=listening");
    } else if (field == StateField::lastError && state.lastError()) {
      sd_notify(0, ("STATUS=waiting to listen: " + *state.lastError()).c_str());
    }
  });
  const char* notifySocket = std::getenv("NOTIFY_SOCKET");
  if (!notifySocket || !*notifySocket) return;
  auto timer = std::make_shared<asio::steady_timer>(runtime->io, listenGiveUp());
  timer->async_wait([runtime, ready, timer](const std::error_code& ec) {
    if (ec || *ready || !runtime->state) return;
    logLine("Tavlo companion could not listen on :" + std::to_string(runtime->state->serverPort()) +
            " in time; exiting so that systemd starts it again");
    runtime->exitStatus = kExitFailed;
    runtime->stopOnState();
  });
}

// The tray module and the toolkit platforms to try, when a tray may be shown;
// otherwise a failure whose message ends the log line "Tavlo: WHY; running headless".
struct TrayChoice {
  const TrayModule* module;
  std::string platforms;
};
Result<TrayChoice> openTray() {
#ifdef TAVLO_HAVE_UI
  const DisplayPlan plan = planDisplay(currentDisplaySession(qtPluginsFolder()));
  if (plan.platforms.empty()) return fail(plan.problem);
  if (!plan.problem.empty()) logLine("Tavlo: " + plan.problem);
  auto module = loadTrayModule();
  if (!module) return module.error();
  return TrayChoice{*module, plan.platforms};
#else
  return fail("built without a tray");
#endif
}

// The tray on this (the main) thread while the state runs on a thread of its
// own; when the tray shows nothing, that thread serves until SIGINT/SIGTERM.
int runWithTray(CompanionRuntime& runtime, const TrayChoice& tray, const CompanionOptions& options,
                CompanionEnvironment& env) {
  runtime.afterStop = tray.module->endLoop;
  std::thread stateThread([&runtime] { runtime.io.run(); });
  int status;
  {
    TrayLaunch launch;
    launch.state = runtime.state;
    // The toolkit ends the process right after this returns.
    launch.stopNow = [&runtime, &env] {
      if (runtime.stopAndWait(kStopLimit + std::chrono::seconds(2))) closeStores(env);
    };
    launch.showPanel = options.showPanel;
    launch.platforms = tray.platforms;
    if (auto store = env.pairing) launch.pairingJSON = [store] { return pairingJSON(*store, false); };
    status = tray.module->run(launch);
  }
  if (status >= 0)
    runtime.requestStop();
  else
    logLine(status == kNoDisplay ? "Tavlo: cannot open the display; running headless"
                                 : "Tavlo: no system tray available; running headless");
  stateThread.join();
  return status >= 0 && runtime.exitStatus == kExitOk ? status : runtime.exitStatus;
}

}  // namespace

int runCompanion(const CompanionOptions& options) {
  auto resolved = CompanionEnvironment::resolve();
  if (auto* refusal = std::get_if<CompanionEnvironment::Refusal>(&resolved)) {
    std::cerr << "tavlo-companion: " << refusal->message << std::endl;
    return refusal->exitStatus;
  }
  auto& env = std::get<CompanionEnvironment>(resolved);
  env.listenAddress = options.listenAddress;

  // Packs that a killed companion left half-written in hidden folders go now,
  // off the path to listening.
  asio::post(workerPool(), [staging = env.stagingDir] {
    if (auto swept = TavloPackWriter::removeLeftovers(staging); !swept)
      logLine("Tavlo: leftover packs stay: " + swept.message());
  });

  auto tray = options.headless ? Result<TrayChoice>(fail("")) : openTray();
  auto& runtime = *new CompanionRuntime;  // see CompanionRuntime
  auto services = makeServices(env);
  if (tray) services.packWritten = tray->module->notifyPackWritten;
  runtime.state = std::make_shared<CompanionState>(runtime.io.get_executor(), std::move(services), env.stagingDir);
  runtime.signals.async_wait([rt = &runtime](const std::error_code& ec, int) {
    if (!ec) rt->stopOnState();
  });
  asio::post(runtime.io, [rt = &runtime] {
    watchListening(rt);
    rt->state->start();
  });
  int status;
  if (tray) {
    status = runWithTray(runtime, *tray, options, env);
  } else {
    if (!options.headless) logLine("Tavlo: " + tray.message() + "; running headless");
    runtime.io.run();
    status = runtime.exitStatus;
  }
  runtime.state.reset();
  closeStores(env);
  // A server thread still taking a handler's late reply (one that outlived the
  // stop limit) is joined once it has it; one still waiting after this ends with the process.
  HTTPCompanionServer::joinLingering(std::chrono::seconds(1));
  return status;
}

}  // namespace tavlo
