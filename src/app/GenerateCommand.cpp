// `generate`: the generate pipeline of POST /generate (core/Generate) from the
// command line. It parses its arguments, runs the pipeline on a loop of its own
// on the main thread, prints the reply body (readable on a terminal) and maps
// its status to the exit code. SIGINT/SIGTERM are that loop's too.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "app/Commands.hpp"
#include "app/ModelChoice.hpp"
#include "app/Services.hpp"
#include "core/Generate.hpp"
#include "platform/Async.hpp"
#include "platform/Cancellation.hpp"
#include "platform/ProcessRunner.hpp"
#include "platform/Result.hpp"
#include "providers/OllamaProbe.hpp"
#include "text/UnicodeText.hpp"

namespace tavlo {
namespace {

struct GenerateOptions {
  std::optional<std::string> modelID, staging, prompt;
  bool json = false;  // --json: the reply's JSON even on a terminal
};

// The options and the prompt, or the usage error's text.
Result<GenerateOptions> parseArguments(const std::vector<std::string>& args) {
  GenerateOptions o;
  bool optionsDone = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (!optionsDone && arg == "--") {
      optionsDone = true;
      continue;
    }
    if (!optionsDone && arg == "--json") {
      o.json = true;
      continue;
    }
    if (!optionsDone && arg.starts_with("--")) {
      std::optional<std::string> value;
      if (auto eq = arg.find('='); eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg.resize(eq);
      }
      std::optional<std::string>* slot = arg == "--model" ? &o.modelID : arg == "--staging" ? &o.staging : nullptr;
      if (!slot) return fail("generate: unknown option: " + args[i]);
      if (!value) {
        if (i + 1 >= args.size()) return fail("generate: " + arg + " needs a value");
        value = args[++i];
      }
      *slot = std::move(value);
      continue;
    }
    if (o.prompt) return fail("generate: give the prompt as one argument (quote it)");
    o.prompt = arg;
  }
  if (!o.prompt || o.prompt->empty()) return fail("generate: PROMPT is required");
  return o;
}

// For a person at a terminal: the reply's text, then the pack's folder and its
// files one per line with their sizes; a failure's text goes to stderr.
void printReadable(const HTTPResponse& reply) {
  const auto body = nlohmann::json::parse(reply.body, nullptr, false);
  auto member = [&](const char* key) -> const nlohmann::json* {
    if (!body.is_object()) return nullptr;
    const auto it = body.find(key);
    return it == body.end() ? nullptr : &*it;
  };
  const auto* replyText = member("reply");
  const std::string text = replyText && replyText->is_string() ? replyText->get<std::string>() : reply.body;
  if (reply.status != 200) {
    std::fprintf(stderr, "%s\n", text.c_str());
    return;
  }
  const auto* path = member("pack_path");
  std::printf("%s\n\n%s\n", text.c_str(), path && path->is_string() ? path->get_ref<const std::string&>().c_str() : "");
  const auto* files = member("files");
  if (!files || !files->is_object()) return;
  for (const auto& [name, content] : files->items()) {
    const auto size = content.is_string() ? content.get_ref<const std::string&>().size() : 0;
    std::printf("  %s  %s\n", name.c_str(), OllamaProbe::formatFileSize(static_cast<std::int64_t>(size)).c_str());
  }
}

// The reply body on stdout (or, on a terminal, its readable form); the exit
// status its HTTP status stands for.
bool readableOutput = false;
int print(const HTTPResponse& reply) {
  if (readableOutput) {
    printReadable(reply);
  } else {
    const std::string body = reply.body + "\n";
    std::fwrite(body.data(), 1, body.size(), stdout);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  return reply.status == 200 ? kExitOk : reply.status == 503 ? kExitNoModel : kExitFailed;
}

// On a terminal, one line on stderr says what is running while the model
// works; it is erased before anything else is printed, and not shown again.
bool liveLineShown = false, liveLineOver = false;
void showLiveLine(const std::string& modelID, std::chrono::seconds elapsed, const std::string& words) {
  std::string line = "\r\u23f3 " + modelID + " \u2014 " + std::to_string(elapsed.count()) + " s";
  // The tool's own last words, cut to the terminal's width so that the line
  // never wraps (a wrapped line could not be redrawn in place); the rest of
  // a longer line shown before is cleared.
  if (!words.empty()) {
    winsize size{};
    const long columns = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col ? size.ws_col : 80;
    // Shown so far: the emoji (two columns), model, seconds and spacing; then " — " and the words.
    const long room = columns - 1 - static_cast<long>(modelID.size() + std::to_string(elapsed.count()).size()) - 11;
    if (room > 0) line += " \u2014 " + std::string(graphemePrefix(words, static_cast<std::size_t>(room)));
    line += "\033[K";
  }
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  liveLineShown = true;
}
void eraseLiveLine() {
  liveLineOver = true;
  if (!liveLineShown) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  liveLineShown = false;
}

// The live line, once a second (paced from the start, so the seconds shown do
// not drift behind) until the run ends and cancels the timer.
asio::awaitable<void> tickLiveLine(std::shared_ptr<asio::steady_timer> timer, std::string modelID,
                                   std::shared_ptr<const Cancellation> progress) {
  const auto started = std::chrono::steady_clock::now();
  for (auto shown = std::chrono::seconds(0);; ++shown) {
    if (liveLineOver) co_return;
    showLiveLine(modelID, shown, progress->lastWords());
    timer->expires_at(started + shown + std::chrono::seconds(1));
    std::error_code ec;
    co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return;
  }
}

// Ctrl-C or SIGTERM while the model runs: the tool runs in a process group of
// its own, so the terminal's signal does not reach it. End it (its scratch
// folder goes with it) and answer with the failure reply (exit 1). The signals
// were blocked since the command started: they reach this loop from here on,
// and once the answer is in they are blocked again while the pack is written.
struct StopSignals {
  explicit StopSignals(const asio::any_io_executor& executor, const sigset_t& set) : set(set), signals(executor) {
    signals.add(SIGINT);
    signals.add(SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  }
  ~StopSignals() { pthread_sigmask(SIG_BLOCK, &set, nullptr); }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  sigset_t set;
  asio::signal_set signals;
  int received = 0;
};

// The model's run as the command watches it: the live line on a terminal, and
// SIGINT/SIGTERM ending it.
asio::awaitable<ModelAnswer> watchedRun(CompanionServices::RunModel runModel, std::string prompt, LLMModel model,
                                        bool live, sigset_t stopSignals) {
  const auto executor = co_await asio::this_coro::executor;
  std::shared_ptr<asio::steady_timer> liveLine;
  auto run = std::make_shared<Cancellation>();
  if (live) {
    liveLine = std::make_shared<asio::steady_timer>(executor);
    asio::co_spawn(executor, tickLiveLine(liveLine, model.id, run), logFailure("live line stopped"));
  }
  StopSignals stop(executor, stopSignals);
  stop.signals.async_wait([stop = &stop, run](const std::error_code& ec, int sig) {
    if (ec) return;  // cancelled: `stop` may be gone
    stop->received = sig;
    stopAllProcesses();
    run->cancel();
  });
  ModelAnswer answer = co_await runModel(std::move(prompt), std::move(model), run);
  if (liveLine) liveLine->cancel();
  eraseLiveLine();
  if (!stop.received) co_return answer;
  waitForProcesses(std::chrono::seconds(2));
  co_return fail(std::string("stopped: interrupted by ") + (stop.received == SIGINT ? "SIGINT" : "SIGTERM"));
}

// Runs the pipeline to its reply on this thread. While the model runs, the
// signals are watched and the live line is shown for it.
HTTPResponse runPipeline(GenerateRequest request, const std::filesystem::path& stagingDir,
                         const ProviderConfig& config, sigset_t stopSignals) {
  CompanionServices services;
  installModelServices(services, config);
  GenerateSteps steps;
  steps.run = [runModel = services.runModel, live = ::isatty(STDERR_FILENO) == 1, stopSignals](std::string prompt,
                                                                                                LLMModel model) {
    return watchedRun(runModel, std::move(prompt), std::move(model), live, stopSignals);
  };
  steps.stagingDir = stagingDir;
  return runToCompletion(generate(std::move(request), std::move(steps)));
}

}  // namespace

int runGenerateCommand(const std::vector<std::string>& args) {
  auto options = parseArguments(args);
  if (!options) return usageError(options.error().message);
  // As `models` decides: JSON when piped or asked for.
  readableOutput = !options->json && ::isatty(STDOUT_FILENO) == 1;
  const auto stagingDir = stagingFor(options->staging);
  if (!stagingDir) return usageError("generate: " + stagingDir.message());

  // Blocked before any thread starts, so that every thread inherits the mask
  // and only this one receives them, once the model runs (see StopSignals).
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  const auto config = providerConfigFromEnvironment();
  if (!config) return usageError("generate: " + config.message());
  GenerateRequest request{*options->prompt, std::nullopt, {}, {}};
  if (options->modelID) {
    request.model = modelFromID(*options->modelID);
    if (!request.model)
      return usageError("generate: model id '" + *options->modelID +
                        "' must be ollama:NAME, lmstudio:NAME, claude:cli, codex:cli or gemini:NAME");
  } else {
    request.listed = probeAllModelsOnce(*config);
    request.selectedID = persistedSelection();
  }
  return print(runPipeline(std::move(request), *stagingDir, *config, stopSignals));
}

}  // namespace tavlo
