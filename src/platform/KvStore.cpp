#include "platform/KvStore.hpp"

#include "platform/Log.hpp"

namespace tavlo {
namespace {

struct Statement {
  sqlite3_stmt* stmt = nullptr;
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr); }
  ~Statement() { sqlite3_finalize(stmt); }
  explicit operator bool() const { return stmt != nullptr; }
};

}  // namespace

KvStore::KvStore(std::filesystem::path file, std::chrono::milliseconds openWait, std::chrono::milliseconds writeWait)
    : file_(std::move(file)), writeWait_(writeWait) {
  std::lock_guard lock(mutex_);
  if (open(openWait) == Open::locked) {
    locked_ = true;
    reportOnce(lockedMessage());
  }
}

KvStore::Open KvStore::open(std::chrono::milliseconds wait) {
  std::error_code ec;
  std::filesystem::create_directories(file_.parent_path(), ec);
  readOnly_ = false;
  int rc = sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close(db_);
    db_ = nullptr;
    // A file we may read but not write still gives the saved values.
    rc = sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
      sqlite3_close(db_);
      db_ = nullptr;
      if (ec) why = ec.message();
      problem_ = reportOnce("cannot open " + file_.string() + ": " + why).message;
      return Open::failed;
    }
    readOnly_ = true;
  }
  sqlite3_busy_timeout(db_, static_cast<int>(wait.count()));
  const auto busy = [this] {
    const int code = sqlite3_errcode(db_) & 0xff;
    return code == SQLITE_BUSY || code == SQLITE_LOCKED;
  };
  const auto giveUp = [this](Open why) {
    sqlite3_close(db_);
    db_ = nullptr;
    readOnly_ = false;
    return why;
  };
  if (!readOnly_) {
    // WAL lets the phone-side reader see whole records while we write. Its
    // failure on a read-only folder is not fatal for reading; a lock is waited out later.
    if (!exec("PRAGMA journal_mode=WAL") && busy()) return giveUp(Open::locked);
    if (!exec("CREATE TABLE IF NOT EXISTS kv(key TEXT PRIMARY KEY, value ANY) STRICT")) {
      if (busy()) return giveUp(Open::locked);
      readOnly_ = true;
    }
  }
  // Probe once: a corrupt file, or one that is not a database, fails here.
  {
    Statement probe(db_, "SELECT count(*) FROM kv");
    if (!probe || sqlite3_step(probe.stmt) != SQLITE_ROW) {
      if (busy()) return giveUp(Open::locked);
      const std::string why = sqlite3_errmsg(db_);
      problem_ = reportOnce("cannot use " + file_.string() + ": " + why + "; running with defaults").message;
      return giveUp(Open::failed);
    }
  }
  sqlite3_busy_timeout(db_, static_cast<int>(writeWait_.count()));
  if (readOnly_) problem_ = reportOnce(file_.string() + " is read-only; changes will not be saved").message;
  return Open::ok;
}

KvStore::~KvStore() { close(); }

void KvStore::close() {
  std::lock_guard lock(mutex_);
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

bool KvStore::available() const {
  std::lock_guard lock(mutex_);
  return db_ != nullptr;
}

bool KvStore::locked() const {
  std::lock_guard lock(mutex_);
  return locked_;
}

Result<void> KvStore::retry() {
  std::lock_guard lock(mutex_);
  if (!db_ && locked_) {
    if (open(writeWait_) == Open::locked) return unusable();
    locked_ = false;
    if (!db_) {  // the file turned out unusable: nothing can be saved
      unsaved_.clear();
      return unusable();
    }
  }
  if (db_ && !unsaved_.empty()) return writeLocked({});
  return {};
}

Error KvStore::reportOnce(const std::string& what) {
  if (!reported_) logLine("Tavlo store: " + what);
  reported_ = true;
  return fail(what);
}

std::string KvStore::lockedMessage() const {
  return file_.string() + " is locked by another program; changes are kept and saved once it is free";
}

Error KvStore::unusable() const {
  if (locked_) return fail(lockedMessage());
  return fail(problem_.empty() ? file_.string() + " is closed" : problem_);
}

bool KvStore::exec(const char* sql) {
  char* err = nullptr;
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &err);
  sqlite3_free(err);
  return rc == SQLITE_OK;
}

