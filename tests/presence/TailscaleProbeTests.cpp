#include <gtest/gtest.h>

#include <sys/stat.h>

#include <asio.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>

#include "presence/TailscaleProbe.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(TailscaleStatusParsing, ConnectedForms) {
  EXPECT_EQ(TailscaleProbe::parseStatus(R"({"BackendState":"Running","Self":{"TailscaleIPs":["fd7a:115c::1","100.101.102.103"],"DNSName":"desk.tail1234.ts.net."}})"),
            TailscaleStatus::connected("100.101.102.103", "desk.tail1234.ts.net"));
  // No backend state at all still counts when an address is listed.
  EXPECT_EQ(TailscaleProbe::parseStatus(R"({"Self":{"TailscaleIPs":["100.1.2.3"]}})"),
            TailscaleStatus::connected("100.1.2.3", std::nullopt));
  EXPECT_EQ(TailscaleProbe::parseStatus(R"({"BackendState":7,"Self":{"TailscaleIPs":["100.1.2.3"],"DNSName":"."}})"),
            TailscaleStatus::connected("100.1.2.3", std::nullopt));
  EXPECT_EQ(TailscaleProbe::parseStatus(R"({"Self":{"TailscaleIPs":["100.1.2.3"],"DNSName":5}})"),
            TailscaleStatus::connected("100.1.2.3", std::nullopt));
  EXPECT_EQ(TailscaleProbe::parseStatus(R"({"Self":{"TailscaleIPs":["100.1.2.3"],"DNSName":"..a.b.."}})"),
            TailscaleStatus::connected("100.1.2.3", "a.b"));
}

TEST(TailscaleStatusParsing, StoppedForms) {
  const char* stopped[] = {
      R"({"BackendState":"NeedsLogin","Self":{"TailscaleIPs":["100.1.2.3"]}})",
      R"({"BackendState":"Stopped","Self":{"TailscaleIPs":["100.1.2.3"]}})",
      R"({"BackendState":"NoState","Self":{"TailscaleIPs":["100.1.2.3"]}})",
      R"({"BackendState":"Running","Self":{"TailscaleIPs":["fd7a:115c::1"]}})",
      R"({"BackendState":"Running","Self":{"TailscaleIPs":["100.1.2.3", 5]}})",
      R"({"BackendState":"Running","Self":{"TailscaleIPs":"100.1.2.3"}})",
      R"({"BackendState":"Running","Self":[]})",
      R"({"BackendState":"Running"})",
      R"([{"Self":{"TailscaleIPs":["100.1.2.3"]}}])",
      "failed to connect to local tailscaled; it doesn't appear to be running",
      "",
  };
  for (const char* out : stopped) EXPECT_EQ(TailscaleProbe::parseStatus(out), TailscaleStatus::stopped()) << out;
}

TEST(TailscaleStatusParsing, Equality) {
  EXPECT_NE(TailscaleStatus::connected("1.2.3.4", std::nullopt), TailscaleStatus::connected("1.2.3.4", ""));
  EXPECT_EQ(TailscaleStatus::stopped(), TailscaleStatus::stopped());
  EXPECT_NE(TailscaleStatus::stopped(), TailscaleStatus::notInstalled());
}

// Fake `tailscale` tools in a temporary folder.
class TailscaleToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("tavlo-ts-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string tool(const std::string& name, const std::string& script, bool executable = true) {
    const fs::path path = dir_ / name;
    std::ofstream(path) << "#!/bin/sh\n" << script << "\n";
    ::chmod(path.c_str(), executable ? 0755 : 0644);
    return path.string();
  }
  TailscaleProbe::Options options(std::vector<std::string> candidates) {
    TailscaleProbe::Options o;
    o.candidates = std::move(candidates);
    o.timeLimit = 500ms;
    return o;
  }

  fs::path dir_;
};

constexpr const char* kRunning =
    R"(cat <<'EOF'
{"BackendState":"Running","Self":{"TailscaleIPs":["fd7a:115c:a1e0::1","100.90.1.2"],"DNSName":"desk.example.ts.net."}}
EOF)";

