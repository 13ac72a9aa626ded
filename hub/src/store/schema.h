#pragma once
// The store's tables, as the ordered steps that built them. Every engine applies the same steps, so a
// database reads the same whichever engine made it; the few words in which engines differ are the
// dialect's.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace hub::store::schema {

// The words an engine says its own way. A step writes @KEY where a table's growing integer key goes,
// @WRITER for the type of the column that names the transaction that wrote a row, and @NOTIFY where the
// engine's own notifications of new rows are set up.
struct Dialect {
  std::string_view growingKey;   // SQLite: "INTEGER PRIMARY KEY AUTOINCREMENT"
  std::string_view writer;       // the column's type and default
  std::string_view notify;       // statements; empty for an engine without notifications
  std::string_view beginWrite;   // a transaction that holds the writer's place from its first statement
  std::string_view beginSchema;  // a transaction that changes the schema, one process at a time
  // Run before a bill's dedupe key is looked up, with the account (?1) and the key (?2), so that two
  // writers adding the same key at once take turns; empty where there is only one writer at a time.
  std::string_view lockDedupeKey;
  // How the engine numbers a statement's parameters: "?" (?1, ?2 as written) or "$" ($1, $2).
  char parameter = '?';
};

inline constexpr Dialect kSqlite{.growingKey = "INTEGER PRIMARY KEY AUTOINCREMENT",
                                 // One writer and no notifications: no transaction to name.
                                 .writer = "INTEGER NOT NULL DEFAULT 0",
                                 .notify = "",
                                 // IMMEDIATE takes the write lock at once: a transaction that first reads
                                 // and then writes cannot upgrade once another process has committed.
                                 .beginWrite = "BEGIN IMMEDIATE",
                                 .beginSchema = "BEGIN IMMEDIATE",
                                 .lockDedupeKey = ""};

// PostgreSQL 15. Several hub nodes write at once, each in READ COMMITTED transactions of its own.
extern const Dialect kPostgres;

struct Step {
  std::int64_t version = 0;
  std::string_view sql;  // one or more statements
};

// Every step, oldest first; the last one's version is the schema this program knows.
std::span<const Step> steps();

// The step's statements in the dialect's words.
std::string sqlOf(const Step& step, const Dialect& dialect);
// A statement written with ?1, ?2 ... as the engine numbers its parameters.
std::string withParameters(std::string_view sql, const Dialect& dialect);

// What bringing a database up to date needs of an engine's connection. Both functions throw Unavailable.
struct Connection {
  Dialect dialect;
  std::function<void(const std::string& sql)> exec;
  std::function<std::int64_t(const std::string& sql)> number;  // the first column of the only row
};

// Applies the steps the database lacks, each in a transaction of its own that also records its version.
// A database whose version is newer than the last of these steps is refused (Unavailable) and not altered.
void bringUpToDate(const Connection& db, std::span<const Step> steps = schema::steps());

}  // namespace hub::store::schema
