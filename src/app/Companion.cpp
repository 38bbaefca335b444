// The companion itself: the state on its own io_context, the server, the
// refresh, and (when a tray exists) the Qt shell on the main thread.
#include <systemd/sd-daemon.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "app/Commands.hpp"
#include "app/Services.hpp"
#include "core/CompanionState.hpp"
#include "pack/TavloPackWriter.hpp"
#include "platform/Async.hpp"
#include "platform/Log.hpp"
#include "platform/ProcessRunner.hpp"

#ifdef TAVLO_HAVE_UI
#include "ui/Notifier.hpp"
#include "ui/TavloCompanionApp.hpp"
#endif

namespace tavlo {
namespace {

// How long a stopping companion gives waiting requests their replies and tools their end.
constexpr std::chrono::milliseconds kStopLimit{1500};

// Runs the state's io_context until SIGINT/SIGTERM or `stop`.
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
      state->stopGracefully(kStopLimit, finish);
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

}  // namespace

int runCompanion(bool headless, bool showPanel) {
  auto env = CompanionEnvironment::resolve();
  if (!env.error.empty()) {
    std::cerr << "tavlo-companion: " << env.error << std::endl;
    return kExitFailed;
  }

  // Packs that a killed companion left half-written in hidden folders go now,
  // off the path to listening.
  asio::post(workerPool(), [staging = env.stagingDir] { TavloPackWriter::removeLeftovers(staging); });

  auto runtime = std::make_shared<StateThread>();
  auto services = makeServices(env);
#ifdef TAVLO_HAVE_UI
  services.packWritten = [](const std::string& name, const std::string& summary) { notifyPackWritten(name, summary); };
#endif
  runtime->state = std::make_shared<CompanionState>(runtime->io.get_executor(), std::move(services), env.stagingDir);
  runtime->signals.async_wait([runtime](const std::error_code& ec, int) {
    if (!ec) runtime->stopOnState();
  });
  asio::post(runtime->io, [runtime] {
    runtime->state->start();
    const auto& state = *runtime->state;
    if (state.serverRunning()) {
      sd_notify(0, "READY=1");
    } else {
      // Without this line a headless companion on a busy port would sit there silently.
      logLine("Tavlo companion could not listen on :" + std::to_string(state.serverPort()) + ": " +
              state.lastError().value_or("unknown error"));
    }
  });

#ifdef TAVLO_HAVE_UI
  if (!headless) {
    std::thread stateThread([runtime] { runtime->io.run(); });
    if (auto store = env.pairing) setPairingSource([store] { return pairingJSON(*store, false); });
    int argc = 1;
    char name[] = "tavlo-companion";
    char* argv[] = {name, nullptr};
    int status = runTrayApp(argc, argv, runtime->state, [runtime] {
      asio::post(runtime->io, [runtime] { runtime->stopOnState(); });
    }, showPanel);
    if (status >= 0) {
      asio::post(runtime->io, [runtime] { runtime->stopOnState(); });
      stateThread.join();
      runtime->state.reset();
  closeStores(env);
      finishProcess(status);
    }
    logLine("Tavlo: no system tray available; running headless");
    stateThread.join();  // keeps serving until SIGINT/SIGTERM
    runtime->state.reset();
  closeStores(env);
    finishProcess(kExitOk);
  }
#else
  if (!headless) logLine("Tavlo: built without a tray; running headless");
  (void)showPanel;
#endif
  runtime->io.run();
  runtime->state.reset();
  closeStores(env);
  finishProcess(kExitOk);
}

}  // namespace tavlo
