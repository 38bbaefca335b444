// The pairing record and the store under it, on real SQLite files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <asio.hpp>

#include "../pack/PackTestSupport.hpp"
#include "platform/KvStore.hpp"
#include "platform/Log.hpp"
#include "shared/PairingStore.hpp"

namespace tavlo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using testing::TempDir;

struct LogCapture {
  std::vector<std::string> lines;
  LogCapture() {
    setLogSink([this](std::string_view l) { lines.emplace_back(l); });
  }
  ~LogCapture() { setLogSink({}); }
};

TEST(PairingStore, PublishThenLoadRoundTrips) {
  TempDir tmp;
  KvStore store(tmp.path() / "nested" / "pairing.sqlite3");
  auto now = PairingStore::Clock::now();
  PairingStore::publish(store, "Desk", "192.168.1.20", "100.64.0.7", "desk.tail.ts.net", 18765, now);
  auto info = PairingStore::loadMacInfo(store);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->hostname, "Desk");
  EXPECT_EQ(info->lanIP, "192.168.1.20");
  EXPECT_EQ(info->tailscaleHostname, "desk.tail.ts.net");
  EXPECT_EQ(info->port, 18765);
  EXPECT_LT(std::chrono::abs(info->updatedAt - now), 1ms);
  EXPECT_EQ(info->preferredHost(), "100.64.0.7:18765");

  // Absent values are written as empty texts and read back as absent.
  PairingStore::publish(store, "Desk", std::nullopt, std::nullopt, std::nullopt, 18765);
  info = PairingStore::loadMacInfo(store);
  ASSERT_TRUE(info);
  EXPECT_FALSE(info->lanIP);
  EXPECT_FALSE(info->tailscaleIP);
  EXPECT_FALSE(info->preferredHost());
  EXPECT_EQ(store.getString(PairingStore::K::lan), "");

  PairingStore::publish(store, "Desk", "10.0.0.2", "", std::nullopt, 18765);
  EXPECT_EQ(PairingStore::loadMacInfo(store)->preferredHost(), "10.0.0.2:18765");
}

TEST(PairingStore, IncompleteRecordsAreNotLoaded) {
  TempDir tmp;
  KvStore store(tmp.path() / "pairing.sqlite3");
  EXPECT_FALSE(PairingStore::loadMacInfo(store));
  PairingStore::publish(store, "", "10.0.0.2", std::nullopt, std::nullopt, 18765);
  EXPECT_FALSE(PairingStore::loadMacInfo(store));
  for (std::int64_t port : {0, -1}) {
    PairingStore::publish(store, "Desk", "10.0.0.2", std::nullopt, std::nullopt, port);
    EXPECT_FALSE(PairingStore::loadMacInfo(store)) << port;
  }
  PairingStore::publish(store, "Desk", "10.0.0.2", std::nullopt, std::nullopt, 1);
  store.setString(PairingStore::K::updatedAt, "yesterday");
  auto info = PairingStore::loadMacInfo(store);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->updatedAt, PairingStore::distantPast);
  auto other = *info;
  other.updatedAt = PairingStore::Clock::now();
  EXPECT_NE(other, *info);
}

TEST(KvStore, ReaderOnAnotherConnectionSeesWholeRecordsAndVersionChanges) {
  TempDir tmp;
  KvStore writer(tmp.path() / "s.sqlite3");
  KvStore reader(tmp.path() / "s.sqlite3");
  auto before = reader.dataVersion();
  ASSERT_TRUE(before);
  PairingStore::publish(writer, "Desk", "10.0.0.2", std::nullopt, std::nullopt, 18765);
  EXPECT_NE(reader.dataVersion(), before);
  EXPECT_EQ(PairingStore::loadMacInfo(reader)->hostname, "Desk");
}

TEST(PairingStore, ChangesFromElsewhereAreDeliveredOnTheExecutor) {
  TempDir tmp;
  auto mine = std::make_shared<KvStore>(tmp.path() / "p.sqlite3");
  KvStore phone(tmp.path() / "p.sqlite3");
  asio::io_context io;
  int calls = 0;
  std::thread::id where;
  auto token = PairingStore::observeRemoteChanges(
      mine, io.get_executor(),
      [&] {
        ++calls;
        where = std::this_thread::get_id();
      },
      10ms);
  io.run_for(50ms);
  EXPECT_EQ(calls, 0);
  PairingStore::publish(phone, "Phone side", std::nullopt, std::nullopt, std::nullopt, 1);
  io.restart();
  io.run_for(100ms);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(where, std::this_thread::get_id());
  EXPECT_EQ(PairingStore::loadMacInfo(*mine)->hostname, "Phone side");
  token.reset();
  PairingStore::publish(phone, "Again", std::nullopt, std::nullopt, std::nullopt, 1);
  io.restart();
  io.run_for(100ms);
  EXPECT_EQ(calls, 1);
}

TEST(KvStore, BadFilesAreReportedOnceAndNeverOverwritten) {
  TempDir tmp;
  LogCapture log;
  auto corrupt = tmp.path() / "corrupt.sqlite3";
  {
    std::ofstream(corrupt) << std::string(4096, 'x');
  }
  KvStore store(corrupt);
  EXPECT_FALSE(store.available());
  EXPECT_FALSE(store.setString("selectedModelID", "ollama:x"));
  EXPECT_FALSE(store.getString("selectedModelID"));
  EXPECT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(fs::file_size(corrupt), 4096u);

  // A folder that cannot be created: unavailable, one line, no crash.
  log.lines.clear();
  KvStore nowhere(corrupt / "sub" / "x.sqlite3");
  EXPECT_FALSE(nowhere.available());
  EXPECT_EQ(log.lines.size(), 1u);
}

}  // namespace
}  // namespace tavlo
