#pragma once
// A small persistent key-value store: one SQLite file with the table
// kv(key TEXT PRIMARY KEY, value ANY) STRICT, in WAL mode. Texts are TEXT,
// integers INTEGER, dates REAL Unix seconds (UTC).
//
// A file that is corrupt or read-only is reported once in the log and then
// left alone: reads give nothing (or what could be read), writes fail with why.
// The user's file is never deleted or overwritten.
//
// A file that another program holds locked is not waited for at start: the
// store opens it later, on the next write or `retry()`. Writes that meet the
// lock are kept (the latest value of each key) and saved with the next write or
// `retry()` that gets through.
//
// Called from any thread (a mutex guards the database); the companion's
// writes leave the state thread through the store strand (platform/Async.hpp).
#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/Result.hpp"

namespace tavlo {

class KvStore {
 public:
  using Value = std::variant<std::string, std::int64_t, double>;

  // Opens (creating the folder and the file when missing), waiting at most
  // `openWait` for a lock held elsewhere; later writes wait up to `writeWait`.
  // Never fails: a store that cannot be used is "unavailable", and its writes say why.
  explicit KvStore(std::filesystem::path file, std::chrono::milliseconds openWait = std::chrono::milliseconds(100),
                   std::chrono::milliseconds writeWait = std::chrono::milliseconds(2000));
  ~KvStore();
  KvStore(const KvStore&) = delete;
  KvStore& operator=(const KvStore&) = delete;

  // Closes the file (checkpointing the journal); later calls see an unavailable store.
  void close();

  bool available() const;
  // Not opened yet because another program held the file locked.
  bool locked() const;
  // Opens a locked store and saves the writes kept back. Fails when something
  // is left to do (still locked) or the kept writes were lost (the file turned
  // out unusable). Waits for the lock like a write does: call it off the UI
  // and state threads.
  Result<void> retry();
  const std::filesystem::path& file() const { return file_; }

  std::optional<Value> get(const std::string& key);
  std::optional<std::string> getString(const std::string& key);

  // Writes all pairs in one transaction, so a reader never sees half of them.
  // Fails when nothing was written; pairs that met a lock are kept for later.
  // The first failure of a store is also logged.
  Result<void> set(const std::vector<std::pair<std::string, Value>>& values);
  Result<void> setString(const std::string& key, const std::string& value) { return set({{key, Value(value)}}); }

  // Changes whenever another connection committed a change to the file.
  std::optional<std::int64_t> dataVersion();

 private:
  enum class Open { ok, locked, failed };
  Open open(std::chrono::milliseconds wait);
  static void keep(std::vector<std::pair<std::string, Value>>& list, const std::pair<std::string, Value>& pair);
  Result<void> writeLocked(const std::vector<std::pair<std::string, Value>>& values);
  // Logs `what` unless a problem was logged before, and returns it.
  Error reportOnce(const std::string& what);
  std::string lockedMessage() const;
  // Why a write cannot land now: locked elsewhere, or the store's problem.
  Error unusable() const;
  bool exec(const char* sql);

  std::filesystem::path file_;
  const std::chrono::milliseconds writeWait_;
  sqlite3* db_ = nullptr;
  bool readOnly_ = false;
  bool locked_ = false;
  std::vector<std::pair<std::string, Value>> unsaved_;
  bool reported_ = false;
  std::string problem_;  // why the store cannot be used, when it cannot
  mutable std::mutex mutex_;
};

}  // namespace tavlo
