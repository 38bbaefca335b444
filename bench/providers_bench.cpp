// The runner's own cost against instant fake back ends, and many calls
// waiting together on a slow one.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "support/FakeHttpServer.hpp"
#include "platform/Async.hpp"
#include "platform/HttpClient.hpp"
#include "platform/ProcessRunner.hpp"
#include "providers/LLMRunner.hpp"

namespace {

using namespace tavlo;
using namespace std::chrono_literals;
using tavlo::testing::FakeHttpServer;
using tavlo::testing::FakeReply;
using tavlo::testing::FakeRequest;

const LLMModel kOllama{"ollama:m", LLMModel::Provider::ollama, "m", std::nullopt};
const LLMModel kClaude{"claude:cli", LLMModel::Provider::claude, "Claude (CLI)", std::nullopt};

Result<std::string> runOnce(const ProviderConfig& config, const LLMModel& model) {
  return runToCompletion(LLMRunner::generate("make a button", model, config));
}

void BM_OllamaChatInstantBackend(benchmark::State& state) {
  FakeHttpServer server([](const FakeRequest&) { return FakeReply{.body = R"({"message":{"content":"{}"}})"}; });
  ProviderConfig config;
  config.ollamaURL = server.baseURL();
  for (auto _ : state) {
    auto r = runOnce(config, kOllama);
    if (!r) state.SkipWithError(r.error().message.c_str());
  }
}
BENCHMARK(BM_OllamaChatInstantBackend)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_HttpClientInstantBackend(benchmark::State& state) {
  FakeHttpServer server([](const FakeRequest&) { return FakeReply{.body = "{}"}; });
  HttpClient& client = HttpClient::shared();
  for (auto _ : state) {
    FetchRequest request;
    request.url = server.baseURL() + "/";
    benchmark::DoNotOptimize(runToCompletion(client.send(std::move(request))));
  }
}
BENCHMARK(BM_HttpClientInstantBackend)->UseRealTime()->Unit(benchmark::kMicrosecond);

// A whole claude run of a tool that exits at once, unsealed (argument 0) and
// sealed in bubblewrap (1): the seal's cost per start, as median and p99.
void BM_ToolStartInstantTool(benchmark::State& state) {
  char tmpl[] = "/tmp/tavlo-bench-XXXXXX";
  std::filesystem::path root = ::mkdtemp(tmpl);
  std::filesystem::create_directories(root / "usr/local/bin");
  std::filesystem::copy_file("/bin/true", root / "usr/local/bin/claude");
  ProviderConfig config;
  config.rootDirectory = root.string();
  config.homeDirectory = (root / "home").string();
  config.sealTools = state.range(0) == 1;
  std::vector<double> ms;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    auto r = runOnce(config, kClaude);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    if (!r) state.SkipWithError(r.error().message.c_str());
  }
  std::sort(ms.begin(), ms.end());
  if (!ms.empty()) {
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  }
  std::filesystem::remove_all(root);
}
BENCHMARK(BM_ToolStartInstantTool)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The process runner alone on /bin/true: pipes, spawn, drain, reap. Read it
// against the bare spawn below, taken in the same run.
void BM_RunnerSpawnTrue(benchmark::State& state) {
  for (auto _ : state) {
    auto r = runProcess({.executable = "/bin/true"});
    if (!r || r->exitStatus != 0) state.SkipWithError(r ? "exit status not 0" : r.error().message.c_str());
  }
}
BENCHMARK(BM_RunnerSpawnTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The same with the tools' scratch folder, as every model run gets.
void BM_RunnerSpawnTrueInScratchFolder(benchmark::State& state) {
  for (auto _ : state) {
    auto r = runProcess({.executable = "/bin/true", .scratchDirectory = true});
    if (!r || r->exitStatus != 0) state.SkipWithError(r ? "exit status not 0" : r.error().message.c_str());
  }
}
BENCHMARK(BM_RunnerSpawnTrueInScratchFolder)->UseRealTime()->Unit(benchmark::kMicrosecond);

// What the machine itself needs to start and reap /bin/true: the floor under the tool benchmarks.
void BM_BarePosixSpawnBaseline(benchmark::State& state) {
  char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
  for (auto _ : state) {
    pid_t pid = 0;
    int status = 0;
    if (::posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) == 0) ::waitpid(pid, &status, 0);
  }
}
BENCHMARK(BM_BarePosixSpawnBaseline)->UseRealTime()->Unit(benchmark::kMicrosecond);

asio::awaitable<void> countAnswer(asio::awaitable<Result<std::string>> run, int& ok) {
  Result<std::string> answer = co_await std::move(run);
  ok += answer.ok();
}

// 64 chat calls at once against a back end that answers each after one second.
void BM_SixtyFourCallsSlowBackend(benchmark::State& state) {
  FakeHttpServer server([](const FakeRequest&) { return FakeReply{.body = R"({"message":{"content":"{}"}})", .delay = 1s}; });
  ProviderConfig config;
  config.ollamaURL = server.baseURL();
  for (auto _ : state) {
    asio::io_context io;
    int ok = 0;
    for (int i = 0; i < 64; ++i)
      asio::co_spawn(io, countAnswer(LLMRunner::generate("x", kOllama, config), ok), asio::detached);
    io.run();
    if (ok != 64) state.SkipWithError("not every call succeeded");
  }
}
BENCHMARK(BM_SixtyFourCallsSlowBackend)->UseRealTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
