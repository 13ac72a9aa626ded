// The store in one SQLite file. One connection, used by the store thread alone; the operator's command line
// may hold a second one on the same file, which write-ahead logging lets read while the hub writes.
#include <sqlite3.h>

#include <memory>
#include <string>

#include "accounts/secrets.h"
#include "store/schema.h"
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

// Selects the columns in the order readAccount and readBill take them.
std::string accountsWhere(std::string_view rest) {
  return "SELECT id, name, password_hash, intake_key, disabled, created_at, phone_seen_at FROM accounts " +
         std::string(rest);
}
std::string billsWhere(std::string_view rest) {
  return "SELECT number, account_id, channel, fen, paid_at, received_at, source_id, text FROM bills " +
         std::string(rest);
}

Account readAccount(const Use& q) {
  return Account{.id = q.integer(0),
                 .name = q.text(1),
                 .passwordHash = q.text(2),
                 .intakeKey = q.text(3),
                 .disabled = q.integer(4) != 0,
                 .createdAt = q.integer(5),
                 .phoneSeenAt = q.integer(6)};
}

Bill readBill(const Use& q) {
  return Bill{.number = q.integer(0),
              .accountId = q.integer(1),
              .channel = static_cast<Channel>(q.integer(2)),
              .fen = q.integer(3),
              .time = q.integer(4),
              .receivedAt = q.integer(5),
              .sourceId = q.text(6),
              .text = q.text(7)};
}

std::optional<Account> oneAccount(const Statement& s, const auto&... keys) {
  Use q(s, keys...);
  if (!q.row()) return std::nullopt;
  return readAccount(q);
}

// A key's digest as the accounts table keeps it: none for no key, so that keyless accounts do not collide.
std::string keyDigest(std::string_view key) { return key.empty() ? std::string() : accounts::digest(key); }

class SqliteStore final : public Store {
 public:
  explicit SqliteStore(Db db) : db_(std::move(db)) {}

  void begin() override { Use(begin_).run(); }
  void commit() override { Use(commit_).run(); }
  void rollback() override { Use(rollback_).run(); }
  void savepoint() override { Use(savepoint_).run(); }
  void releaseSavepoint() override { Use(release_).run(); }
  void rollbackToSavepoint() override {
    // Fails when the engine has already given up the whole transaction; the executor takes that as such.
    Use(rollbackTo_).run();
    Use(release_).run();
  }

  std::optional<Account> accountByName(std::string_view name) override { return oneAccount(byName_, name); }
  std::optional<Account> accountById(std::int64_t id) override { return oneAccount(byId_, id); }
  std::optional<Account> accountByKey(std::string_view key) override {
    if (key.empty()) return std::nullopt;
    auto account = oneAccount(byDigest_, std::string_view(accounts::digest(key)));
    if (account && !accounts::sameText(account->intakeKey, key)) return std::nullopt;
    return account;
  }
  bool addAccount(const Account& a) override {
    const bool added = Use(addAccount_, std::string_view(a.name), std::string_view(a.passwordHash),
                           std::string_view(a.intakeKey), std::string_view(keyDigest(a.intakeKey)),
                           std::int64_t{a.disabled}, a.createdAt)
                           .run() > 0;
    return operatorChanged(added);
  }
  std::vector<Account> accounts() override {
    std::vector<Account> all;
    for (Use q(allAccounts_); q.row();) all.push_back(readAccount(q));
    return all;
  }
  void setPasswordHash(std::int64_t id, std::string_view hash) override {
    Use(endAccountSessions_, id).run();
    operatorChanged(Use(setHash_, id, hash).run() > 0);
  }
  void setDisabled(std::int64_t id, bool disabled) override {
    operatorChanged(Use(setDisabled_, id, std::int64_t{disabled}).run() > 0);
  }
  void setIntakeKey(std::int64_t id, std::string_view key) override {
    operatorChanged(Use(setKey_, id, key, std::string_view(keyDigest(key))).run() > 0);
  }
  void setPhoneSeen(std::int64_t id, clock::Millis at) override { Use(setPhoneSeen_, id, at).run(); }
  void counterSeen(std::int64_t id, std::string_view machineId, std::string_view address,
                   clock::Millis at) override {
    Use(counterSeen_, id, machineId, address, at).run();
  }
  std::vector<CounterSeen> countersSeen(std::int64_t id) override {
    std::vector<CounterSeen> all;
    for (Use q(countersSeen_, id); q.row();)
      all.push_back({.machineId = q.text(0),
                     .address = q.text(1),
                     .firstSeen = q.integer(2),
                     .lastSeen = q.integer(3)});
    return all;
  }

