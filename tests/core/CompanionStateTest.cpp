// The state driven directly: fake probes, a fake runner, the real pack writer
// on temp folders, no network.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "support/TestSupport.hpp"
#include "core/CompanionState.hpp"
#include "core/RequestPolicy.hpp"
#include "pack/PackReply.hpp"
#include "pack/TavloPackWriter.hpp"
#include "platform/Async.hpp"
#include "platform/Cancellation.hpp"
#include "platform/KvStore.hpp"
#include "platform/Log.hpp"
#include "pairing/PairingStore.hpp"

namespace tavlo {
namespace {

namespace fs = std::filesystem;
using Models = std::vector<LLMModel>;

LLMModel ollama(const std::string& name) { return {"ollama:" + name, LLMModel::Provider::ollama, name, "4.7 GB"}; }
LLMModel lmstudio(const std::string& name) { return {"lmstudio:" + name, LLMModel::Provider::lmstudio, name, {}}; }
LLMModel codex() { return {"codex:cli", LLMModel::Provider::codex, "Codex (CLI)", "OpenAI Codex login"}; }

using testing::TempDir;

template <class T>
T runAwaitable(asio::io_context& io, asio::awaitable<T> a) {
  auto future = asio::co_spawn(io, std::move(a), asio::use_future);
  while (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    io.restart();
    io.run_for(std::chrono::milliseconds(5));
  }
  return future.get();
}

HTTPRequest request(std::string method, std::string path, std::string body = {}) {
  HTTPRequest r;
  r.method = std::move(method);
  r.path = std::move(path);
  r.body = std::move(body);
  return r;
}

nlohmann::json bodyOf(const HTTPResponse& r) { return nlohmann::json::parse(r.body); }

const char* kAnswer = R"({"name":"Demo","summary":"Two scripts","userscripts":[{"filename":"a.js","body":"1"}]})";

struct Fixture : ::testing::Test {
  asio::io_context io;
  TempDir tmp;
  Models ollamaModels{ollama("llama3:8b"), ollama("qwen3-coder")};
  Models lmstudioModels{lmstudio("mistral")};
  Models cliModels;
  TailscaleStatus tailscale = TailscaleStatus::stopped();
  std::string answer = kAnswer;
  bool modelFails = false;
  std::vector<std::string> opened;
  std::vector<std::pair<std::string, std::string>> published;  // host, tailscale ip
  std::atomic<int> ollamaCalls{0};
  // When set, model runs wait here (prompt, reply) until the test answers them.
  bool holdRuns = false;
  std::vector<std::pair<std::string, std::function<void(ModelAnswer)>>> heldRuns;
  std::vector<std::shared_ptr<Cancellation>> cancels;  // each run's, in start order
  std::shared_ptr<KvStore> defaults;
  std::shared_ptr<CompanionState> state;

  // Store writes posted by the state finish before its io_context goes.
  ~Fixture() override { drainStoreWrites(std::chrono::seconds(10)); }

  CompanionServices services() {
    CompanionServices s;
    s.tailscaleProbe = [this]() -> asio::awaitable<TailscaleStatus> { co_return tailscale; };
    s.ollamaProbe = [this]() -> asio::awaitable<Models> {
      ++ollamaCalls;
      asio::steady_timer slow(co_await asio::this_coro::executor, std::chrono::milliseconds(20));
      co_await slow.async_wait(asio::use_awaitable);
      co_return ollamaModels;
    };
    s.lmstudioProbe = [this]() -> asio::awaitable<Models> { co_return lmstudioModels; };
    s.cliProbe = [this]() -> asio::awaitable<Models> { co_return cliModels; };
    s.runModel = [this](std::string prompt, LLMModel,
                        std::shared_ptr<Cancellation> cancel) -> asio::awaitable<ModelAnswer> {
      cancels.push_back(cancel);
      if (holdRuns)
        return awaitCallback<ModelAnswer>([this, prompt](std::function<void(ModelAnswer)> done) {
          heldRuns.emplace_back(prompt, std::move(done));
        });
      return [](bool fails, std::string text) -> asio::awaitable<ModelAnswer> {
        if (fails) co_return fail("Ollama not reachable");
        co_return text;
      }(modelFails, answer);
    };
    s.writePack = [](const std::string& text, const std::string& prompt, const std::string& id, const fs::path& dir) {
      fs::create_directories(dir);
      auto result = TavloPackWriter::writePack(text, prompt, id, dir);
      return PackOutcome{true, packSuccessReply(result, id), {}, result.name, result.summary};
    };
    s.hostName = [] { return std::string("Desk"); };
    s.lanIP = [] { return std::optional<std::string>("192.168.1.20"); };
    s.open = [this](std::string where) { opened.push_back(where); };
    s.publishPairing = [this](std::string host, auto, std::optional<std::string> tsIP, auto, std::int64_t) {
      published.emplace_back(host, tsIP.value_or(""));
    };
    s.defaults = defaults;
    return s;
  }

