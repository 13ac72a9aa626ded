// Each node's watch of a PostgreSQL server that several nodes share: a connection and a thread of its own
// that follow the server's notifications of new bills and phone reports.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <latch>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "store/postgres/connection.h"
#include "store/sql_store.h"
#include "store/store.h"

namespace hub::store {
namespace {

using namespace pg;

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

std::unique_ptr<Watch> watchPostgres(const std::string& conninfo, Heard heard) {
  return std::make_unique<PostgresWatch>(conninfo, std::move(heard));
}

}  // namespace hub::store
