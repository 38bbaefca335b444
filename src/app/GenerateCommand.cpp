// `generate`: what POST /generate does, once: choose the model, run it, write
// the pack and print the reply body.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "app/Commands.hpp"
#include "app/ModelChoice.hpp"
#include "app/Services.hpp"
#include "core/CompanionState.hpp"
#include "text/JSONText.hpp"
#include "pack/PackReply.hpp"
#include "pack/TavloPackWriter.hpp"
#include "platform/Async.hpp"
#include "platform/ProcessRunner.hpp"
#include "providers/LLMRunner.hpp"

namespace tavlo {
namespace {

constexpr const char* kNoModelText = "⚠️ No model selected on the Mac companion. Open the menu bar and pick one.";

int print(const nlohmann::json& reply, int status) {
  const std::string body = writeCompactJSON(reply) + "\n";
  std::fwrite(body.data(), 1, body.size(), stdout);
  std::fflush(stdout);
  return status;
}

// Whichever comes first, the model's answer or SIGINT/SIGTERM, decides what is printed.
std::mutex outcomeMutex;
bool outcomeDecided = false;

// On a terminal, one line on stderr says what is running while the model
// works; it is erased before anything else is printed. Call with outcomeMutex held.
bool liveLineShown = false;
void showLiveLine(const std::string& modelID, std::chrono::seconds elapsed) {
  const std::string line = "\r\u23f3 " + modelID + " \u2014 " + std::to_string(elapsed.count()) + " s";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  liveLineShown = true;
}
void eraseLiveLine() {
  if (!liveLineShown) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  liveLineShown = false;
}

// Ctrl-C or SIGTERM while the model runs: the tool runs in a process group of its
// own, so the terminal's signal does not reach it. End it (its scratch folder
// goes with it), print the failure reply and exit 1. Once the answer is in,
// the pack is written and printed as usual.
void stopOnSignal(sigset_t signals, std::string label) {
  std::thread([signals, label = std::move(label)] {
    int sig = 0;
    if (::sigwait(&signals, &sig) != 0) return;
    {
      std::lock_guard lock(outcomeMutex);
      if (outcomeDecided) return;
      outcomeDecided = true;
      eraseLiveLine();
    }
    stopAllProcesses();
    waitForProcesses(std::chrono::seconds(2));
    print(failureReply(label, std::string("stopped: interrupted by ") + (sig == SIGINT ? "SIGINT" : "SIGTERM")), 0);
    finishProcess(kExitFailed);
  }).detach();
}

}  // namespace

int runGenerateCommand(const std::vector<std::string>& args) {
  std::optional<std::string> modelID, staging, prompt;
  bool optionsDone = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (!optionsDone && arg == "--") {
      optionsDone = true;
      continue;
    }
    if (!optionsDone && arg.starts_with("--")) {
      std::optional<std::string> value;
      if (auto eq = arg.find('='); eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg.resize(eq);
      }
      std::optional<std::string>* slot = arg == "--model" ? &modelID : arg == "--staging" ? &staging : nullptr;
      if (!slot) return usageError("generate: unknown option: " + args[i]);
      if (!value) {
        if (i + 1 >= args.size()) return usageError("generate: " + arg + " needs a value");
        value = args[++i];
      }
      *slot = std::move(value);
      continue;
    }
    if (prompt) return usageError("generate: give the prompt as one argument (quote it)");
    prompt = arg;
  }
  if (!prompt || prompt->empty()) return usageError("generate: PROMPT is required");

  std::string stagingProblem;
  const auto stagingDir = stagingFor(staging, stagingProblem);
  if (!stagingDir) return usageError("generate: " + stagingProblem);

  // Blocked before any thread starts, so that every thread inherits the mask
  // and only the waiting thread below receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  ProviderConfig config;
  std::string timeoutProblem;
  if (!toolTimeLimitFromEnvironment(config.toolTimeLimit, timeoutProblem))
    return usageError("generate: " + timeoutProblem);
  std::optional<LLMModel> model;
  if (modelID) {
    model = modelFromID(*modelID);
    if (!model)
      return usageError("generate: model id '" + *modelID +
                        "' must be ollama:NAME, lmstudio:NAME, claude:cli, codex:cli or gemini:NAME");
  } else {
    model = chooseModel(probeAllModelsOnce(config), persistedSelection());
  }
  if (!model) return print({{"ok", false}, {"reply", kNoModelText}}, kExitNoModel);

  const auto label = model->providerLabel();
  stopOnSignal(stopSignals, std::string(label));
  std::promise<Result<std::string>> done;
  auto answer = done.get_future();
  std::thread([done = std::move(done), run = LLMRunner::generate(*prompt, *model, config)]() mutable {
    try {
      done.set_value(runToCompletion(std::move(run)));
    } catch (const std::exception& e) {
      done.set_value(fail(e.what()));
    }
  }).detach();
  const bool live = ::isatty(STDERR_FILENO) == 1;
  const auto started = std::chrono::steady_clock::now();
  for (auto shown = std::chrono::seconds(0);; ++shown) {
    if (live) {
      std::lock_guard lock(outcomeMutex);
      if (!outcomeDecided) showLiveLine(model->id, shown);
    }
    // Paced from the start, so the seconds shown do not drift behind.
    if (answer.wait_until(started + shown + std::chrono::seconds(1)) == std::future_status::ready) break;
  }
  const Result<std::string> result = answer.get();
  {
    std::lock_guard lock(outcomeMutex);
    if (outcomeDecided) {
      // The signal came first: its thread prints the reply and ends the process.
      for (;;) ::pause();
    }
    outcomeDecided = true;
    eraseLiveLine();
  }
  if (!result) return print(failureReply(label, result.error().message), kExitFailed);

  try {  // creates the staging folder, or says why it cannot
    const auto written = TavloPackWriter::writePack(*result, *prompt, model->id, *stagingDir);
    return print(packSuccessReply(written, model->id), kExitOk);
  } catch (const std::exception& e) {
    return print(failureReply(label, e.what()), kExitFailed);
  }
}

}  // namespace tavlo
