// The companion itself: the state on its own io_context, the server, the
// refresh, and (when a tray exists) the Qt shell from the tray module on the
// main thread. Runs on the main thread; the state's io_context runs on a
// thread of its own with a tray, on the main thread without one.
#include <systemd/sd-daemon.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "app/Commands.hpp"
#include "app/Services.hpp"
#include "app/TrayLoader.hpp"
#include "core/CompanionState.hpp"
#include "pack/TavloPackWriter.hpp"
#include "platform/Async.hpp"
#include "platform/Log.hpp"
#include "platform/ProcessRunner.hpp"

namespace tavlo {
namespace {

// How long a stopping companion gives waiting requests their replies and tools their end.
constexpr std::chrono::milliseconds kStopLimit{1500};

// Runs the state's io_context until SIGINT/SIGTERM or `stop`. It is never
// destroyed: the process ends with _exit while it is still alive, so a worker
// pool or curl thread that delivers a late result after run() has returned
// posts into a stopped queue, never into a destroyed io_context.
struct StateThread {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
  asio::signal_set signals{io, SIGINT, SIGTERM};
  std::shared_ptr<CompanionState> state;
  bool stopping = false;

  // Running tools are killed at once (their threads reap them and remove their
  // scratch folders); requests still waiting for a model get the 500 reply.
  void stopOnState() {
    if (stopping) return;
    stopping = true;
    stopAllProcesses();
    signals.cancel();
    auto finish = [this] {
      waitForProcesses(std::chrono::seconds(1));
      work.reset();
      io.stop();
    };
    if (state)
      asio::co_spawn(io, state->stopGracefully(kStopLimit), [finish](std::exception_ptr) { finish(); });
    else
      finish();
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
void watchListening(StateThread* runtime, CompanionEnvironment& env) {
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
  timer->async_wait([runtime, ready, timer, &env](const std::error_code& ec) {
    if (ec || *ready || !runtime->state) return;
    logLine("Tavlo companion could not listen on :" + std::to_string(runtime->state->serverPort()) +
            " in time; exiting so that systemd starts it again");
    runtime->state->shutdown();
    closeStores(env);
    finishProcess(kExitFailed);
  });
}

// The tray module when a tray may be shown, and the toolkit platforms to try;
// otherwise none, and `why` ends the log line "Tavlo: WHY; running headless".
const TrayModule* openTray(std::string& why, std::string& platforms) {
#ifdef TAVLO_HAVE_UI
  const DisplayPlan plan = planDisplay(currentDisplaySession(qtPluginsFolder()));
  why = plan.problem;
  if (plan.platforms.empty()) return nullptr;
  if (!plan.problem.empty()) logLine("Tavlo: " + plan.problem);
  auto module = loadTrayModule();
  if (!module) {
    why = module.message();
    return nullptr;
  }
  platforms = plan.platforms;
  return *module;
#else
  (void)platforms;
  why = "built without a tray";
  return nullptr;
#endif
}

}  // namespace

int runCompanion(const CompanionOptions& options) {
  const bool headless = options.headless, showPanel = options.showPanel;
  auto env = CompanionEnvironment::resolve();
  if (!env.error.empty()) {
    std::cerr << "tavlo-companion: " << env.error << std::endl;
    return env.badSetting ? kExitUsage : kExitFailed;
  }
  env.listenAddress = options.listenAddress;

  // Packs that a killed companion left half-written in hidden folders go now,
  // off the path to listening.
  asio::post(workerPool(), [staging = env.stagingDir] {
    if (auto swept = TavloPackWriter::removeLeftovers(staging); !swept)
      logLine("Tavlo: leftover packs stay: " + swept.message());
  });

  std::string noTray, platforms;
  const TrayModule* tray = headless ? nullptr : openTray(noTray, platforms);

  auto runtime = std::make_shared<StateThread>();
  auto services = makeServices(env);
  if (tray) services.packWritten = tray->notifyPackWritten;
  runtime->state = std::make_shared<CompanionState>(runtime->io.get_executor(), std::move(services), env.stagingDir);
  runtime->signals.async_wait([runtime](const std::error_code& ec, int) {
    if (!ec) runtime->stopOnState();
  });
  asio::post(runtime->io, [runtime, &env] {
    watchListening(runtime.get(), env);
    runtime->state->start();
  });

  if (tray) {
    std::thread stateThread([runtime] { runtime->io.run(); });
    int status;
    {
      TrayLaunch launch;
      launch.state = runtime->state;
      launch.quit = [runtime] { asio::post(runtime->io, [runtime] { runtime->stopOnState(); }); };
      launch.showPanel = showPanel;
      launch.platforms = platforms;
      if (!options.listenAddress.empty()) launch.restartArguments = {"--listen", options.listenAddress};
      if (auto store = env.pairing) launch.pairingJSON = [store] { return pairingJSON(*store, false); };
      status = tray->run(launch);
    }
    if (status >= 0) {
      asio::post(runtime->io, [runtime] { runtime->stopOnState(); });
      stateThread.join();
      runtime->state.reset();
      closeStores(env);
      finishProcess(status);
    }
    logLine(status == kNoDisplay ? "Tavlo: cannot open the display; running headless"
                                 : "Tavlo: no system tray available; running headless");
    stateThread.join();  // keeps serving until SIGINT/SIGTERM
    runtime->state.reset();
    closeStores(env);
    finishProcess(kExitOk);
  }
  if (!headless) logLine("Tavlo: " + noTray + "; running headless");
  runtime->io.run();
  runtime->state.reset();
  closeStores(env);
  finishProcess(kExitOk);
}

}  // namespace tavlo