  Stored addBill(const NewBill& b, clock::Millis dedupeWindow) override {
    if (!b.dedupeKey.empty()) {
      Use q(byDedupeKey_, b.accountId, std::string_view(b.dedupeKey), b.receivedAt - dedupeWindow,
            b.receivedAt);
      if (q.row()) return {.number = q.integer(0), .duplicate = true};
    }
    {
      Use q(addBill_, b.accountId, static_cast<std::int64_t>(b.channel), b.fen, b.time, b.receivedAt,
            std::string_view(b.sourceId), std::string_view(b.dedupeKey), std::string_view(b.text));
      if (q.row()) return {.number = q.integer(0), .duplicate = false};
    }
    // Not added: the account has a bill with this source id, perhaps just now from another process.
    Use q(bySourceId_, b.accountId, std::string_view(b.sourceId));
    if (!q.row()) fail(db_.get(), "a bill was neither added nor found by its source id");
    return {.number = q.integer(0), .duplicate = true};
  }
  std::vector<Bill> bills(std::int64_t accountId, clock::Millis from, clock::Millis to) override {
    std::vector<Bill> all;
    for (Use q(bills_, accountId, from, to); q.row();) all.push_back(readBill(q));
    return all;
  }

  std::vector<ChannelSum> sums(std::int64_t accountId, clock::Millis from, clock::Millis to) override {
    std::vector<ChannelSum> all;
    for (Use q(sums_, accountId, from, to); q.row();)
      all.push_back({.channel = static_cast<Channel>(q.integer(0)), .count = q.integer(1), .fen = q.integer(2)});
    return all;
  }

  void addPageSession(std::string_view digest, std::int64_t accountId, clock::Millis now,
                      clock::Millis expiresAt) override {
    Use(endExpiredSessions_, now).run();
    Use(addSession_, digest, accountId, expiresAt).run();
  }
  std::optional<Account> accountBySession(std::string_view digest, clock::Millis now) override {
    return oneAccount(bySession_, digest, now);
  }
  void endPageSession(std::string_view digest) override { Use(endSession_, digest).run(); }

  ServerInfo serverInfo() override {
    Use q(serverInfo_);
    if (!q.row()) return {};
    return {.maintenance = q.integer(0) != 0,
            .notice = q.text(1),
            .clientVersion = q.text(2),
            .downloadUrl = q.text(3)};
  }
  void setServerInfo(const ServerInfo& info) override {
    operatorChanged(Use(setServerInfo_, std::int64_t{info.maintenance}, std::string_view(info.notice),
                        std::string_view(info.clientVersion), std::string_view(info.downloadUrl))
                        .run() > 0);
  }
  std::int64_t revision() override {
    Use q(revision_);
    return q.row() ? q.integer(0) : 0;
  }

 private:
  // Bumps the revision in the same transaction as the change it counts; returns whether there was one.
  bool operatorChanged(bool changed) {
    if (changed) Use(bumpRevision_).run();
    return changed;
  }
  Statement prepare(std::string_view sql) const { return store::prepare(db_.get(), sql); }

  Db db_;
  const Statement begin_ = prepare(schema::kSqlite.beginWrite);
  const Statement commit_ = prepare("COMMIT");
  const Statement rollback_ = prepare("ROLLBACK");
  const Statement savepoint_ = prepare("SAVEPOINT unit");
  const Statement release_ = prepare("RELEASE unit");
  const Statement rollbackTo_ = prepare("ROLLBACK TO unit");