  void make() {
    if (!defaults) defaults = std::make_shared<KvStore>(tmp.path() / "state" / "defaults.sqlite3");
    state = std::make_shared<CompanionState>(io.get_executor(), services(), tmp.path() / "staging" / "deep");
  }
  void refresh() { runAwaitable(io, state->tick()); }
  HTTPResponse route(HTTPRequest r) { return runAwaitable(io, state->route(std::move(r))); }
  // Selection writes go through the worker pool; wait until one landed.
  std::optional<std::string> storedSelection(const std::string& expected) {
    for (int i = 0; i < 400 && defaults->getString(CompanionState::kSelectedModelKey) != expected; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return defaults->getString(CompanionState::kSelectedModelKey);
  }
};

// The status and the policy's refusals come from the network thread alone: a
// busy state thread (a long refresh, a queue of runs) never holds them up.
TEST_F(Fixture, StatusAndRefusalsNeedNoStateThread) {
  make();
  refresh();
  const auto handler = state->makeHandler();
  asio::io_context network;  // the state's io_context does not run meanwhile
  auto answer = [&](HTTPRequest r) -> std::optional<HTTPResponse> {
    r.peerAddress = "127.0.0.1";
    auto future = asio::co_spawn(network, handler(std::move(r)), asio::use_future);
    network.restart();
    network.run_for(std::chrono::seconds(2));
    // The future is set from asio's system executor, a moment after the run.
    if (future.wait_for(std::chrono::seconds(2)) != std::future_status::ready) return std::nullopt;
    return future.get();
  };
  const auto status = answer(request("GET", "/health"));
  ASSERT_TRUE(status);
  EXPECT_EQ(status->body, route(request("GET", "/health")).body);
  state->selectModel(lmstudio("mistral"));
  EXPECT_EQ(bodyOf(*answer(request("GET", "/")))["selected_model"], "lmstudio:mistral");
  auto page = request("GET", "/models");
  page.headers["origin"] = "https://example.com";
  const auto refused = answer(page);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 403);
}

TEST_F(Fixture, StatusReplyAndItsAliases) {
  make();
  auto r = route(request("GET", "/health"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(bodyOf(r), (nlohmann::json{{"ok", true},
                                       {"service", "tavlo-companion"},
                                       {"hostname", "Desk"},
                                       {"tailscale_ip", ""},
                                       {"selected_model", ""},
                                       {"staging", (tmp.path() / "staging" / "deep").string()}}));
  EXPECT_EQ(route(request("GET", "/")).body, r.body);
  tailscale = TailscaleStatus::connected("100.64.0.7", std::nullopt);
  refresh();
  EXPECT_EQ(bodyOf(route(request("GET", "/health")))["tailscale_ip"], "100.64.0.7");
  for (auto [m, p] : {std::pair{"HEAD", "/health"}, {"get", "/health"}, {"GET", "/health/"}, {"POST", "/models"},
                      {"GET", "/generate"}}) {
    auto nf = route(request(m, p));
    EXPECT_EQ(nf.status, 404) << m << " " << p;
    EXPECT_EQ(nf.body, R"({"error":"not found","ok":false})");
  }
}

TEST_F(Fixture, ModelListOrderSelectionAndPersistence) {
  cliModels = {codex()};
  make();
  EXPECT_EQ(bodyOf(route(request("GET", "/models"))), (nlohmann::json{{"ok", true}, {"models", nlohmann::json::array()}}));
  refresh();
  // Auto-selection takes the first model: command-line tools come first.
  EXPECT_EQ(state->selectedModelID(), "codex:cli");
  auto models = bodyOf(route(request("GET", "/models")))["models"];
  ASSERT_EQ(models.size(), 4u);
  EXPECT_EQ(models[0]["id"], "codex:cli");
  EXPECT_EQ(models[0]["selected"], true);
  EXPECT_EQ(models[1]["id"], "ollama:llama3:8b");
  EXPECT_EQ(models[1]["subtitle"], "4.7 GB");
  EXPECT_EQ(models[3]["provider"], "lmstudio");
  EXPECT_EQ(models[3]["subtitle"], "");

  for (auto body : {"", "[1]", R"({"id":5})", R"({"name":"x"})"}) {
    auto r = route(request("POST", "/models/active", body));
    EXPECT_EQ(r.status, 400) << body;
    EXPECT_EQ(bodyOf(r)["error"], "missing id");
  }
  auto unknown = route(request("POST", "/models/active", R"({"id":"ollama:nope"})"));
  EXPECT_EQ(bodyOf(unknown), (nlohmann::json{{"ok", false}, {"error", "unknown model id"}}));
  EXPECT_EQ(state->selectedModelID(), "codex:cli");

  auto ok = route(request("POST", "/models/active", R"({"id":"lmstudio:mistral"})"));
  EXPECT_EQ(ok.body, R"({"id":"lmstudio:mistral","ok":true})");
  EXPECT_EQ(storedSelection("lmstudio:mistral"), "lmstudio:mistral");

  // A new state on the same store restores the choice, and the refresh keeps it.
  state.reset();
  make();
  state->start();
  EXPECT_EQ(state->selectedModelID(), "lmstudio:mistral");
  lmstudioModels.clear();
  refresh();
  EXPECT_EQ(state->selectedModelID(), "lmstudio:mistral");
  EXPECT_FALSE(state->selectedModel());
  state->shutdown();
}

TEST_F(Fixture, GenerateWritesPackAndReplies) {
  make();
  refresh();
  for (auto body : {"", R"({"prompt":""})", R"({"prompt":3})", "null"}) {
    auto r = route(request("POST", "/generate", body));
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(bodyOf(r)["error"], "missing prompt");
  }
  auto r = route(request("POST", "/generate", R"({"prompt":" "})"));
  ASSERT_EQ(r.status, 200) << r.body;
  auto body = bodyOf(r);
  EXPECT_EQ(body["model"], "ollama:llama3:8b");
  EXPECT_EQ(body["summary"], "Two scripts");
  EXPECT_EQ(body["reply"], "📦 Pack '" + body["pack_name"].get<std::string>() +
                               "' written.\n\nTwo scripts\n\nOpen Tavlo → Packs to apply.");
  EXPECT_TRUE(fs::exists(fs::path(body["pack_path"].get<std::string>()) / "manifest.json"));
  EXPECT_EQ(body["files"].size(), 2u);
  EXPECT_TRUE(body["files"].contains("userscripts/a.user.js"));
  ASSERT_EQ(state->recentRequests().size(), 1u);
  EXPECT_EQ(state->recentRequests()[0].prompt, " ");
}

TEST_F(Fixture, GenerateFailuresNameTheProvider) {
  ollamaModels.clear();
  lmstudioModels.clear();
  make();
  refresh();
  auto none = route(request("POST", "/generate", R"({"prompt":"x"})"));
  EXPECT_EQ(none.status, 503);
  EXPECT_EQ(bodyOf(none)["reply"], "⚠️ No model selected on the Mac companion. Open the menu bar and pick one.");
  EXPECT_TRUE(state->recentRequests().empty());

  lmstudioModels = {lmstudio("m")};
  refresh();
  modelFails = true;
  auto failed = route(request("POST", "/generate", R"({"prompt":"x"})"));
  EXPECT_EQ(failed.status, 500);
  EXPECT_EQ(failed.body, R"({"ok":false,"reply":"⚠️ LM Studio failed: Ollama not reachable"})");
  EXPECT_EQ(state->recentRequests().size(), 1u);

  modelFails = false;
  answer = "no json here";
  auto bad = bodyOf(route(request("POST", "/generate", R"({"prompt":"x"})")));
  EXPECT_EQ(bad["reply"], "⚠️ LM Studio failed: Model output did not contain JSON: no json here");
}

// Two model runs at once, sixteen requests waiting in order behind them, the rest
// refused as busy; stopping answers every request still waiting with the 500 reply.
TEST_F(Fixture, ModelRunsQueueInOrderAndStoppingAnswersEveryWaitingRequest) {
  make();
  refresh();
  holdRuns = true;
  std::vector<std::future<HTTPResponse>> replies;
  for (int i = 0; i < 20; ++i)
    replies.push_back(asio::co_spawn(
        io, state->route(request("POST", "/generate", R"({"prompt":")" + std::to_string(i) + R"("})")),
        asio::use_future));
  auto settle = [&] {
    for (int i = 0; i < 20; ++i) io.restart(), io.run_for(std::chrono::milliseconds(2));
  };
  auto ready = [&](std::size_t i) { return replies[i].wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
  settle();
  ASSERT_EQ(heldRuns.size(), 2u);
  for (std::size_t i = 0; i < 18; ++i) EXPECT_FALSE(ready(i)) << i;
  for (std::size_t i : {18u, 19u}) {
    ASSERT_TRUE(ready(i));
    auto busy = replies[i].get();
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.body, R"({"ok":false,"reply":"⚠️ The companion is busy: 16 requests are waiting. Try again shortly."})");
  }
  // A finished run lets the oldest waiting request in, whatever the outcome.
  heldRuns[1].second(fail("boom"));
  settle();
  ASSERT_TRUE(ready(1));
  EXPECT_EQ(bodyOf(replies[1].get())["reply"], "⚠️ Ollama failed: boom");
  ASSERT_EQ(heldRuns.size(), 3u);
  EXPECT_EQ(heldRuns[2].first, "2");
  EXPECT_EQ(bodyOf(route(request("GET", "/health")))["ok"], true);

  bool stopped = false;
  state->stopGracefully(std::chrono::seconds(2), [&] { stopped = true; });
  settle();
  EXPECT_TRUE(stopped);
  for (std::size_t i : {0u, 2u, 10u, 17u}) {
    ASSERT_TRUE(ready(i)) << i;
    auto r = replies[i].get();
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.body, R"({"ok":false,"reply":"⚠️ Ollama failed: stopped: the companion is shutting down"})");
  }
  // A run that ends after the stop changes nothing; a late request is answered the same way.
  heldRuns[0].second(ModelAnswer(answer));
  settle();
  EXPECT_EQ(heldRuns.size(), 3u);
  EXPECT_EQ(route(request("POST", "/generate", R"({"prompt":"late"})")).status, 500);
}

TEST_F(Fixture, StoppingFromThePanelAnswersARunningOrWaitingRequestAtOnce) {
  make();
  refresh();
  holdRuns = true;
  std::vector<std::future<HTTPResponse>> replies;
  for (const char* prompt : {"a", "b", "c"})
    replies.push_back(asio::co_spawn(
        io, state->route(request("POST", "/generate", std::string(R"({"prompt":")") + prompt + R"("})")),
        asio::use_future));
  auto settle = [&] {
    for (int i = 0; i < 20; ++i) io.restart(), io.run_for(std::chrono::milliseconds(2));
  };
  auto ready = [&](std::size_t i) { return replies[i].wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
  settle();
  auto running = state->snapshot().runningRequests;
  ASSERT_EQ(running.size(), 3u);
  EXPECT_EQ(running[0].prompt, "a");
  EXPECT_EQ(running[2].modelID, "ollama:llama3:8b");
  EXPECT_EQ(std::vector<bool>({running[0].waiting, running[1].waiting, running[2].waiting}),
            std::vector<bool>({false, false, true}));
  // Stopping answers that request at once with the 500 reply.
  auto stop = [&](std::size_t i) {
    state->stopRequest(running[i].id);
    settle();
    ASSERT_TRUE(ready(i));
    auto reply = replies[i].get();
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(reply.body, R"({"ok":false,"reply":"⚠️ Ollama failed: stopped on the computer"})");
  };
  ASSERT_NO_FATAL_FAILURE(stop(2));  // the waiting one never reaches the model
  ASSERT_NO_FATAL_FAILURE(stop(0));  // the running one is answered before its runner returns, and its run is cancelled
  ASSERT_EQ(cancels.size(), 2u);
  EXPECT_TRUE(cancels[0]->cancelled());
  EXPECT_FALSE(cancels[1]->cancelled());
  ASSERT_EQ(state->runningRequests().size(), 1u);
  EXPECT_EQ(state->runningRequests()[0].prompt, "b");
  // Its runner's late answer changes nothing; unknown ids are ignored.
  heldRuns[0].second(ModelAnswer(answer));
  state->stopRequest(running[0].id);
  state->stopRequest(999);
  heldRuns[1].second(ModelAnswer(answer));
  settle();
  ASSERT_TRUE(ready(1));
  EXPECT_EQ(replies[1].get().status, 200);
  EXPECT_TRUE(state->runningRequests().empty());
  EXPECT_EQ(heldRuns.size(), 2u);
}

TEST_F(Fixture, RecentRequestsKeepTwelveNewestFirst) {
  make();
  for (int i = 0; i < 13; ++i) state->appendRequest("p" + std::to_string(i), "m");
  ASSERT_EQ(state->recentRequests().size(), 12u);
  EXPECT_EQ(state->recentRequests().front().prompt, "p12");
  EXPECT_EQ(state->recentRequests().back().prompt, "p1");
}

TEST_F(Fixture, RefreshPublishesAndDerivesSymbol) {
  make();
  std::vector<StateField> seen;
  state->addObserver([&](StateField f) { seen.push_back(f); });
  refresh();
  EXPECT_EQ(seen, (std::vector<StateField>{StateField::tailscaleStatus, StateField::ollamaModels,
                                           StateField::lmstudioModels, StateField::cliModels,
                                           StateField::selectedModelID}));
  ASSERT_EQ(published.size(), 1u);
  EXPECT_EQ(published[0], (std::pair<std::string, std::string>{"Desk", ""}));
  EXPECT_EQ(state->menuSymbol(), "macbook.and.iphone.slash");
  state->openStagingFolder();
  state->openTavloSite();
  EXPECT_EQ(opened.at(0), (tmp.path() / "staging" / "deep").string());
  EXPECT_EQ(opened.at(1).rfind("https://", 0), 0u);
}

TEST_F(Fixture, OverlappingRefreshesShareOneProbeOfEachKind) {
  make();
  auto a = asio::co_spawn(io, state->tick(), asio::use_future);
  auto b = asio::co_spawn(io, state->tick(), asio::use_future);
  while (a.wait_for(std::chrono::seconds(0)) != std::future_status::ready ||
         b.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    io.restart();
    io.run_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(ollamaCalls.load(), 1);
  EXPECT_EQ(published.size(), 2u);
}

// A busy port: the failure is shown and logged once, the start is tried again
// until it works, and the recovered server clears the error.
TEST_F(Fixture, ServerStartFailureIsRetriedUntilItListens) {
  struct Running : ServerHandle {
    void stop() override {}
  };
  std::vector<std::string> log;
  setLogSink([&](std::string_view line) { log.emplace_back(line); });
  int attempts = 0;
  auto s = services();
  s.listenRetryInterval = std::chrono::milliseconds(5);
  s.startServer = [&](std::uint16_t, RequestHandler) -> std::unique_ptr<ServerHandle> {
    if (++attempts < 4) throw std::runtime_error("Address already in use");
    return std::make_unique<Running>();
  };
  state = std::make_shared<CompanionState>(io.get_executor(), s, tmp.path());
  std::vector<StateField> seen;
  state->addObserver([&](StateField f) {
    if (f == StateField::serverRunning || f == StateField::lastError) seen.push_back(f);
  });
  state->start();
  EXPECT_FALSE(state->serverRunning());
  EXPECT_EQ(state->lastError(), "Address already in use");
  for (int i = 0; i < 2000 && !state->serverRunning(); ++i) io.run_one_for(std::chrono::milliseconds(5));
  EXPECT_TRUE(state->serverRunning());
  EXPECT_FALSE(state->lastError());
  EXPECT_EQ(attempts, 4);
  EXPECT_EQ(seen, (std::vector<StateField>{StateField::lastError, StateField::serverRunning, StateField::lastError,
                                           StateField::serverRunning}));
  EXPECT_EQ(log, (std::vector<std::string>{
                     "Tavlo companion could not listen on :18765: Address already in use; trying again every 5 ms",
                     "Tavlo companion listening on :18765"}));

  // Stopping ends the retries.
  attempts = -100;
  state = std::make_shared<CompanionState>(io.get_executor(), s, tmp.path());
  state->start();
  state->shutdown();
  io.restart();
  io.run_for(std::chrono::milliseconds(50));
  EXPECT_EQ(attempts, -99);
  setLogSink({});
}

struct RecordingServer : ServerHandle {
  std::vector<AdvertisedPresence>* adverts;
  explicit RecordingServer(std::vector<AdvertisedPresence>* a) : adverts(a) {}
  void stop() override {}
  void advertise(const AdvertisedPresence& p) override { adverts->push_back(p); }
};

// A Tailscale tool that takes its time holds neither the start nor any request;
// the advertisement goes out when it answers and follows later address changes.
TEST_F(Fixture, StartServesAtOnceAndAdvertisesWhenTheProbeAnswers) {
  std::vector<AdvertisedPresence> adverts;
  asio::steady_timer gate(io, asio::steady_timer::time_point::max());
  std::optional<std::string> lan = "192.168.1.20";
  make();
  auto s = services();
  s.tailscaleProbe = [&]() -> asio::awaitable<TailscaleStatus> {
    std::error_code ec;
    co_await gate.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    co_return tailscale;
  };
  s.lanIP = [&] { return lan; };
  s.startServer = [&](std::uint16_t, RequestHandler) -> std::unique_ptr<ServerHandle> {
    return std::make_unique<RecordingServer>(&adverts);
  };
  state = std::make_shared<CompanionState>(io.get_executor(), s, tmp.path());
  state->start();
  EXPECT_TRUE(state->serverRunning());
  EXPECT_EQ(route(request("GET", "/health")).status, 200);
  EXPECT_TRUE(adverts.empty());

  tailscale = TailscaleStatus::connected("100.64.0.7", "desk.ts.net");
  gate.expires_at(asio::steady_timer::time_point::min());  // the tool answers, now and from now on
  for (int i = 0; i < 400 && adverts.empty(); ++i) io.run_for(std::chrono::milliseconds(5));
  ASSERT_EQ(adverts.size(), 1u);
  EXPECT_EQ(adverts[0], (AdvertisedPresence{"Desk", "192.168.1.20", tailscale}));
  lan = "10.0.0.9";
  tailscale = TailscaleStatus::stopped();
  refresh();
  ASSERT_EQ(adverts.size(), 2u);
  EXPECT_EQ(adverts[1], (AdvertisedPresence{"Desk", "10.0.0.9", TailscaleStatus::stopped()}));
  state->shutdown();
}

// Another program holds the selection's store at start: the saved choice is
// neither replaced by the auto-selection nor lost, and a choice made meanwhile
// is saved once the lock goes.
TEST_F(Fixture, LockedStoreAtStartKeepsTheSavedChoiceAndSavesNewOnes) {
  for (bool chooseWhileLocked : {false, true}) {
    SCOPED_TRACE(chooseWhileLocked);
    TempDir dir;
    const auto file = dir.path() / "defaults.sqlite3";
    KvStore(file).setString(CompanionState::kSelectedModelKey, "lmstudio:mistral");
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; DELETE FROM kv WHERE 0", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    defaults = std::make_shared<KvStore>(file, std::chrono::milliseconds(1), std::chrono::milliseconds(1));
    make();
    state->start();
    refresh();
    EXPECT_EQ(state->selectedModelID(), "");
    if (chooseWhileLocked) {
      EXPECT_EQ(route(request("POST", "/models/active", R"({"id":"ollama:qwen3-coder"})")).status, 200);
    }
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    const std::string expected = chooseWhileLocked ? "ollama:qwen3-coder" : "lmstudio:mistral";
    // Each refresh tries the store again, off the state thread.
    for (int i = 0; i < 200 && (state->selectedModelID() != expected ||
                                defaults->getString(CompanionState::kSelectedModelKey) != expected);
         ++i) {
      refresh();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(state->selectedModelID(), expected);
    EXPECT_EQ(defaults->getString(CompanionState::kSelectedModelKey), expected);
    state->shutdown();
    state.reset();
    defaults.reset();
  }
}

TEST(StagingDir, FromEnvironmentWithTildesAndTidiedPaths) {
  const char* savedHome = std::getenv("HOME");
  const std::string home = savedHome ? savedHome : "";
  setenv("HOME", "/home/desk", 1);
  for (auto [value, expected] : {std::pair{"", "/home/desk/TavloStaging"}, {"~/packs", "/home/desk/packs"},
                                 {"~", "/home/desk"}, {"/srv/packs/", "/srv/packs"}, {"/srv/./a//b", "/srv/a/b"},
                                 {"~root/packs", "/root/packs"}}) {
    setenv("TAVLO_STAGING", value, 1);
    EXPECT_EQ(resolveStagingDir(), fs::path(expected)) << value;
    if (*value) {
      EXPECT_EQ(resolveStagingDir(std::string(value)), fs::path(expected)) << "--staging " << value;
    }
  }
  // "~name" of no user is an error that names the user, never a folder "./~name".
  for (auto [chosen, where] : {std::pair{std::optional<std::string>(), "TAVLO_STAGING=~nosuchuser/x"},
                               {std::optional<std::string>("~nosuchuser/x"), "--staging ~nosuchuser/x"}}) {
    setenv("TAVLO_STAGING", "~nosuchuser/x", 1);
    std::string problem;
    EXPECT_FALSE(resolveStagingDir(chosen, &problem));
    EXPECT_EQ(problem, std::string("unknown user \"nosuchuser\" in ") + where);
  }
  // Without an absolute HOME no store gets a relative or root path.
  unsetenv("TAVLO_STAGING");
  unsetenv("XDG_STATE_HOME");
  unsetenv("XDG_DATA_HOME");
  for (const char* value : {"", "relative/home"}) {
    setenv("HOME", value, 1);
    EXPECT_FALSE(resolveStagingDir());
    EXPECT_FALSE(defaultsStorePath());
    EXPECT_FALSE(PairingStore::defaultStorePath());
  }
  unsetenv("HOME");
  EXPECT_FALSE(resolveStagingDir());
  EXPECT_FALSE(defaultsStorePath());
  EXPECT_FALSE(PairingStore::defaultStorePath());
  setenv("XDG_STATE_HOME", "/x/state", 1);
  setenv("XDG_DATA_HOME", "/x/data", 1);
  EXPECT_EQ(defaultsStorePath(), fs::path("/x/state/tavlo/defaults.sqlite3"));
  EXPECT_EQ(PairingStore::defaultStorePath(), "/x/data/tavlo/pairing.sqlite3");
  unsetenv("XDG_STATE_HOME");
  unsetenv("XDG_DATA_HOME");
  if (savedHome) setenv("HOME", home.c_str(), 1);
}

TEST(RequestPolicy, HostNamesThatOnlyTheLocalNetworkResolves) {
  const std::vector<std::string> search = {"fritz.box", "home"};
  for (auto host : {"127.0.0.1", "127.0.0.1:18765", "192.168.1.20:18765", "[::1]:18765", "localhost",
                    "LOCALHOST:18765", "desk.local", "desk.local.", "box.lan", "nas.home.arpa", "x.internal",
                    "desk.tail1234.ts.net:18765", "mybox", "MyBox.example.org", "desk", "local", "desk.:18765",
                    "desk.fritz.box", "Desk.Fritz.Box.:18765", "desk.home", "desk.localdomain", "localdomain"})
    EXPECT_TRUE(isAllowedHost(host, "mybox.example.org", search)) << host;
  for (auto host : {"evil.com", "evil.com:18765", "localhost.evil.com", "ts.net.evil.com", "[::1", "1.2.3.4:x",
                    ":18765", "fritz.box", "evilfritz.box", "desk.fritz.box.evil.com", "desk.home.evil.com"})
    EXPECT_FALSE(isAllowedHost(host, "mybox.example.org", search)) << host;
  EXPECT_FALSE(isAllowedHost("desk.fritz.box", "mybox"));  // only with that search domain
}

TEST(RequestPolicy, ClientAddressesOnThisMachinesNetworks) {
  const std::vector<IPPrefix> onLink = {*IPPrefix::parse("2001:db8:1::/64"), *IPPrefix::parse("203.0.113.0/24")};
  for (auto address : {"127.0.0.1", "10.1.2.3", "172.16.0.1", "172.31.255.255", "192.168.1.2", "169.254.3.4",
                       "100.64.0.1", "100.127.255.254", "::1", "fc00::1", "fd7a:115c::1", "fe80::1", "fe80::1%eth0",
                       "febf::1", "::ffff:192.168.1.2", "2001:db8:1::42", "203.0.113.9", "::ffff:203.0.113.9"})
    EXPECT_TRUE(isLocalClient(address, onLink)) << address;
  for (auto address : {"198.51.100.7", "8.8.8.8", "2001:db8::1", "2001:db8:2::1", "172.32.0.1", "100.128.0.1",
                       "11.0.0.1", "::ffff:8.8.8.8", "fec0::1", "::", "", "garbage", "10.0.0.0/8", "127.0.0.1:80", "2001:db8::1%eth0"})
    EXPECT_FALSE(isLocalClient(address, onLink)) << address;
}

// The subnets are read once for many requests, and again before an address is
// refused (a network just joined), at most once a second.
TEST(RequestPolicy, RefusalsAndTheSubnetCache) {
  using namespace std::chrono_literals;
  int reads = 0;
  std::vector<IPPrefix> subnets;
  RequestPolicy::Clock::time_point now{};
  RequestPolicy::Settings settings;
  settings.machineHostName = "box";
  settings.onLinkPrefixes = [&] { return ++reads, subnets; };
  settings.now = [&] { return now; };
  RequestPolicy policy(settings);
  auto from = [](std::string address, std::map<std::string, std::string> headers = {}) {
    auto r = request("GET", "/health");
    r.peerAddress = std::move(address);
    r.headers = std::move(headers);
    return r;
  };
  auto refusal = [&](const HTTPRequest& r) {
    auto reply = policy.check(r);
    return reply ? std::to_string(reply->status) + " " + reply->body : std::string("served");
  };
  const std::string notAllowed = R"(403 {"error":"client address not allowed","ok":false})";
  const std::string phone = "2001:db8:1::5";
  const struct {
    RequestPolicy::Clock::duration at;
    std::string address;
    bool joined;  // the phone's subnet is on an interface
    std::string expected;
    int reads;
  } steps[] = {
      {0s, "192.168.1.2", false, "served", 0},  {0s, phone, false, notAllowed, 1},
      {500ms, phone, true, notAllowed, 1},      {1500ms, phone, true, "served", 2},
      {2s, phone, true, "served", 2},           {2s, "8.8.8.8", true, notAllowed, 2},
      {8s, phone, true, "served", 3},           {8s, "", true, notAllowed, 3},
  };
  for (const auto& step : steps) {
    now = RequestPolicy::Clock::time_point{} + step.at;
    subnets = step.joined ? std::vector<IPPrefix>{*IPPrefix::parse("2001:db8:1::/64")} : std::vector<IPPrefix>{};
    EXPECT_EQ(refusal(from(step.address)), step.expected) << step.address;
    EXPECT_EQ(reads, step.reads) << step.address;
  }

  // Browsers: any Origin (whatever the method) and foreign Host names.
  auto post = from("127.0.0.1", {{"origin", "https://example.com"}});
  post.method = "POST";
  EXPECT_EQ(refusal(post), R"(403 {"error":"cross-origin request refused","ok":false})");
  EXPECT_EQ(refusal(from("127.0.0.1", {{"origin", "null"}})),
            R"(403 {"error":"cross-origin request refused","ok":false})");
  EXPECT_EQ(refusal(from("127.0.0.1", {{"host", "attacker.example"}})),
            R"(403 {"error":"host not allowed","ok":false})");
  EXPECT_EQ(refusal(from("10.0.0.9", {{"host", "box:18765"}})), "served");

  settings.allowAnyClient = true;
  RequestPolicy open(settings);
  EXPECT_FALSE(open.check(from("8.8.8.8")));
}

TEST(RequestPolicy, SearchDomainsFromResolvConf) {
  TempDir dir;
  const auto file = dir.path() / "resolv.conf";
  testing::writeFile(file,
                     "# from the router\nnameserver 192.168.178.1\nsearch fritz.box Home. lan ; old\n"
                     "domain localdomain\noptions ndots:1\nsearchx evil.com\nsearch fritz.box\n");
  EXPECT_EQ(resolverSearchDomains(file), (std::vector<std::string>{"fritz.box", "home", "lan", "localdomain"}));
  EXPECT_TRUE(resolverSearchDomains(dir.path() / "missing").empty());
}

}  // namespace
}  // namespace tavlo
