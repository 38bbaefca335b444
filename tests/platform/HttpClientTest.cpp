#include "platform/HttpClient.hpp"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <cstdlib>
#include <future>
#include <optional>
#include <set>

#include "support/FakeHttpServer.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
using testing::FakeHttpServer;
using testing::FakeReply;
using testing::FakeRequest;

FetchResponse sendAndWait(HttpClient& client, FetchRequest request) {
  std::promise<FetchResponse> p;
  client.send(std::move(request), [&p](FetchResponse r) { p.set_value(std::move(r)); });
  auto f = p.get_future();
  if (f.wait_for(30s) != std::future_status::ready) return FetchResponse{0, "", "test: no callback"};
  return f.get();
}

TEST(HttpClientTest, SendsTheRequestAsGivenDirectlyAndResumesOnTheCallersExecutor) {
  FakeHttpServer server([](const FakeRequest& r) { return FakeReply{.status = 404, .body = "no " + r.path}; });
  HttpClient client;
  asio::io_context io;
  std::optional<FetchResponse> r;
  std::thread::id resumedOn;
  std::string body(1 << 20, 'b');
  ::setenv("http_proxy", "http://127.0.0.1:9", 1);  // a local server is never reached through a proxy
  ::setenv("HTTP_PROXY", "http://127.0.0.1:9", 1);
  asio::co_spawn(io, [&]() -> asio::awaitable<void> {
    FetchRequest request{.method = "POST", .url = server.baseURL() + "/api/chat",
                        .headers = {{"Content-Type", "application/json"}}, .body = body};
    r = co_await client.send(std::move(request));
    resumedOn = std::this_thread::get_id();
  }, asio::detached);
  io.run();
  ::unsetenv("http_proxy");
  ::unsetenv("HTTP_PROXY");
  ASSERT_TRUE(r && r->ok()) << (r ? r->error : "no answer");
  EXPECT_EQ(resumedOn, std::this_thread::get_id());
  EXPECT_EQ(r->status, 404);
  EXPECT_EQ(r->body, "no /api/chat");
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].headers["content-type"], "application/json");
  EXPECT_EQ(seen[0].headers.count("expect"), 0u);
  EXPECT_EQ(seen[0].body, body);
}

TEST(HttpClientTest, TransportFailuresAreErrorsNotAnswers) {
  HttpClient client;
  std::string closed = FakeHttpServer([](const FakeRequest&) { return FakeReply{}; }).baseURL();
  auto refused = sendAndWait(client, {.url = closed + "/"});
  EXPECT_FALSE(refused.ok());
  EXPECT_EQ(refused.status, 0);

  FakeHttpServer silent([](const FakeRequest&) { return FakeReply{.hang = true}; });
  auto t0 = std::chrono::steady_clock::now();
  auto idle = sendAndWait(client, {.url = silent.baseURL() + "/", .idleTimeout = 300ms});
  EXPECT_NE(idle.error.find("timed out"), std::string::npos) << idle.error;
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  EXPECT_FALSE(sendAndWait(client, {.url = silent.baseURL() + "/", .totalTimeout = 300ms}).ok());

  FakeHttpServer garbage([](const FakeRequest&) { return FakeReply{.raw = "hello there\r\n"}; });
  EXPECT_FALSE(sendAndWait(client, {.url = garbage.baseURL() + "/"}).ok());

  // A client stopped with a request still waiting answers it.
  std::promise<FetchResponse> p;
  {
    HttpClient stopped;
    stopped.send({.url = silent.baseURL() + "/"}, [&p](FetchResponse r) { p.set_value(std::move(r)); });
    std::this_thread::sleep_for(100ms);
  }
  auto f = p.get_future();
  ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(f.get().ok());
}

TEST(HttpClientTest, OversizedBodiesAreAbortedWithAClearError) {
  std::string big(3 << 20, 'z');
  FakeHttpServer sized([&](const FakeRequest&) { return FakeReply{.body = big}; });
  FakeHttpServer unsized(
      [&](const FakeRequest&) { return FakeReply{.raw = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + big}; });
  HttpClient client;
  for (auto* server : {&sized, &unsized}) {
    auto r = sendAndWait(client, {.url = server->baseURL() + "/", .maxBodyBytes = 1 << 20});
    EXPECT_EQ(r.error, "the response body is larger than 1 MiB");
    EXPECT_TRUE(r.body.empty());
  }
  EXPECT_EQ(sendAndWait(client, {.url = sized.baseURL() + "/", .maxBodyBytes = 4 << 20}).body.size(), big.size());
}

TEST(HttpClientTest, ManySlowRequestsWaitTogetherOnTheClientsOneThread) {
  FakeHttpServer slow([](const FakeRequest&) { return FakeReply{.body = "ok", .delay = 500ms}; });
  HttpClient client;
  std::vector<std::promise<std::pair<FetchResponse, std::thread::id>>> promises(64);
  auto t0 = std::chrono::steady_clock::now();
  for (auto& p : promises)  // a 500 ms pause is well inside the idle limit
    client.send({.url = slow.baseURL() + "/", .idleTimeout = 1500ms},
                [&p](FetchResponse r) { p.set_value({std::move(r), std::this_thread::get_id()}); });
  std::set<std::thread::id> threads;
  for (auto& p : promises) {
    auto [r, id] = p.get_future().get();
    EXPECT_EQ(r.body, "ok") << r.error;
    threads.insert(id);
  }
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  // One after the other would take 32 s; the margin is for sanitizer builds.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 4s);
}

}  // namespace
}  // namespace tavlo
