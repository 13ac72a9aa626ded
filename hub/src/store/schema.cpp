#include "store/schema.h"

#include <array>

#include "store/store.h"

namespace hub::store::schema {
namespace {

// Times are milliseconds since the Unix epoch; flags are 0 or 1; channels are Channel's values. Texts are
// kept as they came (UTF-8), compared byte for byte.
constexpr std::array kSteps{
    // Accounts and their bills, the operator's server information and the revision that tells a running
    // hub the operator changed something.
    Step{1, R"(
CREATE TABLE accounts (
  id @KEY,
  name TEXT NOT NULL UNIQUE,
  password_hash TEXT NOT NULL,
  intake_key TEXT NOT NULL,
  key_digest TEXT UNIQUE,  -- digest of intake_key, how the phone side's requests find it; NULL: no key
  disabled INTEGER NOT NULL CHECK (disabled IN (0, 1)),
  created_at BIGINT NOT NULL
);
CREATE TABLE bills (
  number @KEY,
  account_id BIGINT NOT NULL REFERENCES accounts (id),
  channel INTEGER NOT NULL CHECK (channel IN (1, 2)),
  fen BIGINT NOT NULL,
  paid_at BIGINT NOT NULL,
  received_at BIGINT NOT NULL,
  source_id TEXT NOT NULL,   -- '': the phone gave none
  dedupe_key TEXT NOT NULL,  -- '': none
  text TEXT NOT NULL
);
-- Holds even when two processes add the same phone's bill at once.
CREATE UNIQUE INDEX bills_by_source ON bills (account_id, source_id) WHERE source_id <> '';
-- The counter's bill history: an account's bills of a day, in order.
CREATE INDEX bills_by_day ON bills (account_id, paid_at, number);
-- The bills a new one may repeat: same key, received shortly before.
CREATE INDEX bills_by_dedupe_key ON bills (account_id, dedupe_key, received_at) WHERE dedupe_key <> '';
-- No row until the operator first sets it.
CREATE TABLE server_info (
  id INTEGER PRIMARY KEY CHECK (id = 1),
  maintenance INTEGER NOT NULL CHECK (maintenance IN (0, 1)),
  notice TEXT NOT NULL,
  client_version TEXT NOT NULL,
  download_url TEXT NOT NULL
);
CREATE TABLE revision (
  id INTEGER PRIMARY KEY CHECK (id = 1),
  value BIGINT NOT NULL
);
INSERT INTO revision (id, value) VALUES (1, 0);
)"},
    // What the hub learns of a merchant's devices: when the phone last reported, which counters log in.
    Step{2, R"(
ALTER TABLE accounts ADD COLUMN phone_seen_at BIGINT NOT NULL DEFAULT 0;
CREATE TABLE counters_seen (
  account_id BIGINT NOT NULL REFERENCES accounts (id),
  machine_id TEXT NOT NULL,
  address TEXT NOT NULL,
  first_seen BIGINT NOT NULL,
  last_seen BIGINT NOT NULL,
  PRIMARY KEY (account_id, machine_id)
);
)"},
    // The merchant page's sign-ins: the digest of each cookie's token, whose account, until when.
    Step{3, R"(
CREATE TABLE page_sessions (
  digest TEXT PRIMARY KEY,
  account_id BIGINT NOT NULL REFERENCES accounts (id),
  expires_at BIGINT NOT NULL
);
CREATE INDEX page_sessions_by_account ON page_sessions (account_id);
CREATE INDEX page_sessions_by_expiry ON page_sessions (expires_at);
)"},
    // Which transaction added each bill, so that a node that missed some of the engine's notifications of
    // new bills can read exactly the bills committed since; and the notifications themselves.
    Step{4, R"(
ALTER TABLE bills ADD COLUMN writer @WRITER;
CREATE INDEX bills_by_writer ON bills (writer) WHERE writer <> 0;
@NOTIFY
)"},
    // Notifications from payment apps that no rule counted, kept a week for the merchant, and the mark of
    // a bill the merchant counted by hand from one of them.
    Step{5, R"(
CREATE TABLE unrecognised (
  id @KEY,
  account_id BIGINT NOT NULL REFERENCES accounts (id),
  received_at BIGINT NOT NULL,
  package TEXT NOT NULL,
  title TEXT NOT NULL,
  text TEXT NOT NULL,
  reason TEXT NOT NULL,
  bill_number BIGINT NOT NULL DEFAULT 0  -- 0: not counted
);
CREATE INDEX unrecognised_by_day ON unrecognised (account_id, received_at);
CREATE INDEX unrecognised_by_age ON unrecognised (received_at);
ALTER TABLE bills ADD COLUMN by_hand INTEGER NOT NULL DEFAULT 0 CHECK (by_hand IN (0, 1));
)"},
    // Secrets every node of the hub must share, made by whichever node needs one first: the key that
    // signs the speech service's tokens, so that any node accepts a token another node issued.
    Step{6, R"(
CREATE TABLE shared_secrets (
  name TEXT PRIMARY KEY,
  value TEXT NOT NULL
);
)"},
};

// The dialect's words, each written as @NAME in the steps.
struct Word {
  std::string_view name;
  std::string_view Dialect::*words;
};
constexpr Word kWords[] = {
    {"@KEY", &Dialect::growingKey}, {"@WRITER", &Dialect::writer}, {"@NOTIFY", &Dialect::notify}};

// Every bill added and every phone report, told on channel "kassaro" to each listening node when the
// transaction commits ("bill NUMBER", "phone ACCOUNT MILLIS"): whoever writes the row, the node reading
// it learns of it. A payload carries numbers only; the node reads the row itself.
constexpr std::string_view kPostgresNotify = R"(
CREATE FUNCTION kassaro_bill_added() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  PERFORM pg_notify('kassaro', 'bill ' || NEW.number);
  RETURN NULL;
END $$;
CREATE TRIGGER bill_added AFTER INSERT ON bills FOR EACH ROW EXECUTE FUNCTION kassaro_bill_added();
CREATE FUNCTION kassaro_phone_seen() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  PERFORM pg_notify('kassaro', 'phone ' || NEW.id || ' ' || NEW.phone_seen_at);
  RETURN NULL;
END $$;
CREATE TRIGGER phone_seen AFTER UPDATE OF phone_seen_at ON accounts FOR EACH ROW
  WHEN (NEW.phone_seen_at > OLD.phone_seen_at) EXECUTE FUNCTION kassaro_phone_seen();
)";

}  // namespace

