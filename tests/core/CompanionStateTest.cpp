// The state driven through its public API on its own executor: fake probes, a
// fake runner, the real pack writer on temp folders, no network.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <future>

#include "core/CompanionState.hpp"
#include "core/RequestPolicy.hpp"
#include "pairing/PairingStore.hpp"
#include "platform/Async.hpp"
#include "platform/Cancellation.hpp"
#include "platform/KvStore.hpp"
#include "platform/Log.hpp"
#include "support/TestSupport.hpp"

namespace tavlo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Models = std::vector<LLMModel>;
using testing::TempDir;

LLMModel ollama(const std::string& name) { return {"ollama:" + name, LLMModel::Provider::ollama, name, "4.7 GB"}; }
LLMModel lmstudio(const std::string& name) { return {"lmstudio:" + name, LLMModel::Provider::lmstudio, name, {}}; }

HTTPRequest request(std::string method, std::string path, std::string body = {}) {
  HTTPRequest r;
  r.method = std::move(method), r.path = std::move(path), r.body = std::move(body);
  return r;
}
nlohmann::json bodyOf(const HTTPResponse& r) { return nlohmann::json::parse(r.body); }
std::string stopped(const char* why) { return std::string(R"({"ok":false,"reply":"⚠️ Ollama failed: )") + why + "\"}"; }

struct Fixture : ::testing::Test {
  asio::io_context io;
  TempDir tmp;
  Models ollamaModels{ollama("llama3:8b"), ollama("qwen3-coder")}, lmstudioModels{lmstudio("mistral")}, cliModels;
  TailscaleStatus tailscale = TailscaleStatus::stopped();
  int ollamaCalls = 0;
  // Model runs wait here (prompt, reply) until the test answers them.
  std::vector<std::pair<std::string, std::function<void(ModelAnswer)>>> heldRuns;
  std::vector<std::shared_ptr<Cancellation>> cancels;  // each run's, in start order
  std::vector<std::string> opened, published, notified;
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
    s.runModel = [this](std::string prompt, LLMModel, std::shared_ptr<Cancellation> cancel) {
      cancels.push_back(cancel);
      return awaitCallback<ModelAnswer>([this, prompt](std::function<void(ModelAnswer)> done) {
        heldRuns.emplace_back(prompt, std::move(done));
      });
    };
    s.hostName = [] { return std::string("Desk"); };
    s.lanIP = [] { return std::optional<std::string>("192.168.1.20"); };
    s.open = [this](std::string where) { opened.push_back(where); };
    s.publishPairing = [this](std::string host, auto, std::optional<std::string> tsIP, auto, std::int64_t) {
      published.push_back(host + " " + tsIP.value_or(""));
    };
    s.packWritten = [this](const std::string& name, const std::string&) { notified.push_back(name); };
    s.defaults = defaults;
    return s;
  }
  void make(CompanionServices s) {
    state = std::make_shared<CompanionState>(io.get_executor(), std::move(s), tmp / "staging");
  }
  void make() {
    if (!defaults) defaults = std::make_shared<KvStore>(tmp / "state" / "defaults.sqlite3");
    make(services());
  }

  // Runs the loop until `result` is ready.
  template <class T>
  T wait(std::future<T> result) {
    while (result.wait_for(std::chrono::seconds(0)) != std::future_status::ready) io.restart(), io.run_for(2ms);
    return result.get();
  }
  // `f` on the state's executor, as every caller of the state must.
  template <class F>
  auto on(F f) {
    std::packaged_task<decltype(f())()> task(std::move(f));
    auto result = task.get_future();
    asio::post(io, [&task] { task(); });
    return wait(std::move(result));
  }
  void refresh() { wait(asio::co_spawn(io, state->tick(), asio::use_future)); }
  std::future<HTTPResponse> send(HTTPRequest r) { return asio::co_spawn(io, state->route(std::move(r)), asio::use_future); }
  HTTPResponse route(std::string method, std::string path, std::string body = {}) {
    return wait(send(request(std::move(method), std::move(path), std::move(body))));
  }
  std::future<HTTPResponse> generate(const std::string& prompt) {
    return send(request("POST", "/generate", nlohmann::json{{"prompt", prompt}}.dump()));
  }
  void settle() {
    for (int i = 0; i < 20; ++i) io.restart(), io.run_for(2ms);
  }
};

