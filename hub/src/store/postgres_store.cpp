// The store on a PostgreSQL server, shared by every hub node: one connection for the store thread, which
// reconnects by itself, and for each node one more on a thread of its own that follows the server's
// notifications of new bills and phone reports.
#include <libpq-fe.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstring>
#include <latch>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "store/schema.h"
#include "store/sql_store.h"
#include "store/store.h"

namespace hub::store {
namespace {

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
[[noreturn]] void fail(const std::string& where, std::string_view what) {
  std::string line;
  for (char c : what) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    if (c != ' ' || (!line.empty() && line.back() != ' ')) line += c;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  throw Unavailable("store postgresql " + where + ": " + line);
}

// Connects with settings that keep a dead or stuck server from holding the hub for long; the address's
// own settings come last and win. The name tells pg_stat_activity which connection is which, and of which
// node: "kassaro-hub 4711" (the store's), "kassaro-hub notifications 4711" (the watch's).
Conn connect(const std::string& conninfo, const std::string& where, std::string_view role = "") {
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

// The name an operator knows the database by, for messages; never the password.
std::string databaseOf(const std::string& conninfo) {
  std::string name = "?";
  if (PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), nullptr)) {
    for (PQconninfoOption* o = options; o->keyword; ++o)
      if (std::string_view(o->keyword) == "dbname" && o->val) name = o->val;
    PQconninfoFree(options);
  }
  return name;
}

// A result that is not what a statement gives when it worked fails as Unavailable.
Result checked(PGconn* c, PGresult* raw, const std::string& where) {
  Result r(raw);
  const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) fail(where, r ? PQresultErrorMessage(r.get()) : PQerrorMessage(c));
  return r;
}

// Text that may hold several statements: the schema's steps, LISTEN.
Result exec(PGconn* c, const std::string& sql, const std::string& where) {
  return checked(c, PQexec(c, sql.c_str()), where);
}

// A statement's argument: numbers go as their digits (text format), texts as their bytes with their length
// (binary format), so that a NUL inside one reaches the server, which refuses it, rather than ending it.
struct Arg {
  std::string value;
  bool bytes = false;
};

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

// One row of a result, read as SqlStore and the watch read rows.
struct Row {
  const PGresult* r = nullptr;
  int i = 0;
  std::int64_t integer(int column) const {
    const char* v = PQgetvalue(r, i, column);
    std::int64_t n = 0;
    std::from_chars(v, v + PQgetlength(r, i, column), n);
    return n;
  }
  std::string text(int column) const {
    return std::string(PQgetvalue(r, i, column), static_cast<size_t>(PQgetlength(r, i, column)));
  }
};

std::int64_t number(PGconn* c, const std::string& sql, const std::string& where) {
  const Result r = exec(c, sql, where);
  if (PQntuples(r.get()) < 1) fail(where, "no answer to " + sql);
  return Row{r.get(), 0}.integer(0);
}