std::optional<KvStore::Value> KvStore::get(const std::string& key) {
  std::lock_guard lock(mutex_);
  if (!db_) return std::nullopt;
  Statement st(db_, "SELECT value FROM kv WHERE key = ?1");
  if (!st) return std::nullopt;
  sqlite3_bind_text(st.stmt, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
  int rc = sqlite3_step(st.stmt);
  if (rc != SQLITE_ROW) {
    if (rc != SQLITE_DONE) reportOnce("cannot read " + file_.string() + ": " + sqlite3_errmsg(db_));
    return std::nullopt;
  }
  switch (sqlite3_column_type(st.stmt, 0)) {
    case SQLITE_INTEGER: return Value(static_cast<std::int64_t>(sqlite3_column_int64(st.stmt, 0)));
    case SQLITE_FLOAT: return Value(sqlite3_column_double(st.stmt, 0));
    case SQLITE_TEXT: {
      auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st.stmt, 0));
      return Value(std::string(text, static_cast<size_t>(sqlite3_column_bytes(st.stmt, 0))));
    }
    default: return std::nullopt;
  }
}

std::optional<std::string> KvStore::getString(const std::string& key) {
  auto v = get(key);
  if (v && std::holds_alternative<std::string>(*v)) return std::get<std::string>(*v);
  return std::nullopt;
}

Result<void> KvStore::set(const std::vector<std::pair<std::string, Value>>& values) {
  std::lock_guard lock(mutex_);
  if (!db_ && locked_) {
    const Open opened = open(writeWait_);
    if (opened == Open::locked) {
      for (const auto& pair : values) keep(unsaved_, pair);
      return unusable();
    }
    locked_ = false;
  }
  if (!db_ || readOnly_) {
    unsaved_.clear();
    return unusable();
  }
  return writeLocked(values);
}

void KvStore::keep(std::vector<std::pair<std::string, Value>>& list, const std::pair<std::string, Value>& pair) {
  for (auto& kept : list) {
    if (kept.first == pair.first) {
      kept.second = pair.second;
      return;
    }
  }
  list.push_back(pair);
}

// Writes the kept pairs and `values` (which win) in one transaction; the mutex is held.
Result<void> KvStore::writeLocked(const std::vector<std::pair<std::string, Value>>& values) {
  auto all = unsaved_;
  for (const auto& pair : values) keep(all, pair);
  const auto failed = [&] {
    const int code = sqlite3_errcode(db_) & 0xff;
    if (code == SQLITE_BUSY || code == SQLITE_LOCKED) {
      // Held by another program for now: saved with the next write or retry.
      unsaved_ = std::move(all);
    } else {
      unsaved_.clear();
    }
    return reportOnce("cannot write " + file_.string() + ": " + sqlite3_errmsg(db_));
  };
  if (!exec("BEGIN IMMEDIATE")) return failed();
  Statement st(db_, "INSERT INTO kv(key, value) VALUES(?1, ?2) ON CONFLICT(key) DO UPDATE SET value = excluded.value");
  bool ok = static_cast<bool>(st);
  for (const auto& [key, value] : all) {
    if (!ok) break;
    sqlite3_reset(st.stmt);
    sqlite3_bind_text(st.stmt, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    if (auto* s = std::get_if<std::string>(&value)) {
      sqlite3_bind_text(st.stmt, 2, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
    } else if (auto* i = std::get_if<std::int64_t>(&value)) {
      sqlite3_bind_int64(st.stmt, 2, *i);
    } else {
      sqlite3_bind_double(st.stmt, 2, std::get<double>(value));
    }
    ok = sqlite3_step(st.stmt) == SQLITE_DONE;
  }
  if (ok && exec("COMMIT")) {
    unsaved_.clear();
    return {};
  }
  Error failure = failed();
  exec("ROLLBACK");
  return failure;
}

std::optional<std::int64_t> KvStore::dataVersion() {
  std::lock_guard lock(mutex_);
  if (!db_) return std::nullopt;
  Statement st(db_, "PRAGMA data_version");
  if (!st || sqlite3_step(st.stmt) != SQLITE_ROW) return std::nullopt;
  return sqlite3_column_int64(st.stmt, 0);
}

}  // namespace tavlo