// The status and the policy's refusals come from the network thread alone: a
// busy state thread (a long refresh, a queue of runs) never holds them up.
TEST_F(Fixture, StatusAndRefusalsNeedNoStateThread) {
  make();
  refresh();
  const auto handler = on([&] { return state->makeHandler(); });
  asio::io_context network;  // the state's io_context does not run meanwhile
  auto answer = [&](HTTPRequest r) -> std::optional<HTTPResponse> {
    r.peerAddress = "127.0.0.1";
    auto future = asio::co_spawn(network, handler(std::move(r)), asio::use_future);
    network.restart();
    network.run_for(2s);
    // The future is set from asio's system executor, a moment after the run.
    if (future.wait_for(2s) != std::future_status::ready) return std::nullopt;
    return future.get();
  };
  const auto status = answer(request("GET", "/health"));
  ASSERT_TRUE(status);
  EXPECT_EQ(status->body, route("GET", "/health").body);
  on([&] { state->selectModel(lmstudio("mistral")); });
  EXPECT_EQ(bodyOf(*answer(request("GET", "/")))["selected_model"], "lmstudio:mistral");
  auto page = request("GET", "/models");
  page.headers["origin"] = "https://example.com";
  const auto refused = answer(page);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 403);
}

TEST_F(Fixture, RoutesRefuseWhatTheyDoNotServe) {
  make();
  refresh();
  const std::string notFound = R"({"error":"not found","ok":false})", noID = R"({"error":"missing id","ok":false})",
                    noPrompt = R"({"error":"missing prompt","ok":false})";
  const struct {
    const char *method, *path, *body;
    int status;
    std::string reply;
  } cases[] = {
      {"HEAD", "/health", "", 404, notFound}, {"get", "/health", "", 404, notFound},
      {"GET", "/health/", "", 404, notFound}, {"POST", "/models", "", 404, notFound},
      {"GET", "/generate", "", 404, notFound}, {"POST", "/models/active", "", 400, noID},
      {"POST", "/models/active", "[1]", 400, noID}, {"POST", "/models/active", R"({"id":5})", 400, noID},
      {"POST", "/models/active", R"({"id":"ollama:nope"})", 400, R"({"error":"unknown model id","ok":false})"},
      {"POST", "/generate", "", 400, noPrompt}, {"POST", "/generate", R"({"prompt":""})", 400, noPrompt},
      {"POST", "/generate", R"({"prompt":3})", 400, noPrompt}, {"POST", "/generate", "null", 400, noPrompt},
  };
  for (const auto& c : cases) {
    const auto r = route(c.method, c.path, c.body);
    EXPECT_EQ(std::to_string(r.status) + " " + r.body, std::to_string(c.status) + " " + c.reply) << c.method << c.path;
  }
  EXPECT_EQ(on([&] { return state->selectedModelID(); }), "ollama:llama3:8b");
  EXPECT_TRUE(heldRuns.empty() && on([&] { return state->recentRequests().empty(); }));
}

// The first listed model (command-line tools first) is selected automatically;
// a selected model that disappears stays selected.
TEST_F(Fixture, SelectionIsAutomaticAndOutlivesItsModel) {
  cliModels = {{"codex:cli", LLMModel::Provider::codex, "Codex (CLI)", "OpenAI Codex login"}};
  make();
  refresh();
  EXPECT_EQ(bodyOf(route("GET", "/models"))["models"][0]["id"], "codex:cli");
  EXPECT_EQ(route("POST", "/models/active", R"({"id":"lmstudio:mistral"})").body, R"({"id":"lmstudio:mistral","ok":true})");
  lmstudioModels.clear();
  refresh();
  EXPECT_EQ(on([&] { return state->selectedModelID(); }), "lmstudio:mistral");
  EXPECT_FALSE(on([&] { return state->selectedModel(); }));
}

// Another program holds the selection's store at start: the saved choice is
// neither replaced by the auto-selection nor lost.
TEST_F(Fixture, LockedStoreAtStartKeepsTheSavedChoice) {
  const auto file = tmp / "defaults.sqlite3";
  KvStore(file).setString(CompanionState::kSelectedModelKey, "lmstudio:mistral");
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; DELETE FROM kv WHERE 0", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  defaults = std::make_shared<KvStore>(file, 1ms, 1ms);
  make();
  on([&] { state->start(); });
  refresh();
  EXPECT_EQ(on([&] { return state->selectedModelID(); }), "");
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  // Each refresh tries the store again, off the state thread.
  EXPECT_TRUE(testing::waitUntil([&] { return refresh(), on([&] { return state->selectedModelID(); }) != ""; }));
  EXPECT_EQ(on([&] { return state->selectedModelID(); }), "lmstudio:mistral");
  EXPECT_EQ(defaults->getString(CompanionState::kSelectedModelKey), "lmstudio:mistral");
  on([&] { state->shutdown(); });
}