Arg argOf(std::int64_t n) { return {std::to_string(n), false}; }
Arg argOf(std::string_view s) { return {std::string(s), true}; }

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
                           .number = [c, this](const std::string& sql) { return store::number(c, sql, where_); }});
  }

  const schema::Dialect& dialect() const { return schema::kPostgres; }

  Statement prepare(std::string_view sql) {
    sql_.push_back(schema::withParameters(sql, schema::kPostgres));
    Statement s{this, "s" + std::to_string(sql_.size())};
    store::prepare(conn_.get(), s.name, sql_.back(), where_);
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
  [[noreturn]] void fail(const std::string& what) const { store::fail(where_, what); }

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
      for (size_t i = 0; i < sql_.size(); ++i) store::prepare(c.get(), "s" + std::to_string(i + 1), sql_[i], where_);
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

// Follows the server's notifications on a connection of its own, on a thread of its own.
//
// Every bill is told to each node once, its own included: "bill N" is notified in the bill's transaction,
// so it arrives when that commits. While the connection is lost nothing is told; once back, the node reads
// the bills it may have missed. Bill numbers are taken before commit, so two nodes commit them out of
// order and "after the last one told" would skip some. The bills to read are instead those written by
// transactions that may not have been told yet: each row holds its writer's transaction id, and every
// second the node notifies itself, on a channel of its own, the oldest transaction still running
// (xmin). Notifications arrive in commit order, so when that fence arrives, every transaction older
// than it has been told. A node catches up from the last such mark and leaves out the numbers it has told.
class PostgresWatch final : public Watch {
 public:
  PostgresWatch(std::string conninfo, Heard heard)
      : conninfo_(std::move(conninfo)), where_(databaseOf(conninfo_)), heard_(std::move(heard)) {
    if (pipe(wake_) != 0) fail(where_, std::string("cannot make a pipe: ") + std::strerror(errno));
    std::random_device random;
    fence_ = "kassaro_fence_" + std::to_string(random()) + std::to_string(random());
    thread_ = std::thread([this] { follow(); });
    // Once the first attempt is over, every bill committed from now on is heard (when it connected).
    firstAttempt_.wait();
  }
  bool listening() const override { return listening_; }
  ~PostgresWatch() override {
    stopping_ = true;
    [[maybe_unused]] const auto n = write(wake_[1], "x", 1);
    thread_.join();
    close(wake_[0]);
    close(wake_[1]);
  }

 private:
  static constexpr auto kFenceEvery = std::chrono::seconds(1);

  void follow() {
    Backoff backoff;
    bool lost = false;
    while (!stopping_) {
      try {
        const Conn c = connect(conninfo_, where_, "notifications");
        listen(c.get());
        backoff.succeeded();
        if (lost) log::info("store notifications back", {{"database", where_}});
        lost = false;
        attempted();
        hear(c.get());
      } catch (const Unavailable& e) {
        listening_ = false;
        if (!lost) log::warn("store notifications lost", {{"reason", e.what()}});
        lost = true;
        attempted();
        backoff.failed();
        sleep(std::chrono::duration_cast<std::chrono::milliseconds>(backoff.next - Steady::now()));
      }
    }
  }

  void attempted() {
    if (!attempted_) firstAttempt_.count_down();
    attempted_ = true;
  }

  void listen(PGconn* c) {
    // At the first connection, the bills already committed are history, not news. The oldest transaction
    // now running is where reading starts, but it runs on the whole server: transactions after it, of
    // this database or another, may have committed bills already, and those stay out by the snapshot.
    if (!settled_) {
      const Result now = exec(c, "SELECT pg_snapshot_xmin(s)::text, s::text FROM pg_current_snapshot() s", where_);
      if (PQntuples(now.get()) < 1) fail(where_, "no snapshot");
      settled_ = Row{now.get(), 0}.integer(0);
      started_ = Row{now.get(), 0}.text(1);
    }
    exec(c, "LISTEN kassaro; LISTEN " + fence_, where_);
    const std::string columns = "SELECT " + std::string(kBillColumns) + ", writer FROM bills ";
    prepare(c, "bills", columns + "WHERE number = ANY($1::bigint[]) ORDER BY number", where_);
    // Rows with a writer from beyond this server's present (a restored dump of another) are no news.
    prepare(c, "missed",
            columns + "WHERE writer >= $1 AND writer <> 0 AND "
                      "writer < pg_snapshot_xmax(pg_current_snapshot())::text::bigint AND "
                      "NOT pg_visible_in_snapshot(writer::text::xid8, $2::pg_snapshot) ORDER BY number",
            where_);
    prepare(c, "fence", "SELECT pg_notify($1, pg_snapshot_xmin(pg_current_snapshot())::text)", where_);
    // Listening now, so every bill committed from here on is told; those committed before are in the table.
    tell(execPrepared(c, "missed", {argOf(*settled_), {started_, false}}, where_));
    listening_ = true;
  }

  void hear(PGconn* c) {
    auto nextFence = Steady::now();
    while (!stopping_) {
      std::vector<std::int64_t> bills;
      std::optional<std::int64_t> mark;
      while (PGnotify* n = PQnotifies(c)) {
        const std::string_view channel(n->relname), payload(n->extra);
        if (channel == fence_) {
          mark = std::atoll(n->extra);
        } else if (payload.starts_with("bill ")) {
          bills.push_back(std::atoll(n->extra + 5));
        } else if (payload.starts_with("phone ")) {
          char* rest = nullptr;
          const std::int64_t account = std::strtoll(n->extra + 6, &rest, 10);
          heard_.phone(account, std::strtoll(rest, nullptr, 10));
        }
        PQfreemem(n);
      }
      bool queried = false;
      if (!bills.empty()) {
        std::string array = "{";
        for (std::int64_t b : bills) array += std::to_string(b) + ",";
        array.back() = '}';
        tell(execPrepared(c, "bills", {{array, false}}, where_));
        queried = true;
      }
      // Only once the bills told before the fence are read does its mark hold.
      if (mark) {
        settled_ = std::max(*settled_, *mark);
        std::erase_if(told_, [this](const auto& bill) { return bill.second < *settled_; });
      }
      if (Steady::now() >= nextFence) {
        execPrepared(c, "fence", {argOf(fence_)}, where_);
        nextFence = Steady::now() + kFenceEvery;
        queried = true;
      }
      if (queried) continue;  // a reply may have brought more notifications with it
      pollfd fds[2] = {{PQsocket(c), POLLIN, 0}, {wake_[0], POLLIN, 0}};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextFence - Steady::now());
      if (poll(fds, 2, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) < 0 && errno != EINTR)
        fail(where_, std::string("poll failed: ") + std::strerror(errno));
      if (fds[1].revents) return;
      if (fds[0].revents && PQconsumeInput(c) == 0) fail(where_, PQerrorMessage(c));
    }
  }

  // Tells each bill of the result that has not been told yet.
  void tell(const Result& r) {
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      const Row row{r.get(), i};
      if (told_.emplace(row.integer(0), row.integer(9)).second) heard_.bill(readBill(row));
    }
  }

  void sleep(std::chrono::milliseconds wait) {
    pollfd fd{wake_[0], POLLIN, 0};
    poll(&fd, 1, static_cast<int>(std::max<std::int64_t>(wait.count(), 0)));
  }

  std::string conninfo_, where_;
  Heard heard_;
  std::string fence_;  // this node's own channel
  // Every transaction older than this has been told; the bills told since, by number, with their writer.
  std::optional<std::int64_t> settled_;
  std::string started_;  // the server's snapshot when the watch started: what it shows committed is history
  std::map<std::int64_t, std::int64_t> told_;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stopping_ = false;
  std::atomic<bool> listening_ = false;
  std::latch firstAttempt_{1};
  bool attempted_ = false;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<Store> openPostgres(const std::string& conninfo) {
  return std::make_unique<SqlStore<Postgres>>(conninfo);
}

std::unique_ptr<Watch> watchPostgres(const std::string& conninfo, Heard heard) {
  return std::make_unique<PostgresWatch>(conninfo, std::move(heard));
}

}  // namespace hub::store
