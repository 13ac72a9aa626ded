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

// The words an engine says its own way. A step writes @KEY where a table's growing integer key goes.
struct Dialect {
  std::string_view growingKey;  // SQLite: "INTEGER PRIMARY KEY AUTOINCREMENT"
  std::string_view beginWrite;  // a transaction that holds the writer's place from its first statement
};

inline constexpr Dialect kSqlite{.growingKey = "INTEGER PRIMARY KEY AUTOINCREMENT",
                                 // IMMEDIATE takes the write lock at once: a transaction that first reads
                                 // and then writes cannot upgrade once another process has committed.
                                 .beginWrite = "BEGIN IMMEDIATE"};

struct Step {
  std::int64_t version = 0;
  std::string_view sql;  // one or more statements
};

// Every step, oldest first; the last one's version is the schema this program knows.
std::span<const Step> steps();

// The step's statements in the dialect's words.
std::string sqlOf(const Step& step, const Dialect& dialect);

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
