// A connection to the PostgreSQL server with the hub's settings, and the statements run on it.
#include "store/postgres/connection.h"

#include <unistd.h>

#include <charconv>

#include "common/log.h"

namespace hub::store::pg {

[[noreturn]] void fail(const std::string& where, std::string_view what) {
  std::string line;
  for (char c : what) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    if (c != ' ' || (!line.empty() && line.back() != ' ')) line += c;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  throw Unavailable("store postgresql " + where + ": " + line);
}

// The address's own settings come last and win. The name tells pg_stat_activity which connection is which, and of which
// node: "kassaro-hub 4711" (the store's), "kassaro-hub notifications 4711" (the watch's).
Conn connect(const std::string& conninfo, const std::string& where, std::string_view role) {
  const std::string name = "kassaro-hub " + (role.empty() ? "" : std::string(role) + " ") + std::to_string(getpid());
  const char* keys[] = {"connect_timeout", "keepalives_idle", "keepalives_interval", "keepalives_count",
                        "application_name", "client_encoding", "options", "dbname", nullptr};
  const char* values[] = {"3", "10", "3", "3", name.c_str(), "UTF8", "-c statement_timeout=5s",
                          conninfo.c_str(), nullptr};
  Conn c(PQconnectdbParams(keys, values, 1));
  if (!c) fail(where, "out of memory");
  if (PQstatus(c.get()) != CONNECTION_OK) fail(where, PQerrorMessage(c.get()));
  // The server's notices ("relation already exists, skipping") are for debugging, not standard error.
  PQsetNoticeProcessor(
      c.get(), [](void*, const char* message) { log::debug("store notice", {{"message", message}}); }, nullptr);
  return c;
}

std::string databaseOf(const std::string& conninfo) {
  std::string name = "?";
  if (PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), nullptr)) {
    for (PQconninfoOption* o = options; o->keyword; ++o)
      if (std::string_view(o->keyword) == "dbname" && o->val) name = o->val;
    PQconninfoFree(options);
  }
  return name;
}

namespace {

// A result that is not what a statement gives when it worked fails as Unavailable.
Result checked(PGconn* c, PGresult* raw, const std::string& where) {
  Result r(raw);
  const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) fail(where, r ? PQresultErrorMessage(r.get()) : PQerrorMessage(c));
  return r;
}

}  // namespace

Result exec(PGconn* c, const std::string& sql, const std::string& where) {
  return checked(c, PQexec(c, sql.c_str()), where);
}

Result execPrepared(PGconn* c, const std::string& name, const std::vector<Arg>& args, const std::string& where) {
  std::vector<const char*> values;
  std::vector<int> lengths, formats;
  for (const Arg& a : args) {
    values.push_back(a.value.c_str());
    lengths.push_back(static_cast<int>(a.value.size()));
    formats.push_back(a.bytes ? 1 : 0);
  }
  return checked(c,
                 PQexecPrepared(c, name.c_str(), static_cast<int>(values.size()), values.data(), lengths.data(),
                                formats.data(), 0),
                 where);
}

void prepare(PGconn* c, const std::string& name, const std::string& sql, const std::string& where) {
  checked(c, PQprepare(c, name.c_str(), sql.c_str(), 0, nullptr), where);
}

std::int64_t Row::integer(int column) const {
  const char* v = PQgetvalue(r, i, column);
  std::int64_t n = 0;
  std::from_chars(v, v + PQgetlength(r, i, column), n);
  return n;
}

std::string Row::text(int column) const {
  return std::string(PQgetvalue(r, i, column), static_cast<size_t>(PQgetlength(r, i, column)));
}

std::int64_t number(PGconn* c, const std::string& sql, const std::string& where) {
  const Result r = exec(c, sql, where);
  if (PQntuples(r.get()) < 1) fail(where, "no answer to " + sql);
  return Row{r.get(), 0}.integer(0);
}

}  // namespace hub::store::pg
