#include <gtest/gtest.h>

#include "platform/Async.hpp"
#include "presence/TailscaleProbe.hpp"
#include "support/TestSupport.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;

TEST(TailscaleStatusParsing, ConnectedOnlyWithAnIPv4WhileRunning) {
  const auto stopped = TailscaleStatus::stopped();
  const auto connected = TailscaleStatus::connected;
  const std::pair<const char*, TailscaleStatus> cases[] = {
      {R"({"BackendState":"Running","Self":{"TailscaleIPs":["fd7a:115c::1","100.101.102.103"],"DNSName":"desk.tail1234.ts.net."}})",
       connected("100.101.102.103", "desk.tail1234.ts.net")},
      // No backend state at all still counts when an address is listed.
      {R"({"Self":{"TailscaleIPs":["100.1.2.3"]}})", connected("100.1.2.3", std::nullopt)},
      {R"({"BackendState":7,"Self":{"TailscaleIPs":["100.1.2.3"],"DNSName":"."}})", connected("100.1.2.3", std::nullopt)},
      {R"({"Self":{"TailscaleIPs":["100.1.2.3"],"DNSName":5}})", connected("100.1.2.3", std::nullopt)},
      {R"({"Self":{"TailscaleIPs":["100.1.2.3"],"DNSName":"..a.b.."}})", connected("100.1.2.3", "a.b")},
      {R"({"BackendState":"NeedsLogin","Self":{"TailscaleIPs":["100.1.2.3"]}})", stopped},
      {R"({"BackendState":"Running","Self":{"TailscaleIPs":["fd7a:115c::1"]}})", stopped},
      {R"({"BackendState":"Running","Self":{"TailscaleIPs":["100.1.2.3", 5]}})", stopped},
      {R"({"BackendState":"Running","Self":{"TailscaleIPs":"100.1.2.3"}})", stopped},
      {R"({"BackendState":"Running","Self":[]})", stopped},
      {R"([{"Self":{"TailscaleIPs":["100.1.2.3"]}}])", stopped},
      {"failed to connect to local tailscaled; it doesn't appear to be running", stopped},
  };
  for (const auto& [out, expected] : cases) EXPECT_EQ(TailscaleProbe::parseStatus(out), expected) << out;
}

constexpr const char* kRunning =
    R"(echo '{"BackendState":"Running","Self":{"TailscaleIPs":["fd7a::1","100.90.1.2"],"DNSName":"desk.example.ts.net."}}')";

TEST(TailscaleToolTest, FirstExecutableCandidateRunsAndItsOutputDecides) {
  testing::TempDir dir;
  auto tool = [&](const std::string& name, const std::string& script, bool executable = true) {
    return testing::writeScript(dir / name, script + "\n", executable);
  };
  auto options = [](std::vector<std::string> candidates) { return TailscaleProbe::Options{std::move(candidates), 500ms}; };
  const TailscaleStatus running = TailscaleStatus::connected("100.90.1.2", "desk.example.ts.net");
  const std::string missing = (dir / "absent").string(), notExecutable = tool("plain", "echo '{}'", false);
  const std::pair<std::vector<std::string>, TailscaleStatus> cases[] = {
      {{missing, notExecutable, tool("ts", std::string("[ \"$1 $2\" = \"status --json\" ] || exit 3\n") + kRunning),
        tool("later", "echo '{\"Self\":{\"TailscaleIPs\":[\"100.0.0.9\"]}}'")}, running},
      {{missing, notExecutable}, TailscaleStatus::notInstalled()},
      {{tool("fails", std::string(kRunning) + "\nexit 1")}, running},  // the exit status is ignored
      {{tool("text", "echo 'not running' >&2; echo 'oops'")}, TailscaleStatus::stopped()},
      {{tool("hang", "sleep 60")}, TailscaleStatus::stopped()},  // killed at the time limit
  };
  for (const auto& [candidates, expected] : cases)
    EXPECT_EQ(runToCompletion(TailscaleProbe::read(options(candidates))), expected) << candidates.back();
}

}  // namespace
}  // namespace tavlo
