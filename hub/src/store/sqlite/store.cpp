// The store in one SQLite file. One connection, used by the store thread alone; the operator's command line
// may hold a second one on the same file, which write-ahead logging lets read while the hub writes.
#include <sqlite3.h>

#include <memory>
#include <string>

#include "store/schema.h"
#include "store/sql_store.h"
#include "store/store.h"

namespace hub::store {
namespace {

// The writer waits this long for the command line's transaction rather than failing a payment at once.
constexpr int kBusyMillis = 5000;

// "store /srv/hub.db: database or disk is full": the file and SQLite's own words, on one line.
[[noreturn]] void fail(sqlite3* db, const std::string& what) {
  std::string reason = "store ";
  const char* file = db ? sqlite3_db_filename(db, "main") : nullptr;
  reason += file && *file ? file : "in memory";
  reason += ": " + what;
  for (char& c : reason)
    if (c == '\n' || c == '\r') c = ' ';
  throw Unavailable(reason);
}

void check(sqlite3* db, int rc) {
  if (rc != SQLITE_OK) fail(db, sqlite3_errmsg(db));
}

struct CloseDb {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;

struct Finalize {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

Statement prepare(sqlite3* db, std::string_view sql) {
  sqlite3_stmt* s = nullptr;
  check(db, sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &s,
                               nullptr));
  return Statement(s);
}

// One use of a prepared statement: binds the arguments in order (?1, ?2...), steps it, and resets it when
// the use ends, so that it holds no lock and is ready for the next call.
class Use {
 public:
  template <class... Args>
  explicit Use(const Statement& statement, const Args&... args) : s_(statement.get()) {
    int at = 0;
    (bind(++at, args), ...);
  }
  ~Use() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  // Whether there is a row to read.
  bool row() {
    const int rc = sqlite3_step(s_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) fail(db(), sqlite3_errmsg(db()));
    return false;
  }
  // Runs a statement that returns no rows; how many rows it changed.
  int run() {
    while (row()) {
    }
    return sqlite3_changes(db());
  }

  std::int64_t integer(int column) const { return sqlite3_column_int64(s_, column); }
  std::string text(int column) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, column));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(s_, column))) : std::string();
  }

 private:
  sqlite3* db() const { return sqlite3_db_handle(s_); }
  void bind(int at, std::int64_t value) { check(db(), sqlite3_bind_int64(s_, at, value)); }
  void bind(int at, std::string_view value) {
    // Bound by length, so texts are kept byte for byte; SQLite copies them before the call returns.
    check(db(), sqlite3_bind_text64(s_, at, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
  }
  sqlite3_stmt* s_;
};

// Runs text that may hold several statements and returns no rows: pragmas, the schema's steps.
void exec(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string what = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    fail(db, what);
  }
}

std::int64_t number(sqlite3* db, const std::string& sql) {
  const Statement s = prepare(db, sql);
  Use q(s);
  if (!q.row()) fail(db, "no answer to " + sql);
  return q.integer(0);
}

// The connection as SqlStore takes it.
struct Sqlite {
  using Statement = store::Statement;
  using Use = store::Use;

  explicit Sqlite(Db connection) : db(std::move(connection)) {}
  const schema::Dialect& dialect() const { return schema::kSqlite; }
  Statement prepare(std::string_view sql) const { return store::prepare(db.get(), sql); }
  void begin() { Use(begin_).run(); }
  void commit() { Use(commit_).run(); }
  void rollback() { Use(rollback_).run(); }
  [[noreturn]] void fail(const std::string& what) const { store::fail(db.get(), what); }

  Db db;
  const Statement begin_ = prepare(schema::kSqlite.beginWrite);
  const Statement commit_ = prepare("COMMIT");
  const Statement rollback_ = prepare("ROLLBACK");
};

std::unique_ptr<Store> open(const std::filesystem::path& file, std::int64_t maxPages) {
  sqlite3* raw = nullptr;
  // NOMUTEX: the connection is used by one thread at a time (the store thread), never by two at once.
  const int rc = sqlite3_open_v2(file.c_str(), &raw,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  Db db(raw);
  if (!db) throw Unavailable("store " + file.string() + ": out of memory");
  sqlite3* d = db.get();
  check(d, rc);
  check(d, sqlite3_busy_timeout(d, kBusyMillis));
  // FULL: a payment answered as stored survives a killed process and a lost power supply.
  exec(d, "PRAGMA foreign_keys = ON; PRAGMA synchronous = FULL");
  if (maxPages > 0) number(d, "PRAGMA max_page_count = " + std::to_string(maxPages));

  // The schema first, so that a database this program does not know is refused before anything changes.
  schema::bringUpToDate({.dialect = schema::kSqlite,
                         .exec = [d](const std::string& sql) { exec(d, sql); },
                         .number = [d](const std::string& sql) { return number(d, sql); }});

  // Write-ahead logging: the command line reads while the hub writes, and a commit is one append.
  const Statement wal = prepare(d, "PRAGMA journal_mode = WAL");
  Use mode(wal);
  if (!mode.row() || mode.text(0) != "wal") fail(d, "cannot keep a write-ahead log here");
  return std::make_unique<SqlStore<Sqlite>>(std::move(db));
}

}  // namespace

std::unique_ptr<Store> openSqlite(const std::filesystem::path& file) { return open(file, 0); }

std::unique_ptr<Store> openSqliteCapped(const std::filesystem::path& file, std::int64_t maxPages) {
  return open(file, maxPages);
}

}  // namespace hub::store