const Dialect kPostgres{
    .growingKey = "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY",
    // The top-level transaction's 64-bit id, which never wraps: a node compares it with the oldest
    // transaction still running to know which bills have surely been told.
    .writer = "BIGINT NOT NULL DEFAULT pg_current_xact_id()::text::bigint",
    .notify = kPostgresNotify,
    .beginWrite = "BEGIN",
    // Two nodes starting on a new database at once would both create the tables: one key for the hub's
    // schema changes makes them take turns, and the second finds the work done.
    .beginSchema = "BEGIN; SELECT pg_advisory_xact_lock(5349011)",
    // The lock goes with the savepoint's or the transaction's end; two keys that share a hash only wait.
    .lockDedupeKey = "SELECT pg_advisory_xact_lock(?1::integer, hashtext(?2))",
    .parameter = '$'};

std::span<const Step> steps() { return kSteps; }

std::string sqlOf(const Step& step, const Dialect& dialect) {
  std::string sql(step.sql);
  for (const Word& word : kWords)
    for (auto at = sql.find(word.name); at != std::string::npos; at = sql.find(word.name, at)) {
      sql.replace(at, word.name.size(), dialect.*word.words);
      at += (dialect.*word.words).size();
    }
  return sql;
}

std::string withParameters(std::string_view sql, const Dialect& dialect) {
  std::string out(sql);
  for (size_t i = 0; i + 1 < out.size(); ++i)
    if (out[i] == '?' && out[i + 1] >= '0' && out[i + 1] <= '9') out[i] = dialect.parameter;
  return out;
}

void bringUpToDate(const Connection& db, std::span<const Step> steps) {
  const std::int64_t known = steps.empty() ? 0 : steps.back().version;
  // The version is read inside each step's transaction, so that two processes opening a new file at once
  // apply every step once.
  for (const Step& step : steps) {
    db.exec(std::string(db.dialect.beginSchema));
    try {
      db.exec("CREATE TABLE IF NOT EXISTS schema_version (version BIGINT PRIMARY KEY)");
      const std::int64_t version = db.number("SELECT COALESCE(MAX(version), 0) FROM schema_version");
      if (version > known)
        throw Unavailable("the store's schema is version " + std::to_string(version) + ", newer than the " +
                          std::to_string(known) + " this program knows: run a newer kassaro-hub");
      if (version < step.version) {
        db.exec(sqlOf(step, db.dialect));
        db.exec("INSERT INTO schema_version (version) VALUES (" + std::to_string(step.version) + ")");
      }
      db.exec("COMMIT");
    } catch (...) {
      try {
        db.exec("ROLLBACK");
      } catch (const Unavailable&) {
        // The engine may have rolled back already; the first failure is the one to report.
      }
      throw;
    }
  }
}

}  // namespace hub::store::schema