TEST_F(TailscaleToolTest, RunsTheFirstExecutableCandidateWithItsArguments) {
  const std::string missing = (dir_ / "absent").string();
  const std::string notExecutable = tool("plain", "echo '{}'", false);
  const std::string checksArgs = tool("ts", std::string("[ \"$1 $2\" = \"status --json\" ] || exit 3\n") + kRunning);
  const std::string later = tool("later", "echo '{\"Self\":{\"TailscaleIPs\":[\"100.0.0.9\"]}}'");
  EXPECT_EQ(TailscaleProbe::readBlocking(options({missing, notExecutable, checksArgs, later})),
            TailscaleStatus::connected("100.90.1.2", "desk.example.ts.net"));
  EXPECT_EQ(TailscaleProbe::readBlocking(options({missing, notExecutable})), TailscaleStatus::notInstalled());
  EXPECT_EQ(TailscaleProbe::readBlocking(options({})), TailscaleStatus::notInstalled());
}

TEST_F(TailscaleToolTest, ExitStatusIsIgnoredAndBadAnswersAreStopped) {
  EXPECT_EQ(TailscaleProbe::readBlocking(options({tool("fails", std::string(kRunning) + "\nexit 1")})),
            TailscaleStatus::connected("100.90.1.2", "desk.example.ts.net"));
  EXPECT_EQ(TailscaleProbe::readBlocking(options({tool("login",
                R"(echo '{"BackendState":"NeedsLogin","Self":{"TailscaleIPs":["100.1.1.1"]}}')")})),
            TailscaleStatus::stopped());
  EXPECT_EQ(TailscaleProbe::readBlocking(options({tool("text", "echo 'not running' >&2; echo 'oops'")})),
            TailscaleStatus::stopped());
  EXPECT_EQ(TailscaleProbe::readBlocking(options({tool("array", "echo '[1,2]'")})), TailscaleStatus::stopped());
  // Stderr is discarded, however much of it there is.
  EXPECT_EQ(TailscaleProbe::readBlocking(
                options({tool("chatty", std::string("head -c 300000 /dev/zero >&2\n") + kRunning)})),
            TailscaleStatus::connected("100.90.1.2", "desk.example.ts.net"));
}

TEST_F(TailscaleToolTest, LargeOutputIsReadWhileTheToolRuns) {
  // A status listing many peers outgrows a pipe; the tool must not block on it.
  std::string script = "printf '{\"Peer\":{\"x\":\"'\nhead -c 500000 /dev/zero | tr '\\0' 'a'\n"
                       "printf '\"},\"Self\":{\"TailscaleIPs\":[\"100.5.5.5\"]}}'";
  EXPECT_EQ(TailscaleProbe::readBlocking(options({tool("big", script)})),
            TailscaleStatus::connected("100.5.5.5", std::nullopt));
}

TEST_F(TailscaleToolTest, HangingToolIsKilledAtTheLimit) {
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(TailscaleProbe::readBlocking(options({tool("hang", "sleep 60")})), TailscaleStatus::stopped());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
}

TEST_F(TailscaleToolTest, CallbackAndAwaitableForms) {
  auto opts = options({tool("ts", kRunning)});
  const auto expected = TailscaleStatus::connected("100.90.1.2", "desk.example.ts.net");

  std::promise<TailscaleStatus> promise;
  TailscaleProbe::read([&](TailscaleStatus s) { promise.set_value(std::move(s)); }, opts);
  EXPECT_EQ(promise.get_future().get(), expected);

  asio::io_context io;
  std::optional<TailscaleStatus> awaited;
  asio::co_spawn(io, [&]() -> asio::awaitable<void> { awaited = co_await TailscaleProbe::read(opts); },
                 asio::detached);
  io.run();
  EXPECT_EQ(awaited, expected);
}

}  // namespace
}  // namespace tavlo