// The reply lists what the writer wrote; every request started is listed as
// recent, the twelve newest first.
TEST_F(Fixture, GenerateRepliesWithThePackAndListsRecentRequests) {
  make();
  refresh();
  for (int i = 0; i < 13; ++i) {
    auto reply = generate("p" + std::to_string(i));
    settle();
    heldRuns.back().second(ModelAnswer(R"({"name":"Demo","summary":"S","userscripts":[{"filename":"a.js","body":"1"}]})"));
    const auto body = bodyOf(wait(std::move(reply)));
    ASSERT_EQ(body["model"], "ollama:llama3:8b");
    EXPECT_EQ(body["files"]["userscripts/a.user.js"],
              testing::readFile(fs::path(body["pack_path"].get<std::string>()) / "userscripts" / "a.user.js"));
    EXPECT_EQ(body["files"].size(), 2u);
  }
  EXPECT_EQ(notified.size(), 13u);
  const auto recent = on([&] { return state->recentRequests(); });
  ASSERT_EQ(recent.size(), 12u);
  EXPECT_EQ(recent.front().prompt, "p12");
  EXPECT_EQ(recent.back().prompt, "p1");
}

// One run at a time and two waiting (as injected), the next refused as busy;
// a request stopped from the panel is answered at once; stopping the
// companion answers every request still waiting or running.
TEST_F(Fixture, RunsQueueInOrderAndEveryStopAnswersAtOnce) {
  auto s = services();
  s.maxModelRuns = 1, s.maxWaitingRuns = 2;
  make(s);
  refresh();
  std::vector<std::future<HTTPResponse>> replies;
  for (const char* prompt : {"a", "b", "c", "d"}) replies.push_back(generate(prompt)), settle();
  auto ready = [&](std::size_t i) { return replies[i].wait_for(0s) == std::future_status::ready; };
  EXPECT_EQ(wait(std::move(replies[3])).status, 503);
  const auto running = on([&] { return state->runningRequests(); });
  ASSERT_EQ(running.size(), 3u);
  EXPECT_EQ(std::vector<bool>({running[0].waiting, running[1].waiting, running[2].waiting}),
            std::vector<bool>({false, true, true}));
  EXPECT_EQ(running[2].prompt, "c");
  // The waiting one never reaches the model; the running one is cancelled and keeps its slot until its runner returns.
  for (std::size_t i : {2u, 0u}) {
    on([&] { state->stopRequest(running[i].id); });
    settle();
    ASSERT_TRUE(ready(i));
    EXPECT_EQ(replies[i].get().body, stopped("stopped on the computer"));
  }
  ASSERT_EQ(heldRuns.size(), 1u);
  EXPECT_TRUE(cancels[0]->cancelled());
  // Its runner's late answer changes nothing but frees the slot; unknown ids are ignored.
  heldRuns[0].second(ModelAnswer("{}"));
  on([&] { state->stopRequest(999); });
  settle();
  ASSERT_EQ(heldRuns.size(), 2u);
  EXPECT_EQ(heldRuns[1].first, "b");
  heldRuns[1].second(fail("boom"));
  EXPECT_EQ(wait(std::move(replies[1])).body, stopped("boom"));

  replies.clear();
  replies.push_back(generate("e")), replies.push_back(generate("f"));
  settle();
  bool done = false;
  on([&] { state->stopGracefully(2s, [&] { done = true; }); });
  settle();
  EXPECT_TRUE(done);
  for (auto& reply : replies) EXPECT_EQ(wait(std::move(reply)).body, stopped("stopped: the companion is shutting down"));
  heldRuns[2].second(ModelAnswer("{}"));  // a run that ends after the stop changes nothing
  settle();
  EXPECT_EQ(heldRuns.size(), 3u);
  EXPECT_EQ(route("POST", "/generate", R"({"prompt":"late"})").status, 500);
}

TEST_F(Fixture, RefreshPublishesAndOverlappingRefreshesShareProbes) {
  make();
  std::vector<StateField> seen;
  on([&] { state->addObserver([&](StateField f) { seen.push_back(f); }); });
  refresh();
  EXPECT_EQ(seen, (std::vector<StateField>{StateField::tailscaleStatus, StateField::ollamaModels,
                                           StateField::lmstudioModels, StateField::cliModels,
                                           StateField::selectedModelID}));
  EXPECT_EQ(published, std::vector<std::string>{"Desk "});
  EXPECT_EQ(on([&] { return state->menuSymbol(); }), "macbook.and.iphone.slash");
  on([&] { state->openStagingFolder(), state->openTavloSite(); });
  EXPECT_EQ(opened, (std::vector<std::string>{(tmp / "staging").string(), "https://tavlo.app"}));

  tailscale = TailscaleStatus::connected("100.64.0.7", std::nullopt);
  auto a = asio::co_spawn(io, state->tick(), asio::use_future);
  auto b = asio::co_spawn(io, state->tick(), asio::use_future);
  wait(std::move(a)), wait(std::move(b));
  EXPECT_EQ(ollamaCalls, 2);
  EXPECT_EQ(published.back(), "Desk 100.64.0.7");
  EXPECT_EQ(bodyOf(route("GET", "/health"))["tailscale_ip"], "100.64.0.7");
}

