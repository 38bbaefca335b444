#pragma once
// A small persistent key-value store: one SQLite file with the table
// kv(key TEXT PRIMARY KEY, value ANY) STRICT, in WAL mode. Texts are TEXT,
// integers INTEGER, dates REAL Unix seconds (UTC).
//
// A file that is corrupt, read-only or locked is reported once in the log and
// then left alone: reads give nothing (or what could be read), writes are
// dropped. The user's file is never deleted or overwritten.
#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace tavlo {

class KvStore {
 public:
  using Value = std::variant<std::string, std::int64_t, double>;

  // Opens (creating the folder and the file when missing). Never fails: a store
  // that cannot be used is "unavailable" and says why in `problem()`.
  explicit KvStore(std::filesystem::path file);
  ~KvStore();
  KvStore(const KvStore&) = delete;
  KvStore& operator=(const KvStore&) = delete;

  // Closes the file (checkpointing the journal); later calls see an unavailable store.
  void close();

  bool available() const;
  std::string problem() const;
  const std::filesystem::path& file() const { return file_; }

  std::optional<Value> get(const std::string& key);
  std::optional<std::string> getString(const std::string& key);

  // Writes all pairs in one transaction, so a reader never sees half of them.
  bool set(const std::vector<std::pair<std::string, Value>>& values);
  bool setString(const std::string& key, const std::string& value) { return set({{key, Value(value)}}); }

  // Changes whenever another connection committed a change to the file.
  std::optional<std::int64_t> dataVersion();

 private:
  void reportOnce(const std::string& what);
  bool exec(const char* sql);

  std::filesystem::path file_;
  sqlite3* db_ = nullptr;
  bool readOnly_ = false;
  bool reported_ = false;
  std::string problem_;
  mutable std::mutex mutex_;
};

}  // namespace tavlo
