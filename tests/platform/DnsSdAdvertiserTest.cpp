#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/DnsSdAdvertiser.hpp"
#include "platform/Log.hpp"

namespace tavlo {
namespace {

// Without a reachable daemon (the system bus points nowhere, so nothing goes on
// the network) the advertiser logs once and every call returns promptly.
TEST(DnsSdAdvertiserWithoutDaemon, LogsOnceAndKeepsGoing) {
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tavlo-test-bus", 1);
  std::mutex mutex;
  std::vector<std::string> lines;
  setLogSink([&](std::string_view line) { std::lock_guard lock(mutex); lines.emplace_back(line); });
  const auto begin = std::chrono::steady_clock::now();
  {
    DnsSdAdvertiser advertiser;
    DnsSdAdvertiser::Service service{"Tavlo on " + std::string(80, 'x'), "_tavlo._tcp", 18765, {{"version", "0.1.0"}}};
    advertiser.publish(service);
    advertiser.publish(service);
    EXPECT_EQ(advertiser.currentName().size(), 63u);  // one DNS label at most
    advertiser.withdraw();
    EXPECT_EQ(advertiser.currentName(), "");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
  setLogSink({});
  EXPECT_TRUE(lines.size() == 1 && lines[0].starts_with("Tavlo DNS-SD unavailable")) << testing::PrintToString(lines);
}

}  // namespace
}  // namespace tavlo
