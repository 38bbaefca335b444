// The state driven through its public API on its own executor: fake probes, a fake runner, the real
// pack writer on temp folders, no network.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <future>

#include "core/CompanionState.hpp"
#include "platform/Async.hpp"
#include "platform/Cancellation.hpp"
#include "platform/KvStore.hpp"
#include "support/TestSupport.hpp"

namespace tavlo {
namespace {

using Models = std::vector<LLMModel>;

LLMModel ollama(const std::string& name) { return {"ollama:" + name, LLMModel::Provider::ollama, name, "4.7 GB"}; }
LLMModel lmstudio(const std::string& name) { return {"lmstudio:" + name, LLMModel::Provider::lmstudio, name, {}}; }
HTTPRequest request(std::string method, std::string path, std::string body = {}) {
  HTTPRequest r;
  r.method = std::move(method), r.path = std::move(path), r.body = std::move(body), r.peerAddress = "127.0.0.1";
  return r;
}
std::string failed(const char* why) { return std::string(R"({"ok":false,"reply":"⚠️ Ollama failed: )") + why + "\"}"; }

struct Fixture : ::testing::Test {
  asio::io_context io;
  testing::TempDir tmp;
  Models ollamaModels{ollama("llama3:8b"), ollama("qwen3-coder")}, lmstudioModels{lmstudio("mistral")}, cliModels;
  TailscaleStatus tailscale = TailscaleStatus::stopped();
  int ollamaCalls = 0;
  std::vector<std::pair<std::string, std::function<void(ModelAnswer)>>> heldRuns;  // until the test answers them
  std::vector<std::shared_ptr<Cancellation>> cancels;                             // each run's, in start order
  std::vector<std::string> notified;
  std::shared_ptr<KvStore> defaults;
  std::shared_ptr<CompanionState> state;

  ~Fixture() override { drainStoreWrites(10s); }  // the state's store writes finish before its io_context goes

  CompanionServices services() {
    CompanionServices s;
    s.tailscaleProbe = [this]() -> asio::awaitable<TailscaleStatus> { co_return tailscale; };
    s.ollamaProbe = [this]() -> asio::awaitable<Models> {
      ++ollamaCalls;
      asio::steady_timer slow(co_await asio::this_coro::executor, 20ms);
      co_await slow.async_wait(asio::use_awaitable);
      co_return ollamaModels;
    };
    s.lmstudioProbe = [this]() -> asio::awaitable<Models> { co_return lmstudioModels; };
    s.cliProbe = [this]() -> asio::awaitable<Models> { co_return cliModels; };
    s.runModel = [this](std::string prompt, LLMModel, std::shared_ptr<Cancellation> cancel) {
      cancels.push_back(cancel);
      return awaitCallback<ModelAnswer>(
          [this, prompt](std::function<void(ModelAnswer)> done) { heldRuns.emplace_back(prompt, std::move(done)); });
    };
    s.hostName = [] { return std::string("Desk"); };
    s.lanIP = [] { return std::optional<std::string>("192.168.1.20"); };
    s.packWritten = [this](const std::string& name, const std::string&) { notified.push_back(name); };
    if (!defaults) defaults = std::make_shared<KvStore>(tmp / "state" / "defaults.sqlite3");
    s.defaults = defaults;
    s.selectionSaveWait = 10s;  // a loaded machine must not make the wait end early
    return s;
  }
  void make(std::optional<CompanionServices> s = {}) {
    state = std::make_shared<CompanionState>(io.get_executor(), s ? *s : services(), tmp / "staging");
  }