// A busy port: the failure is shown and logged once, the start is tried again
// until it works, and the recovered server clears the error; stopping ends the retries.
TEST_F(Fixture, ServerStartFailureIsRetriedUntilItListens) {
  struct Running : ServerHandle {
    void stop() override {}
  };
  std::vector<std::string> log;
  setLogSink([&](std::string_view line) { log.emplace_back(line); });
  int attempts = 0;
  auto s = services();
  s.listenRetryInterval = 5ms;
  s.startServer = [&](std::uint16_t, RequestHandler) -> std::unique_ptr<ServerHandle> {
    if (++attempts < 4) throw std::runtime_error("Address already in use");
    return std::make_unique<Running>();
  };
  make(s);
  on([&] { state->start(); });
  EXPECT_EQ(on([&] { return state->lastError(); }), "Address already in use");
  EXPECT_TRUE(testing::waitUntil([&] { return settle(), on([&] { return state->serverRunning(); }); }));
  EXPECT_FALSE(on([&] { return state->lastError(); }));
  EXPECT_EQ(log, (std::vector<std::string>{
                     "Tavlo companion could not listen on :18765: Address already in use; trying again every 5 ms",
                     "Tavlo companion listening on :18765"}));
  attempts = -100;
  make(s);
  on([&] { state->start(), state->shutdown(); });
  settle();
  EXPECT_EQ(attempts, -99);
  setLogSink({});
}

// A Tailscale tool that takes its time holds neither the start nor any request;
// the advertisement goes out when it answers and follows later address changes.
TEST_F(Fixture, StartServesAtOnceAndAdvertisesWhenTheProbeAnswers) {
  struct RecordingServer : ServerHandle {
    std::vector<AdvertisedPresence>* adverts;
    explicit RecordingServer(std::vector<AdvertisedPresence>* a) : adverts(a) {}
    void stop() override {}
    void advertise(const AdvertisedPresence& p) override { adverts->push_back(p); }
  };
  std::vector<AdvertisedPresence> adverts;
  asio::steady_timer gate(io, asio::steady_timer::time_point::max());
  std::optional<std::string> lan = "192.168.1.20";
  auto s = services();
  s.tailscaleProbe = [&]() -> asio::awaitable<TailscaleStatus> {
    std::error_code ec;
    co_await gate.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    co_return tailscale;
  };
  s.lanIP = [&] { return lan; };
  s.startServer = [&](std::uint16_t, RequestHandler) { return std::make_unique<RecordingServer>(&adverts); };
  make(s);
  on([&] { state->start(); });
  EXPECT_EQ(route("GET", "/health").status, 200);
  EXPECT_TRUE(adverts.empty());
  tailscale = TailscaleStatus::connected("100.64.0.7", "desk.ts.net");
  gate.expires_at(asio::steady_timer::time_point::min());  // the tool answers, now and from now on
  EXPECT_TRUE(testing::waitUntil([&] { return settle(), !adverts.empty(); }));
  EXPECT_EQ(adverts.at(0), (AdvertisedPresence{"Desk", "192.168.1.20", tailscale}));
  lan = "10.0.0.9";
  refresh();
  ASSERT_EQ(adverts.size(), 2u);
  EXPECT_EQ(adverts[1].lanIP, "10.0.0.9");
  on([&] { state->shutdown(); });
}

TEST_F(Fixture, OnlyTheStateThreadMayTouchTheState) {
#ifndef TAVLO_CHECK_THREADS
  GTEST_SKIP() << "checked in debug and sanitizer builds";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  make();
  EXPECT_DEATH(state->selectedModelID(), "selectedModelID called off the state's executor");
  EXPECT_DEATH(state->selectModel(ollama("x")), "selectModel called off the state's executor");
#endif
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
  std::string problem;  // "~name" of no user is an error that names the user, never a folder "./~name"
  EXPECT_FALSE(resolveStagingDir(std::string("~nosuchuser/x"), &problem));
  EXPECT_EQ(problem, "unknown user \"nosuchuser\" in --staging ~nosuchuser/x");
  // Without an absolute HOME no store gets a relative or root path.
  unsetenv("TAVLO_STAGING");
  unsetenv("XDG_STATE_HOME");
  unsetenv("XDG_DATA_HOME");
  setenv("HOME", "relative/home", 1);
  EXPECT_FALSE(resolveStagingDir() || defaultsStorePath() || PairingStore::defaultStorePath());
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
