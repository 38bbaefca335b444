#include "platform/HttpClient.hpp"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <cstdlib>
#include <future>
#include <optional>

#include "FakeHttpServer.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
using testing::FakeHttpServer;
using testing::FakeReply;
using testing::FakeRequest;

HttpResponse sendAndWait(HttpClient& client, HttpRequest request) {
  std::promise<HttpResponse> p;
  client.send(std::move(request), [&p](HttpResponse r) { p.set_value(std::move(r)); });
  auto f = p.get_future();
  if (f.wait_for(30s) != std::future_status::ready) return HttpResponse{0, "", "test: no callback"};
  return f.get();
}

int closedPort() {
  FakeHttpServer probe([](const FakeRequest&) { return FakeReply{}; });
  return probe.port();
}

TEST(HttpClientTest, SendsTheRequestAsGivenAndReturnsStatusAndBody) {
  FakeHttpServer server([](const FakeRequest& r) { return FakeReply{.status = 404, .body = "no " + r.path}; });
  HttpClient client;
  std::string body(1 << 20, 'b');
  auto r = sendAndWait(client, {.method = "POST",
                                .url = server.baseURL() + "/api/chat",
                                .headers = {{"Content-Type", "application/json"}},
                                .body = body});
  ASSERT_TRUE(r.ok()) << r.error;
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, "no /api/chat");
  auto seen = server.requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "POST");
  EXPECT_EQ(seen[0].headers["content-type"], "application/json");
  EXPECT_EQ(seen[0].headers.count("expect"), 0u);
  EXPECT_EQ(seen[0].body, body);
}

TEST(HttpClientTest, IgnoresProxySettingsFromTheEnvironment) {
  FakeHttpServer server([](const FakeRequest&) { return FakeReply{.body = "direct"}; });
  HttpClient client;
  ::setenv("http_proxy", "http://127.0.0.1:9", 1);
  ::setenv("HTTP_PROXY", "http://127.0.0.1:9", 1);
  auto r = sendAndWait(client, {.url = server.baseURL() + "/"});
  ::unsetenv("http_proxy");
  ::unsetenv("HTTP_PROXY");
  EXPECT_EQ(r.body, "direct") << r.error;
}

TEST(HttpClientTest, TransportFailuresAreErrorsNotAnswers) {
  HttpClient client;
  auto refused = sendAndWait(client, {.url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/"});
  EXPECT_FALSE(refused.ok());
  EXPECT_EQ(refused.status, 0);

  FakeHttpServer silent([](const FakeRequest&) { return FakeReply{.hang = true}; });
  auto t0 = std::chrono::steady_clock::now();
  auto idle = sendAndWait(client, {.url = silent.baseURL() + "/", .idleTimeout = 300ms});
  EXPECT_NE(idle.error.find("timed out"), std::string::npos) << idle.error;
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);

  auto total = sendAndWait(client, {.url = silent.baseURL() + "/", .totalTimeout = 300ms});
  EXPECT_FALSE(total.ok());

  FakeHttpServer garbage([](const FakeRequest&) { return FakeReply{.raw = "hello there\r\n"}; });
  EXPECT_FALSE(sendAndWait(client, {.url = garbage.baseURL() + "/"}).ok());
}

TEST(HttpClientTest, SlowButSteadyAnswerIsNotAnIdleTimeout) {
  FakeHttpServer slow([](const FakeRequest&) { return FakeReply{.body = "late", .delay = 400ms}; });
  HttpClient client;
  auto r = sendAndWait(client, {.url = slow.baseURL() + "/", .idleTimeout = 1500ms});
  EXPECT_EQ(r.body, "late") << r.error;
}

TEST(HttpClientTest, OversizedBodiesAreAbortedWithAClearError) {
  std::string big(3 << 20, 'z');
  FakeHttpServer sized([&](const FakeRequest&) { return FakeReply{.body = big}; });
  FakeHttpServer unsized([&](const FakeRequest&) {
    return FakeReply{.raw = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + big};
  });
  HttpClient client;
  for (auto* server : {&sized, &unsized}) {
    auto r = sendAndWait(client, {.url = server->baseURL() + "/", .maxBodyBytes = 1 << 20});
    EXPECT_EQ(r.error, "the response body is larger than 1 MiB");
    EXPECT_TRUE(r.body.empty());
  }
  auto fits = sendAndWait(client, {.url = sized.baseURL() + "/", .maxBodyBytes = 4 << 20});
  EXPECT_EQ(fits.body.size(), big.size());
}

TEST(HttpClientTest, ManySlowRequestsWaitTogether) {
  FakeHttpServer slow([](const FakeRequest&) { return FakeReply{.body = "ok", .delay = 500ms}; });
  HttpClient client;
  constexpr int kCount = 64;
  std::vector<std::promise<HttpResponse>> promises(kCount);
  auto t0 = std::chrono::steady_clock::now();
  for (auto& p : promises) client.send({.url = slow.baseURL() + "/"}, [&p](HttpResponse r) { p.set_value(std::move(r)); });
  int ok = 0;
  for (auto& p : promises) ok += p.get_future().get().body == "ok";
  EXPECT_EQ(ok, kCount);
  // One after the other would take 32 s; the margin is for sanitizer builds.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 4s);
}

TEST(HttpClientTest, AwaitableFormResumesOnTheCallersExecutor) {
  FakeHttpServer server([](const FakeRequest&) { return FakeReply{.body = "hi"}; });
  HttpClient client;
  asio::io_context io;
  std::optional<HttpResponse> got;
  std::thread::id resumedOn;
  asio::co_spawn(io, [&]() -> asio::awaitable<void> {
    HttpRequest request{.url = server.baseURL() + "/"};
    got = co_await client.send(std::move(request));
    resumedOn = std::this_thread::get_id();
  }, asio::detached);
  io.run();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->body, "hi");
  EXPECT_EQ(resumedOn, std::this_thread::get_id());
}

TEST(HttpClientTest, StoppingTheClientAnswersRequestsStillWaiting) {
  FakeHttpServer silent([](const FakeRequest&) { return FakeReply{.hang = true}; });
  std::promise<HttpResponse> p;
  {
    HttpClient client;
    client.send({.url = silent.baseURL() + "/"}, [&p](HttpResponse r) { p.set_value(std::move(r)); });
    std::this_thread::sleep_for(100ms);
  }
  auto f = p.get_future();
  ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(f.get().ok());
}

}  // namespace
}  // namespace tavlo
