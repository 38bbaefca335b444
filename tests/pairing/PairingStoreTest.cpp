#include <gtest/gtest.h>
#include <sqlite3.h>

#include "pairing/PairingStore.hpp"
#include "support/TestSupport.hpp"

namespace tavlo {
namespace {

using Opt = std::optional<std::string>;
struct Values { std::string host; Opt lan, ip, name; std::int64_t port; };

// What is loaded back; absent values read back as absent (stored as "": the end-to-end pairing record test).
TEST(PairingStore, RoundTripsAndIncompleteRecords) {
  testing::TempDir tmp;
  KvStore store(tmp / "nested" / "pairing.sqlite3");
  for (const Values& v : {Values{"Desk", "192.168.1.20", "100.64.0.7", "desk.tail.ts.net", 18765},
                          Values{"Desk", "10.0.0.2", {}, {}, 18765}, Values{"Desk", {}, {}, {}, 18765}}) {
    const auto now = PairingStore::Clock::now();
    ASSERT_TRUE(PairingStore::publish(store, v.host, v.lan, v.ip, v.name, v.port, now));
    const auto r = PairingStore::loadPairingRecord(store);
    ASSERT_TRUE(r);
    EXPECT_EQ(std::tie(r->hostname, r->lanIP, r->tailscaleIP, r->tailscaleHostname, r->port),
              std::tie(v.host, v.lan, v.ip, v.name, v.port));
    EXPECT_LT(std::chrono::abs(r->updatedAt - now), 1ms);
  }
  // No host name or no usable port: not a record; an unreadable time is "unknown".
  for (const Values& v : {Values{"", "10.0.0.2", {}, {}, 18765}, Values{"Desk", {}, {}, {}, 0}, Values{"Desk", {}, {}, {}, -1}}) {
    ASSERT_TRUE(PairingStore::publish(store, v.host, v.lan, v.ip, v.name, v.port));
    EXPECT_FALSE(PairingStore::loadPairingRecord(store)) << v.host << v.port;
  }
  ASSERT_TRUE(PairingStore::publish(store, "Desk", {}, {}, {}, 1) && store.setString(PairingStore::K::updatedAt, "yesterday"));
  EXPECT_EQ(PairingStore::loadPairingRecord(store)->updatedAt, PairingStore::distantPast);
}

// The refresh publishes every 5 s: only a changed value (or `always`) may cost a disk write,
// which a reader on another connection sees.
TEST(PairingStore, OnlyAChangedRecordIsWritten) {
  testing::TempDir tmp;
  KvStore mine(tmp / "p.sqlite3"), reader(tmp / "p.sqlite3");
  EXPECT_TRUE(*PairingStore::publish(mine, "Desk", "10.0.0.2", {}, {}, 18765));
  const auto written = PairingStore::loadPairingRecord(reader)->updatedAt;
  const auto version = reader.dataVersion();
  EXPECT_FALSE(*PairingStore::publish(mine, "Desk", "10.0.0.2", "", {}, 18765));
  EXPECT_TRUE(reader.dataVersion() == version && PairingStore::loadPairingRecord(reader)->updatedAt == written);
  for (const Values& c : {Values{"Desk 2", "10.0.0.2", {}, {}, 18765}, Values{"Desk 2", {}, {}, {}, 18765},
                          Values{"Desk 2", {}, "100.64.0.7", {}, 18765}, Values{"Desk 2", {}, "100.64.0.7", "d.ts.net", 18765},
                          Values{"Desk 2", {}, "100.64.0.7", "d.ts.net", 1}}) {
    const auto before = reader.dataVersion();
    EXPECT_TRUE(*PairingStore::publish(mine, c.host, c.lan, c.ip, c.name, c.port)) << c.host << c.port;
    EXPECT_NE(reader.dataVersion(), before);
  }
  EXPECT_TRUE(*PairingStore::publish(mine, "Desk 2", {}, "100.64.0.7", "d.ts.net", 1, PairingStore::Clock::now(), true));
}

// Another program holding the file: the store neither waits for it at start nor loses what is
// written meanwhile; the writes land once the lock goes (with the next write, or a retry).
TEST(KvStore, LockedFileIsOpenedLaterAndKeptWritesLand) {
  for (const bool walExclusive : {false, true}) {
    SCOPED_TRACE(walExclusive);
    testing::TempDir tmp;
    testing::LogCapture log;
    sqlite3* other = nullptr;  // the other program
    sqlite3_open((tmp / "defaults.sqlite3").c_str(), &other);
    const std::string setup = std::string(walExclusive ? "PRAGMA journal_mode=WAL; PRAGMA locking_mode=EXCLUSIVE;" : "") +
        "CREATE TABLE IF NOT EXISTS kv(key TEXT PRIMARY KEY, value ANY) STRICT; BEGIN EXCLUSIVE; INSERT INTO kv VALUES('kept', 'theirs')";
    ASSERT_EQ(sqlite3_exec(other, setup.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    KvStore store(tmp / "defaults.sqlite3", 1ms, 1ms);
    EXPECT_TRUE(store.locked() && !store.available());
    EXPECT_FALSE(store.setString("selectedModelID", "ollama:a") || store.retry() ||
                 store.set({{"selectedModelID", std::string("ollama:b")}, {"n", std::int64_t{7}}}));
    EXPECT_EQ(log.lines().size(), 1u);
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), sqlite3_close(other);
    EXPECT_TRUE((walExclusive ? store.setString("other", "x") : store.retry()) && !store.locked());
    EXPECT_EQ(std::make_tuple(store.getString("selectedModelID"), store.get("n"), store.getString("kept")),
              std::make_tuple(Opt("ollama:b"), KvStore::Value(std::int64_t{7}), Opt("theirs")));
  }
}

// A damaged file, or a folder that cannot be made: unavailable, one log line (what a write
// fails with), the file untouched.
TEST(KvStore, BadFilesAreReportedOnceAndNeverOverwritten) {
  testing::TempDir tmp;
  testing::writeFile(tmp / "corrupt.sqlite3", std::string(4096, 'x'));
  for (const auto& path : {tmp / "corrupt.sqlite3", tmp / "corrupt.sqlite3" / "sub" / "x.sqlite3"}) {
    testing::LogCapture log;
    KvStore store(path);
    const Result<void> written = store.setString("selectedModelID", "ollama:x");  // fails with what was logged
    EXPECT_FALSE(store.available() || written || store.getString("selectedModelID"));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Tavlo store: " + written.message()}) << path;
  }
  EXPECT_EQ(testing::readFile(tmp / "corrupt.sqlite3"), std::string(4096, 'x'));
}

}  // namespace
}  // namespace tavlo
