#pragma once
// What the PostgreSQL store and its watch share: a connection made with the hub's settings, statements run
// on it, their rows read, and every failure thrown as Unavailable in libpq's own words.
#include <libpq-fe.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/store.h"

namespace hub::store::pg {

using Steady = std::chrono::steady_clock;

struct Finish {
  void operator()(PGconn* c) const { PQfinish(c); }
};
using Conn = std::unique_ptr<PGconn, Finish>;

struct Clear {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, Clear>;

// "store postgresql kassaro: server closed the connection unexpectedly": the database and libpq's own
// words, on one line.
[[noreturn]] void fail(const std::string& where, std::string_view what);

// Connects with settings that keep a dead or stuck server from holding the hub for long. `role` names the
// connection among a node's ("notifications"); empty for the store's own.
Conn connect(const std::string& conninfo, const std::string& where, std::string_view role = "");

// The name an operator knows the database by, for messages; never the password.
std::string databaseOf(const std::string& conninfo);

// Text that may hold several statements: the schema's steps, LISTEN.
Result exec(PGconn* c, const std::string& sql, const std::string& where);

// A statement's argument: numbers go as their digits (text format), texts as their bytes with their length
// (binary format), so that a NUL inside one reaches the server, which refuses it, rather than ending it.
struct Arg {
  std::string value;
  bool bytes = false;
};
inline Arg argOf(std::int64_t n) { return {std::to_string(n), false}; }
inline Arg argOf(std::string_view s) { return {std::string(s), true}; }

Result execPrepared(PGconn* c, const std::string& name, const std::vector<Arg>& args, const std::string& where);
void prepare(PGconn* c, const std::string& name, const std::string& sql, const std::string& where);

// One row of a result, read as SqlStore and the watch read rows.
struct Row {
  const PGresult* r = nullptr;
  int i = 0;
  std::int64_t integer(int column) const;
  std::string text(int column) const;
};

// The first column of the first row the statement answers.
std::int64_t number(PGconn* c, const std::string& sql, const std::string& where);

// Waits before connecting again after a failed attempt: a tenth of a second, doubling to half a second, so
// that a server that is down costs little and one that is back is found soon.
struct Backoff {
  std::chrono::milliseconds wait{100};
  Steady::time_point next{};
  void failed() {
    next = Steady::now() + wait;
    wait = std::min(wait * 2, std::chrono::milliseconds(500));
  }
  void succeeded() { wait = std::chrono::milliseconds(100); }
};

}  // namespace hub::store::pg
