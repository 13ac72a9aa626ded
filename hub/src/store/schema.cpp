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
};

constexpr std::string_view kKeyWord = "@KEY";

}  // namespace

std::span<const Step> steps() { return kSteps; }

std::string sqlOf(const Step& step, const Dialect& dialect) {
  std::string sql(step.sql);
  for (auto at = sql.find(kKeyWord); at != std::string::npos; at = sql.find(kKeyWord, at))
    sql.replace(at, kKeyWord.size(), dialect.growingKey);
  return sql;
}

void bringUpToDate(const Connection& db, std::span<const Step> steps) {
  const std::int64_t known = steps.empty() ? 0 : steps.back().version;
  // The version is read inside each step's transaction, so that two processes opening a new file at once
  // apply every step once.
  for (const Step& step : steps) {
    db.exec(std::string(db.dialect.beginWrite));
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
