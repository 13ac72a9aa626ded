// The store on a PostgreSQL server, shared by every hub node: one connection for the store thread, which
// reconnects by itself.
#include <cstdlib>
#include <string>
#include <vector>

#include "common/log.h"
#include "store/postgres/connection.h"
#include "store/schema.h"
#include "store/sql_store.h"
#include "store/store.h"

namespace hub::store {
namespace {

using namespace pg;

// The store thread's connection as SqlStore takes it. Every statement is prepared on each connection
// once, as it is made; a lost connection fails the transaction it was in, and the next one connects again.
class Postgres {
 public:
  struct Statement {
    Postgres* db = nullptr;
    std::string name;
  };

  class Use {
   public:
    template <class... Args>
    explicit Use(const Statement& s, const Args&... args) : s_(s), args_{argOf(args)...} {}
    bool row() {
      if (!result_) result_ = s_.db->run(s_.name, args_);
      if (next_ >= PQntuples(result_.get())) return false;
      row_ = {result_.get(), next_++};
      return true;
    }
    int run() {
      result_ = s_.db->run(s_.name, args_);
      const char* changed = PQcmdTuples(result_.get());
      return *changed ? std::atoi(changed) : 0;
    }
    std::int64_t integer(int column) const { return row_.integer(column); }
    std::string text(int column) const { return row_.text(column); }

   private:
    const Statement& s_;
    std::vector<Arg> args_;
    Result result_;
    Row row_;
    int next_ = 0;
  };

  explicit Postgres(std::string conninfo)
      : conninfo_(std::move(conninfo)), where_(databaseOf(conninfo_)), conn_(connect(conninfo_, where_)) {
    PGconn* c = conn_.get();
    // The schema first, so that a database this program does not know is refused before anything changes.
    schema::bringUpToDate({.dialect = schema::kPostgres,
                           .exec = [c, this](const std::string& sql) { exec(c, sql, where_); },
                           .number = [c, this](const std::string& sql) { return pg::number(c, sql, where_); }});
  }

  const schema::Dialect& dialect() const { return schema::kPostgres; }

  Statement prepare(std::string_view sql) {
    sql_.push_back(schema::withParameters(sql, schema::kPostgres));
    Statement s{this, "s" + std::to_string(sql_.size())};
    pg::prepare(conn_.get(), s.name, sql_.back(), where_);
    return s;
  }

  void begin() {
    if (!conn_) reconnect();
    run(begin_.name);
  }
  // An answer is given only after a COMMIT that the server confirmed: one whose reply was lost fails
  // here (the bill may still be in: the phone's repeat with its id finds it), and a transaction the server
  // had given up ends with "ROLLBACK" rather than "COMMIT".
  void commit() {
    const Result r = run(commit_.name);
    if (std::string_view(PQcmdStatus(r.get())) != "COMMIT") fail("the transaction was rolled back");
  }
  void rollback() { run(rollback_.name); }
  [[noreturn]] void fail(const std::string& what) const { pg::fail(where_, what); }

  Result run(const std::string& name, const std::vector<Arg>& args = {}) {
    if (!conn_) fail("not connected");
    try {
      return execPrepared(conn_.get(), name, args, where_);
    } catch (const Unavailable&) {
      if (PQstatus(conn_.get()) != CONNECTION_OK) conn_.reset();
      throw;
    }
  }

 private:
  void reconnect() {
    if (Steady::now() < backoff_.next) fail("not connected, trying again shortly");
    try {
      Conn c = connect(conninfo_, where_);
      for (size_t i = 0; i < sql_.size(); ++i) pg::prepare(c.get(), "s" + std::to_string(i + 1), sql_[i], where_);
      conn_ = std::move(c);
      backoff_.succeeded();
      log::info("store connected again", {{"database", where_}});
    } catch (const Unavailable&) {
      backoff_.failed();
      throw;
    }
  }

  std::string conninfo_, where_;
  Conn conn_;
  std::vector<std::string> sql_;  // every statement, prepared as "s1", "s2" ... on each connection
  Backoff backoff_;
  const Statement begin_ = prepare(schema::kPostgres.beginWrite);
  const Statement commit_ = prepare("COMMIT");
  const Statement rollback_ = prepare("ROLLBACK");
};

}  // namespace

std::unique_ptr<Store> openPostgres(const std::string& conninfo) {
  return std::make_unique<SqlStore<Postgres>>(conninfo);
}

}  // namespace hub::store
