#include "platform/HttpClient.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <vector>

#include "platform/Async.hpp"
#include "platform/DnsSdAdvertiser.hpp"
#include "support/FakeHttpServer.hpp"
#include "support/TestSupport.hpp"

namespace tavlo {
namespace {

using testing::FakeHttpServer;
using testing::FakeReply;
using testing::FakeRequest;

std::string outcome(const Result<FetchResponse>& r) { return r ? r->body : r.error().message; }

asio::awaitable<std::thread::id> sendNotingThread(HttpClient& client, FetchRequest request,
                                                  std::optional<Result<FetchResponse>>& into) {
  into.emplace(co_await client.send(std::move(request)));
  co_return std::this_thread::get_id();
}

TEST(HttpClientTest, SendsTheRequestAsGivenDirectlyAndResumesOnTheCallersThread) {
  FakeHttpServer server([](const FakeRequest& r) { return FakeReply{.status = 404, .body = "no " + r.path}; });
  HttpClient client;
  const std::string body(1 << 20, 'b');
  ::setenv("http_proxy", "http://127.0.0.1:9", 1);  // a local server is never reached through a proxy
  std::optional<Result<FetchResponse>> r;
  FetchRequest request{.method = "POST", .url = server.baseURL() + "/api/chat",
                       .headers = {{"Content-Type", "application/json"}}, .body = body};
  EXPECT_EQ(runToCompletion(sendNotingThread(client, std::move(request), r)), std::this_thread::get_id());
  ::unsetenv("http_proxy");
  auto seen = server.requests().at(0);
  EXPECT_EQ(std::tuple((*r)->status, (*r)->body, seen.method + " " + seen.headers["content-type"] + " " + seen.headers["expect"]),
            std::tuple(404, "no /api/chat", "POST application/json "));  // (the body: the runner's exact-request test)
}

// No answer is an error with its reason, never an answer: refused, silent past
// a limit, not HTTP, too large, or the client shutting down under it.
TEST(HttpClientTest, TransportFailuresAreErrorsNotAnswers) {
  HttpClient client;
  const std::string closed = FakeHttpServer([](const FakeRequest&) { return FakeReply{}; }).baseURL() + "/";
  FakeHttpServer silent([](const FakeRequest&) { return FakeReply{.hang = true}; });
  FakeHttpServer garbage([](const FakeRequest&) { return FakeReply{.raw = "hello there\r\n"}; });
  const std::string big(3 << 20, 'z');
  FakeHttpServer sized([&](const FakeRequest&) { return FakeReply{.body = big}; });
  FakeHttpServer unsized(
      [&](const FakeRequest&) { return FakeReply{.raw = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + big}; });
  const std::pair<FetchRequest, std::string> cases[] = {
      {{.url = closed}, "Couldn't connect to server"},
      {{.url = silent.baseURL() + "/", .idleTimeout = 300ms}, "the request timed out (no data for 300 ms)"},
      {{.url = silent.baseURL() + "/", .totalTimeout = 300ms}, "Operation timed out"},
      {{.url = garbage.baseURL() + "/"}, ""},  // curl words it
      {{.url = sized.baseURL() + "/", .maxBodyBytes = 1 << 20}, "the response body is larger than 1 MiB"},
      {{.url = unsized.baseURL() + "/", .maxBodyBytes = 1 << 20}, "the response body is larger than 1 MiB"}};
  for (const auto& [request, reason] : cases) {
    auto r = runToCompletion(client.send(request));
    EXPECT_TRUE(!r && r.message().find(reason) != std::string::npos) << request.url << ": " << outcome(r);
  }
  EXPECT_EQ(runToCompletion(client.send({.url = sized.baseURL() + "/", .maxBodyBytes = 4 << 20}))->body, big);

  asio::io_context io;
  std::optional<Result<FetchResponse>> r;
  {
    HttpClient stopped;
    asio::co_spawn(io, sendNotingThread(stopped, {.url = silent.baseURL() + "/"}, r), asio::detached);
    io.poll();  // the request is on its way
  }
  io.run();
  EXPECT_EQ(outcome(*r), "the HTTP client is shutting down");
}

// 64 requests the server answers only once all 64 are waiting at the same time.
TEST(HttpClientTest, ManySlowRequestsWaitTogether) {
  std::atomic<int> arrived = 0;
  FakeHttpServer server([&](const FakeRequest&) {
    ++arrived;
    return FakeReply{.body = testing::waitUntil([&] { return arrived == 64; }, 20s) ? "ok" : "alone"};
  });
  HttpClient client;
  asio::io_context io;
  std::vector<std::optional<Result<FetchResponse>>> answers(64);
  for (auto& a : answers) asio::co_spawn(io, sendNotingThread(client, {.url = server.baseURL() + "/"}, a), asio::detached);
  io.run();
  for (const auto& a : answers) EXPECT_EQ(outcome(*a), "ok");
}

// What the pool's work throws is not lost on a pool thread (nor does it end the program).
TEST(AsyncTest, AnExceptionOnTheWorkerPoolReachesTheAwaitingCoroutine) {
  EXPECT_THROW(runToCompletion(runBlocking([]() -> int { throw std::runtime_error("lost"); })), std::runtime_error);
}

// Without a reachable daemon (the system bus points nowhere, so nothing goes on
// the network) the advertiser logs once and every call returns promptly.
TEST(DnsSdAdvertiserWithoutDaemon, LogsOnceAndKeepsGoing) {
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tavlo-test-bus", 1);
  testing::LogCapture log;
  const auto begin = std::chrono::steady_clock::now();
  {
    DnsSdAdvertiser advertiser;
    DnsSdAdvertiser::Service service{"Tavlo on " + std::string(80, 'x'), "_tavlo._tcp", 18765, {{"version", "0.1.0"}}};
    for (int i = 0; i < 2; ++i) advertiser.publish(service);
    EXPECT_EQ(advertiser.currentName().size(), 63u);  // one DNS label at most
    advertiser.withdraw();
    EXPECT_EQ(advertiser.currentName(), "");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
  const auto lines = log.lines();
  EXPECT_TRUE(lines.size() == 1 && lines[0].starts_with("Tavlo DNS-SD unavailable")) << ::testing::PrintToString(lines);
}

}  // namespace
}  // namespace tavlo