  const Statement byName_ = prepare(accountsWhere("WHERE name = ?1"));
  const Statement byId_ = prepare(accountsWhere("WHERE id = ?1"));
  const Statement byDigest_ = prepare(accountsWhere("WHERE key_digest = ?1"));
  const Statement allAccounts_ = prepare(accountsWhere("ORDER BY id"));
  // A taken name adds nothing; any other conflict (a repeated key) is an error, not a taken name.
  const Statement addAccount_ = prepare(
      "INSERT INTO accounts (name, password_hash, intake_key, key_digest, disabled, created_at) "
      "VALUES (?1, ?2, ?3, NULLIF(?4, ''), ?5, ?6) ON CONFLICT (name) DO NOTHING");
  const Statement setHash_ = prepare("UPDATE accounts SET password_hash = ?2 WHERE id = ?1");
  const Statement setDisabled_ = prepare("UPDATE accounts SET disabled = ?2 WHERE id = ?1");
  const Statement setKey_ =
      prepare("UPDATE accounts SET intake_key = ?2, key_digest = NULLIF(?3, '') WHERE id = ?1");
  const Statement setPhoneSeen_ = prepare("UPDATE accounts SET phone_seen_at = ?2 WHERE id = ?1");
  const Statement counterSeen_ = prepare(
      "INSERT INTO counters_seen (account_id, machine_id, address, first_seen, last_seen) "
      "VALUES (?1, ?2, ?3, ?4, ?4) ON CONFLICT (account_id, machine_id) "
      "DO UPDATE SET address = excluded.address, last_seen = excluded.last_seen");
  const Statement countersSeen_ = prepare(
      "SELECT machine_id, address, first_seen, last_seen FROM counters_seen WHERE account_id = ?1 "
      "ORDER BY first_seen, machine_id");

  // The conditions on '' repeat the partial indexes' own, so that SQLite knows it may use them.
  const Statement byDedupeKey_ = prepare(
      "SELECT number FROM bills WHERE account_id = ?1 AND dedupe_key = ?2 AND dedupe_key <> '' "
      "AND received_at BETWEEN ?3 AND ?4 ORDER BY received_at DESC, number DESC LIMIT 1");
  const Statement bySourceId_ =
      prepare("SELECT number FROM bills WHERE account_id = ?1 AND source_id = ?2 AND source_id <> ''");
  // Adds nothing when the account has a bill with the source id: the unique index decides, so that the
  // answer holds even against another process adding the same bill.
  const Statement addBill_ = prepare(
      "INSERT INTO bills (account_id, channel, fen, paid_at, received_at, source_id, dedupe_key, text) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) "
      "ON CONFLICT (account_id, source_id) WHERE source_id <> '' DO NOTHING RETURNING number");
  const Statement bills_ = prepare(
      billsWhere("WHERE account_id = ?1 AND paid_at >= ?2 AND paid_at < ?3 ORDER BY paid_at, number"));

  const Statement sums_ = prepare(
      "SELECT channel, COUNT(*), SUM(fen) FROM bills WHERE account_id = ?1 AND paid_at >= ?2 AND paid_at < ?3 "
      "GROUP BY channel ORDER BY channel");

  const Statement addSession_ =
      prepare("INSERT INTO page_sessions (digest, account_id, expires_at) VALUES (?1, ?2, ?3)");
  const Statement bySession_ = prepare(accountsWhere(
      "WHERE id = (SELECT account_id FROM page_sessions WHERE digest = ?1 AND expires_at > ?2)"));
  const Statement endSession_ = prepare("DELETE FROM page_sessions WHERE digest = ?1");
  const Statement endExpiredSessions_ = prepare("DELETE FROM page_sessions WHERE expires_at <= ?1");
  const Statement endAccountSessions_ = prepare("DELETE FROM page_sessions WHERE account_id = ?1");

  const Statement serverInfo_ =
      prepare("SELECT maintenance, notice, client_version, download_url FROM server_info WHERE id = 1");
  const Statement setServerInfo_ = prepare(
      "INSERT INTO server_info (id, maintenance, notice, client_version, download_url) "
      "VALUES (1, ?1, ?2, ?3, ?4) ON CONFLICT (id) DO UPDATE SET maintenance = excluded.maintenance, "
      "notice = excluded.notice, client_version = excluded.client_version, "
      "download_url = excluded.download_url");
  const Statement revision_ = prepare("SELECT value FROM revision WHERE id = 1");
  const Statement bumpRevision_ = prepare("UPDATE revision SET value = value + 1 WHERE id = 1");
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
  return std::make_unique<SqliteStore>(std::move(db));
}

}  // namespace

std::unique_ptr<Store> openSqlite(const std::filesystem::path& file) { return open(file, 0); }

std::unique_ptr<Store> openSqliteCapped(const std::filesystem::path& file, std::int64_t maxPages) {
  return open(file, maxPages);
}

}  // namespace hub::store
