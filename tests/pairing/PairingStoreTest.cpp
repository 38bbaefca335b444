// The pairing record and the store under it, on real SQLite files.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include <asio.hpp>

#include "support/TestSupport.hpp"
#include "platform/KvStore.hpp"
#include "platform/Log.hpp"
#include "pairing/PairingStore.hpp"

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
  auto info = PairingStore::loadPairingRecord(store);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->hostname, "Desk");
  EXPECT_EQ(info->lanIP, "192.168.1.20");
  EXPECT_EQ(info->tailscaleHostname, "desk.tail.ts.net");
  EXPECT_EQ(info->port, 18765);
  EXPECT_LT(std::chrono::abs(info->updatedAt - now), 1ms);
  EXPECT_EQ(info->preferredHost(), "100.64.0.7:18765");

  // Absent values are written as empty texts and read back as absent.
  PairingStore::publish(store, "Desk", std::nullopt, std::nullopt, std::nullopt, 18765);
  info = PairingStore::loadPairingRecord(store);
  ASSERT_TRUE(info);
  EXPECT_FALSE(info->lanIP);
  EXPECT_FALSE(info->tailscaleIP);
  EXPECT_FALSE(info->preferredHost());
  EXPECT_EQ(store.getString(PairingStore::K::lan), "");

  PairingStore::publish(store, "Desk", "10.0.0.2", "", std::nullopt, 18765);
  EXPECT_EQ(PairingStore::loadPairingRecord(store)->preferredHost(), "10.0.0.2:18765");
}

TEST(PairingStore, IncompleteRecordsAreNotLoaded) {
  TempDir tmp;
  KvStore store(tmp.path() / "pairing.sqlite3");
  EXPECT_FALSE(PairingStore::loadPairingRecord(store));
  PairingStore::publish(store, "", "10.0.0.2", std::nullopt, std::nullopt, 18765);
  EXPECT_FALSE(PairingStore::loadPairingRecord(store));
  for (std::int64_t port : {0, -1}) {
    PairingStore::publish(store, "Desk", "10.0.0.2", std::nullopt, std::nullopt, port);
    EXPECT_FALSE(PairingStore::loadPairingRecord(store)) << port;
  }
  PairingStore::publish(store, "Desk", "10.0.0.2", std::nullopt, std::nullopt, 1);
  store.setString(PairingStore::K::updatedAt, "yesterday");
  auto info = PairingStore::loadPairingRecord(store);
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
  EXPECT_EQ(PairingStore::loadPairingRecord(reader)->hostname, "Desk");
}

// The refresh publishes every 5 s: only a changed value may cost a disk write.
TEST(PairingStore, UnchangedRecordIsNotWrittenAgain) {
  TempDir tmp;
  KvStore mine(tmp.path() / "p.sqlite3");
  KvStore reader(tmp.path() / "p.sqlite3");
  EXPECT_TRUE(PairingStore::publish(mine, "Desk", "10.0.0.2", std::nullopt, std::nullopt, 18765));
  const auto written = PairingStore::loadPairingRecord(reader)->updatedAt;
  const auto version = reader.dataVersion();
  EXPECT_FALSE(PairingStore::publish(mine, "Desk", "10.0.0.2", "", std::nullopt, 18765));
  EXPECT_EQ(reader.dataVersion(), version);
  EXPECT_EQ(PairingStore::loadPairingRecord(reader)->updatedAt, written);
  struct Change {
    std::string host;
    std::optional<std::string> lan, ip, name;
    std::int64_t port;
  };
  for (const Change& c : {Change{"Desk 2", "10.0.0.2", {}, {}, 18765}, Change{"Desk 2", {}, {}, {}, 18765},
                          Change{"Desk 2", {}, "100.64.0.7", {}, 18765}, Change{"Desk 2", {}, "100.64.0.7", "d.ts.net", 18765},
                          Change{"Desk 2", {}, "100.64.0.7", "d.ts.net", 1}}) {
    const auto before = reader.dataVersion();
    EXPECT_TRUE(PairingStore::publish(mine, c.host, c.lan, c.ip, c.name, c.port)) << c.host << c.port;
    EXPECT_NE(reader.dataVersion(), before);
  }
  EXPECT_TRUE(PairingStore::publish(mine, "Desk 2", {}, "100.64.0.7", "d.ts.net", 1, PairingStore::Clock::now(), true));
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
  EXPECT_EQ(PairingStore::loadPairingRecord(*mine)->hostname, "Phone side");
  token.reset();
  PairingStore::publish(phone, "Again", std::nullopt, std::nullopt, std::nullopt, 1);
  io.restart();
  io.run_for(100ms);
  EXPECT_EQ(calls, 1);
}

// Another program holding the file: the store neither waits for it at start nor
// loses what is written meanwhile; the writes land once the lock goes.
TEST(KvStore, LockedFileIsOpenedLaterAndKeptWritesLand) {
  struct Holder {
    const char* setup;  // run by the other program before it takes the lock
    bool releaseBySet;  // release, then a new write (else a retry) saves the kept ones
  };
  for (const Holder& holder : {Holder{"", false}, Holder{"PRAGMA journal_mode=WAL; PRAGMA locking_mode=EXCLUSIVE;", true}}) {
    SCOPED_TRACE(holder.setup);
    TempDir tmp;
    LogCapture log;
    const auto file = tmp.path() / "defaults.sqlite3";
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, holder.setup, nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "CREATE TABLE IF NOT EXISTS kv(key TEXT PRIMARY KEY, value ANY) STRICT;"
                                  "BEGIN EXCLUSIVE; INSERT INTO kv VALUES('kept', 'theirs')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);

    KvStore store(file, 1ms, 1ms);
    EXPECT_TRUE(store.locked());
    EXPECT_FALSE(store.available());
    EXPECT_FALSE(store.setString("selectedModelID", "ollama:a"));
    EXPECT_FALSE(store.set({{"selectedModelID", std::string("ollama:b")}, {"n", std::int64_t{7}}}));
    EXPECT_FALSE(store.retry());
    EXPECT_EQ(log.lines.size(), 1u);

    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    if (holder.releaseBySet) {
      EXPECT_TRUE(store.setString("other", "x"));
      EXPECT_EQ(store.getString("other"), "x");
    } else {
      EXPECT_TRUE(store.retry());
    }
    EXPECT_FALSE(store.locked());
    EXPECT_EQ(store.getString("selectedModelID"), "ollama:b");
    EXPECT_EQ(store.get("n"), KvStore::Value(std::int64_t{7}));
    EXPECT_EQ(store.getString("kept"), "theirs");
  }
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