  template <class T> T wait(std::future<T> result) {
    while (result.wait_for(0s) != std::future_status::ready) io.restart(), io.run_for(2ms);
    return result.get();
  }
  // `f` on the state's executor, as every caller of the state must.
  template <class F> auto on(F f) {
    std::packaged_task<decltype(f())()> task(std::move(f));
    auto result = task.get_future();
    asio::post(io, [&task] { task(); });
    return wait(std::move(result));
  }
  void refresh() { wait(asio::co_spawn(io, state->tick(), asio::use_future)); }
  std::future<HTTPResponse> send(std::string method, std::string path, std::string body = {}) {
    return asio::co_spawn(io, state->route(request(method, path, body)), asio::use_future);
  }
  std::future<HTTPResponse> generate(const std::string& prompt) {
    return send("POST", "/generate", nlohmann::json{{"prompt", prompt}}.dump());
  }
  HTTPResponse route(std::string method, std::string path, std::string body = {}) { return wait(send(method, path, body)); }
  void settle() { for (int i = 0; i < 20; ++i) io.restart(), io.run_for(2ms); }
};

// Refused requests change nothing. The first listed model (command-line tools first) is selected
// automatically; a selected model that disappears stays selected. The status and the policy's refusals
// come from the network thread alone: a busy state thread never holds them up.
TEST_F(Fixture, RoutesStatusAndSelection) {
  cliModels = {{"codex:cli", LLMModel::Provider::codex, "Codex (CLI)", "OpenAI Codex login"}};
  make();
  // Every build refuses a caller off the state's executor (here the test's own thread).
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(state->selectedModelID(), "CompanionState::selectedModelID called off the state's executor");
  refresh();
  const auto handler = on([&] { return state->makeHandler(); });
  asio::io_context network;  // the state's io_context does not run meanwhile
  auto answer = [&](HTTPRequest r) {
    auto future = asio::co_spawn(network, handler(std::move(r)), asio::use_future);
    network.restart(), network.run_for(2s);
    // The future is set from asio's system executor, a moment after the run.
    return future.wait_for(2s) == std::future_status::ready ? future.get().body : "no answer";
  };
  const std::string notFound = R"(404 {"error":"not found","ok":false})", noID = R"(400 {"error":"missing id","ok":false})",
                    noPrompt = R"(400 {"error":"missing prompt","ok":false})";
  const std::tuple<const char*, const char*, const char*, std::string> cases[] = {
      {"HEAD", "/health", "", notFound}, {"get", "/health", "", notFound}, {"GET", "/health/", "", notFound},
      {"POST", "/models", "", notFound}, {"GET", "/generate", "", notFound}, {"POST", "/models/active", "", noID},
      {"POST", "/models/active", "[1]", noID}, {"POST", "/models/active", R"({"id":5})", noID},
      {"POST", "/models/active", R"({"id":"ollama:nope"})", R"(400 {"error":"unknown model id","ok":false})"},
      {"POST", "/generate", "", noPrompt}, {"POST", "/generate", R"({"prompt":""})", noPrompt},
      {"POST", "/generate", R"({"prompt":3})", noPrompt}, {"POST", "/generate", "null", noPrompt}};
  for (const auto& [method, path, body, expected] : cases) {
    const auto r = route(method, path, body);
    EXPECT_EQ(std::to_string(r.status) + " " + r.body, expected) << method << path << body;
  }
  EXPECT_TRUE(heldRuns.empty() && on([&] { return state->recentRequests().empty(); }));
  EXPECT_EQ(on([&] { return state->selectedModelID(); }), "codex:cli");
  // The phone's "ok" comes once the choice is on disk: here the write waits behind a held store strand.
  std::promise<void> release;
  asio::post(storeStrand(), [held = release.get_future().share()] { held.wait(); });
  auto selected = send("POST", "/models/active", R"({"id":"lmstudio:mistral"})");
  settle();
  EXPECT_EQ(selected.wait_for(0s), std::future_status::timeout);
  release.set_value();
  EXPECT_EQ(wait(std::move(selected)).body, R"({"id":"lmstudio:mistral","ok":true})");
  EXPECT_EQ(defaults->getString(CompanionState::kSelectedModelKey), "lmstudio:mistral");
  EXPECT_EQ(answer(request("GET", "/")), route("GET", "/health").body);  // the change shows on the network thread
  auto page = request("GET", "/models");
  page.headers["origin"] = "https://example.com";
  EXPECT_EQ(answer(page), R"({"error":"cross-origin request refused","ok":false})");
  page.headers = {{"host", "rebind.example:18765"}};  // a DNS-rebinding page's own name
  EXPECT_EQ(answer(page), R"({"error":"host not allowed","ok":false})");
  lmstudioModels.clear();
  refresh();
  EXPECT_EQ(on([&] { return state->selectedModelID(); }), "lmstudio:mistral");
  EXPECT_FALSE(on([&] { return state->selectedModel(); }));
}

// At start the first advertisement waits for the Tailscale tool's answer. Another program holds the
// selection's store: the saved choice is neither replaced by the auto-selection nor lost. A connection
// that never closes holds a graceful stop only until its limit.
TEST_F(Fixture, StartAdvertisesWithTailscaleAndALockedStoreKeepsTheSavedChoice) {
  struct RecordingServer : ServerHandle {
    std::vector<AdvertisedPresence>& adverts;
    explicit RecordingServer(std::vector<AdvertisedPresence>& a) : adverts(a) {}
    void stop() override {}
    void advertise(const AdvertisedPresence& p) override { adverts.push_back(p); }
    void whenDrained(std::function<void()>) override {}  // a connection that never closes
  };
  std::vector<AdvertisedPresence> adverts;
  ASSERT_TRUE(KvStore(tmp / "defaults.sqlite3").setString(CompanionState::kSelectedModelKey, "lmstudio:mistral"));
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open((tmp / "defaults.sqlite3").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; DELETE FROM kv WHERE 0", 0, 0, 0), SQLITE_OK);
  defaults = std::make_shared<KvStore>(tmp / "defaults.sqlite3", 1ms, 1ms);
  auto s = services();
  s.startServer = [&](std::uint16_t, RequestHandler) -> Result<std::unique_ptr<ServerHandle>> {
    return std::unique_ptr<ServerHandle>(std::make_unique<RecordingServer>(adverts));
  };
  make(s);
  tailscale = TailscaleStatus::connected("100.64.0.7", "desk.ts.net");
  on([&] { state->start(); });
  EXPECT_TRUE(testing::waitUntil([&] { return settle(), !adverts.empty(); }));
  EXPECT_EQ(adverts.at(0), (AdvertisedPresence{"Desk", "192.168.1.20", tailscale}));
  refresh();
  EXPECT_EQ(on([&] { return state->selectedModelID(); }), "");
  sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), sqlite3_close(other);
  // Each refresh tries the store again, off the state thread.
  EXPECT_TRUE(testing::waitUntil([&] { return refresh(), on([&] { return state->selectedModelID(); }) == "lmstudio:mistral"; }));
  EXPECT_EQ(defaults->getString(CompanionState::kSelectedModelKey), "lmstudio:mistral");
  bool stopped = false;
  asio::co_spawn(io, state->stopGracefully(300ms), [&](std::exception_ptr) { stopped = true; });
  EXPECT_FALSE((settle(), stopped));
  EXPECT_TRUE(testing::waitUntil([&] { return settle(), stopped; }));
}

// One run at a time (as injected), the others wait in order; a request stopped from the panel is
// answered at once; stopping the companion answers every request waiting or running.
TEST_F(Fixture, RunsQueueInOrderAndEveryStopAnswersAtOnce) {
  auto s = services();
  s.maxModelRuns = 1;
  make(s);
  refresh();
  std::vector<std::future<HTTPResponse>> replies;
  for (const char* prompt : {"a", "b", "c"}) replies.push_back(generate(prompt)), settle();
  const auto running = on([&] { return state->runningRequests(); });
  ASSERT_EQ(running.size(), 3u);
  EXPECT_TRUE(!running[0].waiting && running[1].waiting && running[2].waiting);
  // The waiting one never reaches the model; the running one is cancelled and
  // keeps its slot until its runner returns.
  for (std::size_t i : {2u, 0u}) {
    on([&] { state->stopRequest(running[i].id); });
    settle();
    ASSERT_EQ(replies[i].wait_for(0s), std::future_status::ready);
    EXPECT_EQ(replies[i].get().body, failed("stopped on the computer"));
  }
  EXPECT_TRUE(heldRuns.size() == 1 && cancels[0]->cancelled());
  // Its runner's late answer changes nothing but frees the slot; unknown ids are ignored.
  heldRuns[0].second(ModelAnswer("{}"));
  on([&] { state->stopRequest(999); });
  settle();
  ASSERT_TRUE(heldRuns.size() == 2 && heldRuns[1].first == "b");
  heldRuns[1].second(fail("boom"));
  EXPECT_EQ(wait(std::move(replies[1])).body, failed("boom"));

  replies.clear();
  replies.push_back(generate("e")), replies.push_back(generate("f"));
  settle();
  bool done = false;
  asio::co_spawn(io, state->stopGracefully(2s), [&](std::exception_ptr) { done = true; });
  settle();
  EXPECT_TRUE(done);
  for (auto& reply : replies) EXPECT_EQ(wait(std::move(reply)).body, failed("stopped: the companion is shutting down"));
  heldRuns[2].second(ModelAnswer("{}"));  // a run that ends after the stop changes nothing
  EXPECT_EQ(route("POST", "/generate", R"({"prompt":"late"})").status, 500);
  EXPECT_EQ(heldRuns.size(), 3u);
}

// A refresh tells the observers what changed. A generate reply lists what the writer wrote, the desktop
// is told; every request started is listed as recent, the twelve newest first.
TEST_F(Fixture, RefreshesAndGenerateReplies) {
  make();
  std::vector<StateField> seen;
  on([&] { state->addObserver([&](StateField f) { seen.push_back(f); }); });
  refresh();
  using F = StateField;
  EXPECT_EQ(seen, (std::vector{F::tailscaleStatus, F::ollamaModels, F::lmstudioModels, F::cliModels, F::selectedModelID}));
  EXPECT_EQ(on([&] { return state->menuSymbol(); }), "computer.and.phone.slash");
  auto a = asio::co_spawn(io, state->tick(), asio::use_future), b = asio::co_spawn(io, state->tick(), asio::use_future);
  wait(std::move(a)), wait(std::move(b));
  EXPECT_EQ(ollamaCalls, 2);
  for (int i = 0; i < 13; ++i) {
    auto reply = generate("p" + std::to_string(i));
    settle();
    heldRuns.back().second(ModelAnswer(R"({"name":"Demo","userscripts":[{"filename":"a.js","body":"1"}]})"));
    ASSERT_EQ(nlohmann::json::parse(wait(std::move(reply)).body)["files"].size(), 2u);
  }
  EXPECT_EQ(notified.size(), 13u);
  const auto recent = on([&] { return state->recentRequests(); });
  EXPECT_EQ(recent.size() == 12 ? recent.front().prompt + " " + recent.back().prompt : "", "p12 p1");
}

TEST(RequestPolicy, HostNamesAndClientAddressesOfTheLocalNetwork) {
  testing::TempDir dir;
  testing::writeFile(dir / "resolv.conf",
                     "# from the router\nnameserver 192.168.178.1\nsearch fritz.box Home. lan ; old\n"
                     "domain localdomain\noptions ndots:1\nsearchx evil.com\nsearch fritz.box\n");
  const auto search = resolverSearchDomains(dir / "resolv.conf");
  EXPECT_EQ(search, (std::vector<std::string>{"fritz.box", "home", "lan", "localdomain"}));
  EXPECT_TRUE(resolverSearchDomains(dir / "missing").empty());
  for (auto host : {"127.0.0.1", "127.0.0.1:18765", "192.168.1.20:18765", "[::1]:18765", "localhost", "LOCALHOST:18765",
                    "desk.local", "desk.local.", "box.lan", "nas.home.arpa", "x.internal", "desk.tail1234.ts.net:18765",
                    "mybox", "MyBox.example.org", "desk", "local", "desk.:18765", "desk.fritz.box",
                    "Desk.Fritz.Box.:18765", "desk.home", "desk.localdomain", "localdomain"})
    EXPECT_TRUE(isAllowedHost(host, "mybox.example.org", search)) << host;
  for (auto host : {"evil.com", "evil.com:18765", "localhost.evil.com", "ts.net.evil.com", "[::1", "1.2.3.4:x", ":18765",
                    "fritz.box", "evilfritz.box", "desk.fritz.box.evil.com", "desk.home.evil.com"})
    EXPECT_FALSE(isAllowedHost(host, "mybox.example.org", search)) << host;
  EXPECT_FALSE(isAllowedHost("desk.fritz.box", "mybox"));  // only with that search domain
  const std::vector<IPPrefix> onLink = {*IPPrefix::parse("2001:db8:1::/64"), *IPPrefix::parse("203.0.113.0/24")};
  for (auto address : {"127.0.0.1", "10.1.2.3", "172.16.0.1", "172.31.255.255", "192.168.1.2", "169.254.3.4",
                       "100.64.0.1", "100.127.255.254", "::1", "fc00::1", "fd7a:115c::1", "fe80::1", "fe80::1%eth0",
                       "febf::1", "::ffff:192.168.1.2", "2001:db8:1::42", "203.0.113.9", "::ffff:203.0.113.9"})
    EXPECT_TRUE(isLocalClient(address, onLink)) << address;
  for (auto address : {"198.51.100.7", "8.8.8.8", "2001:db8::1", "2001:db8:2::1", "172.32.0.1", "100.128.0.1", "11.0.0.1",
                       "::ffff:8.8.8.8", "fec0::1", "::", "", "garbage", "10.0.0.0/8", "127.0.0.1:80", "2001:db8::1%eth0"})
    EXPECT_FALSE(isLocalClient(address, onLink)) << address;
}

// The subnets are read once for many requests, and again before an address is refused (a network just
// joined), at most once a second.
TEST(RequestPolicy, TheSubnetCache) {
  int reads = 0;
  std::vector<IPPrefix> subnets;
  RequestPolicy::Clock::time_point now{};
  RequestPolicy policy({"box", {}, false, [&] { return ++reads, subnets; }, [&] { return now; }});
  const std::string phone = "2001:db8:1::5";
  // At a time, from an address, with the phone's subnet on an interface or not: served or not, subnet reads so far.
  const std::tuple<std::chrono::milliseconds, std::string, bool, bool, int> steps[] = {
      {0s, "192.168.1.2", false, true, 0}, {0s, phone, false, false, 1}, {500ms, phone, true, false, 1},
      {1500ms, phone, true, true, 2},      {2s, phone, true, true, 2},     {2s, "8.8.8.8", true, false, 2},
      {8s, phone, true, true, 3},          {8s, "", true, false, 3}};
  for (const auto& [at, address, joined, served, readsSoFar] : steps) {
    now = RequestPolicy::Clock::time_point{} + at;
    subnets = joined ? std::vector<IPPrefix>{*IPPrefix::parse("2001:db8:1::/64")} : std::vector<IPPrefix>{};
    auto r = request("GET", "/health");
    r.peerAddress = address;
    EXPECT_EQ(policy.check(r).has_value(), !served) << address;
    EXPECT_EQ(reads, readsSoFar) << address;
  }
}

}  // namespace
}  // namespace tavlo
