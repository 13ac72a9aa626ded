#include "store/store.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <latch>
#include <map>
#include <mutex>
#include <ranges>
#include <thread>
#include <tuple>

#include "store/executor.h"
#include "store/schema.h"

using namespace hub;
using namespace hub::store;

namespace {

constexpr clock::Millis kWindow = 60'000;

// A bare connection to a store's database, as another process would hold: to build old stores by hand and
// to change the data behind the store's back.
struct Raw {
  virtual ~Raw() = default;
  // The engine's error, empty when the statements worked.
  virtual std::string exec(const std::string& sql) = 0;
  // The first column of the first row; -1 when there is none.
  virtual std::int64_t number(const std::string& sql) = 0;
  virtual const schema::Dialect& dialect() const = 0;

  // The store's first step only, as the first program to use the database left it.
  void makeFirstStep() {
    schema::bringUpToDate({.dialect = dialect(),
                           .exec = [this](const std::string& sql) { ASSERT_EQ(exec(sql), "") << sql; },
                           .number = [this](const std::string& sql) { return number(sql); }},
                          schema::steps().first(1));
  }
};

struct RawSqlite final : Raw {
  sqlite3* db = nullptr;
  explicit RawSqlite(const std::string& file) {
    sqlite3_open(file.c_str(), &db);
    sqlite3_busy_timeout(db, 5000);
  }
  ~RawSqlite() override { sqlite3_close(db); }
  std::string exec(const std::string& sql) override {
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK ? "" : sqlite3_errmsg(db);
  }
  std::int64_t number(const std::string& sql) override {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
    const std::int64_t n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
    sqlite3_finalize(s);
    return n;
  }
  const schema::Dialect& dialect() const override { return schema::kSqlite; }
};

struct RawPostgres final : Raw {
  PGconn* db = nullptr;
  explicit RawPostgres(const std::string& address) : db(PQconnectdb(address.c_str())) {}
  ~RawPostgres() override { PQfinish(db); }
  std::string exec(const std::string& sql) override {
    PGresult* r = PQexec(db, sql.c_str());
    const auto status = PQresultStatus(r);
    std::string error = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK ? "" : PQresultErrorMessage(r);
    PQclear(r);
    return error;
  }
  std::int64_t number(const std::string& sql) override {
    PGresult* r = PQexec(db, sql.c_str());
    const std::int64_t n = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0 ? std::atoll(PQgetvalue(r, 0, 0)) : -1;
    PQclear(r);
    return n;
  }
  const schema::Dialect& dialect() const override { return schema::kPostgres; }
};

enum class Engine { sqlite, postgresql };

std::string engineName(Engine engine) { return engine == Engine::sqlite ? "sqlite" : "postgresql"; }
std::string nameOf(const ::testing::TestParamInfo<Engine>& info) { return engineName(info.param); }
void PrintTo(Engine engine, std::ostream* out) { *out << engineName(engine); }

// The tests' PostgreSQL server (tests/postgres.py): KASSARO_TEST_POSTGRES names its directory, where its
// socket is; ctest starts it before these tests and stops it after.
const char* postgresServer() { return getenv("KASSARO_TEST_POSTGRES"); }

std::string postgresAddress(const std::string& database) {
  return "postgresql://postgres@/" + database + "?host=" + postgresServer();
}

// Where one test's stores live: files in a scratch directory, or databases of its own on the server,
// made as they are first named and dropped at the end.
class StoreTest : public ::testing::Test {
 protected:
  explicit StoreTest(Engine engine) : engine(engine) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kassaro-store-XXXXXX").string();
    dir = mkdtemp(pattern.data());
    file = address("hub");
  }
  ~StoreTest() override {
    std::filesystem::remove_all(dir);
    if (!databases.empty()) {
      RawPostgres server(postgresAddress("postgres"));
      for (const std::string& d : databases) server.exec("DROP DATABASE IF EXISTS " + d + " WITH (FORCE)");
    }
  }
  void SetUp() override {
    if (engine == Engine::postgresql && !postgresServer())
      GTEST_SKIP() << "KASSARO_TEST_POSTGRES is not set: run under ctest, which starts the server";
  }

  // A store's address: its file, or a new database's libpq address.
  std::string address(const std::string& name) {
    if (engine == Engine::sqlite) return (dir / (name + ".db")).string();
    if (!postgresServer()) return {};
    const std::string database = "store_" + std::to_string(getpid()) + "_" + std::to_string(++made) + "_" + name;
    RawPostgres server(postgresAddress("postgres"));
    EXPECT_EQ(server.exec("CREATE DATABASE " + database), "");
    databases.push_back(database);
    return postgresAddress(database);
  }
  // One that cannot be opened.
  std::string missing() const {
    return engine == Engine::sqlite ? (dir / "missing" / "hub.db").string() : postgresAddress("no_such_database");
  }
  std::unique_ptr<Store> open(const std::string& at) const {
    return engine == Engine::sqlite ? openSqlite(at) : openPostgres(at);
  }
  std::unique_ptr<Store> open() const { return open(file); }
  std::unique_ptr<Raw> raw(const std::string& at) const {
    if (engine == Engine::sqlite) return std::make_unique<RawSqlite>(at);
    return std::make_unique<RawPostgres>(at);
  }
  std::unique_ptr<Raw> raw() const { return raw(file); }

  const Engine engine;
  std::filesystem::path dir;
  std::string file;  // the test's main store
  std::vector<std::string> databases;
  int made = 0;
};

// The suite that every engine passes.
class EveryEngine : public StoreTest, public ::testing::WithParamInterface<Engine> {
 protected:
  EveryEngine() : StoreTest(GetParam()) {}
};
INSTANTIATE_TEST_SUITE_P(Engines, EveryEngine, ::testing::Values(Engine::sqlite, Engine::postgresql), nameOf);

struct SqliteOnly : StoreTest {
  SqliteOnly() : StoreTest(Engine::sqlite) {}
};
struct PostgresOnly : StoreTest {
  PostgresOnly() : StoreTest(Engine::postgresql) {}
};

std::int64_t addShop(Store& store, const std::string& name, const std::string& key = "") {
  EXPECT_TRUE(store.addAccount({.name = name, .passwordHash = "$argon2id$" + name, .intakeKey = key}));
  return store.accountByName(name)->id;
}

NewBill payment(std::int64_t account, clock::Millis receivedAt, std::string sourceId = "",
                std::string dedupeKey = "") {
  return {.accountId = account,
          .channel = Channel::alipay,
          .fen = 500,
          .time = receivedAt,
          .receivedAt = receivedAt,
          .sourceId = std::move(sourceId),
          .dedupeKey = std::move(dedupeKey),
          .text = "你已成功收款5.00元"};
}

std::vector<Bill> allBills(Store& store, std::int64_t account) {
  return store.bills(account, 0, std::numeric_limits<clock::Millis>::max());
}

}  // namespace

TEST_P(EveryEngine, AnOlderStoreIsBroughtUpToDateWithItsDataAndANewerOneIsRefusedUntouched) {
  raw()->makeFirstStep();
  ASSERT_EQ(raw()->exec("INSERT INTO accounts (name, password_hash, intake_key, disabled, created_at) "
                        "VALUES ('老王', 'h', '', 0, 7);"
                        "INSERT INTO bills (account_id, channel, fen, paid_at, received_at, source_id, "
                        "dedupe_key, text) VALUES (1, 1, 117, 10, 11, 's', '', '微信支付收款1.17元')"),
            "");
  auto store = open();
  const auto account = store->accountByName("老王");
  ASSERT_TRUE(account);
  EXPECT_EQ(account->createdAt, 7);
  EXPECT_EQ(account->phoneSeenAt, 0);  // the column a later step added
  EXPECT_EQ(allBills(*store, account->id).at(0).text, "微信支付收款1.17元");
  store->counterSeen(account->id, "M1", "10.0.0.1", 20);
  EXPECT_EQ(store->countersSeen(account->id).size(), 1u);
  store.reset();
  open();  // up to date already: nothing applied twice
  EXPECT_EQ(raw()->number("SELECT COUNT(*) FROM schema_version"), std::ssize(schema::steps()));

  // A store at the first step whose version says a later program has been at it.
  const auto newer = address("newer");
  raw(newer)->makeFirstStep();
  raw(newer)->exec("INSERT INTO schema_version VALUES (" + std::to_string(schema::steps().back().version + 1) +
                   ")");
  try {
    open(newer);
    ADD_FAILURE() << "a newer store was opened";
  } catch (const Unavailable& e) {
    EXPECT_NE(std::string(e.what()).find("newer"), std::string::npos) << e.what();
  }
  EXPECT_NE(raw(newer)->exec("SELECT * FROM counters_seen"), "");  // no later step was applied
  EXPECT_THROW(open(missing()), Unavailable);
}

TEST_P(EveryEngine, AccountsAreFoundByNameAndKeyAndOnlyOperatorChangesGrowTheRevision) {
  auto store = open();
  auto commandLine = open();
  std::int64_t revision = store->revision();
  const auto changed = [&] { return std::exchange(revision, commandLine->revision()) != revision; };

  const std::int64_t a = addShop(*store, "Shop", "key-A");
  EXPECT_TRUE(changed());
  EXPECT_FALSE(store->addAccount({.name = "Shop", .passwordHash = "h", .intakeKey = "key-other"}));
  EXPECT_FALSE(changed());
  const std::int64_t b = addShop(*store, "shop");  // names are compared byte for byte
  addShop(*store, "第三家");                       // a second account without a key is no conflict
  EXPECT_EQ(store->accounts().size(), 3u);
  EXPECT_EQ(store->accountByKey("key-A")->name, "Shop");
  EXPECT_FALSE(store->accountByKey("key-B"));
  EXPECT_FALSE(store->accountByKey(""));

  store->setIntakeKey(a, "key-B");
  EXPECT_TRUE(changed());
  EXPECT_FALSE(store->accountByKey("key-A"));
  EXPECT_EQ(store->accountByKey("key-B")->id, a);
  store->setDisabled(a, true);
  EXPECT_TRUE(changed());
  EXPECT_TRUE(store->accountById(a)->disabled);
  store->setPasswordHash(b, "$argon2id$new");
  EXPECT_TRUE(changed());
  EXPECT_EQ(store->accountById(b)->passwordHash, "$argon2id$new");
  store->setServerInfo(
      {.maintenance = true, .notice = "今晚维护", .clientVersion = "1.1", .downloadUrl = ""});
  EXPECT_TRUE(changed());
  EXPECT_EQ(commandLine->serverInfo().notice, "今晚维护");

  // What the hub records of the merchant's devices is no operator change.
  store->setPhoneSeen(a, 500);
  store->counterSeen(a, "M1", "10.0.0.1", 100);
  store->counterSeen(a, "M2", "10.0.0.2", 150);
  store->counterSeen(a, "M1", "10.0.0.3", 200);
  store->addBill(payment(a, 1000), kWindow);
  EXPECT_FALSE(changed());
  EXPECT_EQ(store->accountById(a)->phoneSeenAt, 500);
  EXPECT_EQ(store->countersSeen(a),
            (std::vector<CounterSeen>{{"M1", "10.0.0.3", 100, 200}, {"M2", "10.0.0.2", 150, 150}}));
}

TEST_P(EveryEngine, DuplicatesAreFoundBySourceIdAndByDedupeKeyWithinTheWindowOfOneAccount) {
  auto store = open();
  const std::int64_t a = addShop(*store, "A"), b = addShop(*store, "B");
  const auto add = [&](std::int64_t account, clock::Millis at, std::string sourceId, std::string key) {
    return store->addBill(payment(account, at, std::move(sourceId), std::move(key)), kWindow);
  };

  const Stored first = add(a, 1000, "n-1", "");
  EXPECT_FALSE(first.duplicate);
  const Stored again = add(a, 999'000, "n-1", "another key");
  EXPECT_TRUE(again.duplicate);
  EXPECT_EQ(again.number, first.number);
  EXPECT_FALSE(add(b, 1000, "n-1", "").duplicate);

  const Stored keyed = add(a, 10'000, "", "K");
  EXPECT_FALSE(keyed.duplicate);
  EXPECT_EQ(add(a, 10'000 + kWindow, "", "K").number, keyed.number);
  const Stored later = add(a, 10'000 + kWindow + 1, "", "K");
  EXPECT_FALSE(later.duplicate);
  EXPECT_TRUE(add(a, 10'000 + kWindow + 2, "", "K").duplicate);
  EXPECT_FALSE(add(b, 10'000, "", "K").duplicate);
  // Without either, every bill is new.
  EXPECT_FALSE(add(a, 5000, "", "").duplicate);
  EXPECT_FALSE(add(a, 5000, "", "").duplicate);
  EXPECT_EQ(allBills(*store, a).size(), 5u);

  // The database itself refuses a second bill with the same source id, whoever writes it.
  const std::string insert =
      "INSERT INTO bills (account_id, channel, fen, paid_at, received_at, source_id, "
      "dedupe_key, text) VALUES (" +
      std::to_string(a) + ", 1, 1, 0, 0, ";
  const std::string refused = raw()->exec(insert + "'n-1', '', '')");
  EXPECT_NE(refused.find(engine == Engine::sqlite ? "UNIQUE" : "unique"), std::string::npos) << refused;
  EXPECT_EQ(raw()->exec(insert + "'', '', '')"), "");
}

TEST_P(EveryEngine, WhatClientsSendIsKeptBoundedAndTheDedupeWindowReachesBothWays) {
  auto store = open();
  const std::int64_t a = addShop(*store, "A");
  // Two nodes take a phone's two posts in the opposite order: the earlier request time, committed
  // second, still finds the later one.
  const Stored later = store->addBill(payment(a, 100'000, "", "K"), kWindow);
  const Stored earlier = store->addBill(payment(a, 100'000 - kWindow, "", "K"), kWindow);
  EXPECT_TRUE(earlier.duplicate);
  EXPECT_EQ(earlier.number, later.number);
  EXPECT_FALSE(store->addBill(payment(a, 100'000 - kWindow - 1, "", "K"), kWindow).duplicate);

  // A list reads the newest bills, oldest first, and the text only when asked; a text is kept clipped
  // at a character's start.
  constexpr clock::Millis from = 1'000'000, to = 2'000'000;
  std::vector<std::int64_t> numbers;
  for (int i = 0; i < 10; ++i) {
    NewBill in = payment(a, from + i, "id-" + std::to_string(i));
    in.text.clear();
    for (int c = 0; c < 300; ++c) in.text += "收";
    numbers.push_back(store->addBill(in, kWindow).number);
  }
  auto numbersOf = [](const std::vector<Bill>& bills) {
    std::vector<std::int64_t> out;
    for (const Bill& b : bills) out.push_back(b.number);
    return out;
  };
  const auto newest = store->latestBills(a, from, to, 4, 0, false);
  EXPECT_EQ(numbersOf(newest), std::vector<std::int64_t>(numbers.begin() + 6, numbers.end()));
  EXPECT_EQ(newest.back().text, "");
  EXPECT_EQ(newest.back().time, from + 9);
  const auto before = store->latestBills(a, from, to, 4, 4, true);
  EXPECT_EQ(numbersOf(before), std::vector<std::int64_t>(numbers.begin() + 2, numbers.begin() + 6));
  std::string clipped;
  for (int c = 0; c < 170; ++c) clipped += "收";  // 510 bytes: the next character would pass 512
  EXPECT_EQ(before.front().text, clipped);

  // Each account keeps its most recent counters and page sessions only.
  for (int i = 0; i < kMaxCountersSeen + 5; ++i)
    store->counterSeen(a, "M" + std::to_string(i), "10.0.0." + std::to_string(i % 3), 1000 + i);
  const auto seen = store->countersSeen(a);
  EXPECT_EQ(static_cast<std::int64_t>(seen.size()), kMaxCountersSeen);
  EXPECT_FALSE(std::ranges::any_of(seen, [](const CounterSeen& c) { return c.machineId == "M4"; }));
  EXPECT_TRUE(store->counterKnown(a, "M104", "192.0.2.1", 1104));
  EXPECT_TRUE(store->counterKnown(a, "unknown", "10.0.0.1", 1000));
  EXPECT_FALSE(store->counterKnown(a, "M4", "192.0.2.1", 0));
  EXPECT_FALSE(store->counterKnown(a, "M104", "192.0.2.1", 1105));
  for (int i = 0; i < kMaxPageSessions + 3; ++i) store->addPageSession("s" + std::to_string(i), a, 0, 10'000 + i);
  EXPECT_FALSE(store->accountBySession("s2", 1));
  EXPECT_TRUE(store->accountBySession("s3", 1));
  EXPECT_TRUE(store->accountBySession("s" + std::to_string(kMaxPageSessions + 2), 1));
}

TEST_P(EveryEngine, BillsOfARangeComeOldestFirstByTimeThenNumberAndOnlyTheAccounts) {
  auto store = open();
  const std::int64_t a = addShop(*store, "A"), b = addShop(*store, "B");
  constexpr clock::Millis from = 1'593'360'000'000, to = from + 86'400'000;
  std::vector<Bill> expected;
  int n = 0;
  for (const auto& [account, time] : std::vector<std::pair<std::int64_t, clock::Millis>>{
           {a, to - 1}, {a, to}, {a, from}, {a, from - 1}, {a, from}, {b, from}}) {
    NewBill in = payment(account, from + 9, "源-" + std::to_string(++n));
    in.time = time;
    in.text += "(朋友到店)【字段分隔符】\t\"'";
    const Bill stored{store->addBill(in, kWindow).number,
                      account,
                      in.channel,
                      in.fen,
                      time,
                      in.receivedAt,
                      in.sourceId,
                      in.text};
    if (account == a && time >= from && time < to) expected.push_back(stored);
  }
  std::ranges::stable_sort(expected, {}, &Bill::time);
  EXPECT_EQ(store->bills(a, from, to), expected);
}

TEST_P(EveryEngine, SumsPerChannelOfARangeAndPageSessionsUntilTheyExpireOrThePasswordChanges) {
  auto store = open();
  const std::int64_t a = addShop(*store, "A"), b = addShop(*store, "B");
  constexpr clock::Millis from = 1'593'360'000'000, to = from + 86'400'000;
  for (const auto& [account, channel, fen, time] : std::vector<std::tuple<std::int64_t, Channel, money::Fen, clock::Millis>>{
           {a, Channel::alipay, 143000, from}, {a, Channel::wechat, 117, to - 1}, {a, Channel::alipay, 1, from + 5},
           {a, Channel::wechat, 999, to}, {a, Channel::wechat, 999, from - 1}, {b, Channel::wechat, 999, from}}) {
    NewBill in = payment(account, time);
    in.channel = channel;
    in.fen = fen;
    store->addBill(in, kWindow);
  }
  EXPECT_EQ(store->sums(a, from, to), (std::vector<ChannelSum>{{Channel::wechat, 1, 117}, {Channel::alipay, 2, 143001}}));
  EXPECT_EQ(store->sums(a, to + 1, to + 2), std::vector<ChannelSum>{});

  store->addPageSession("d1", a, 100, 200);
  store->addPageSession("d2", a, 100, 300);
  store->addPageSession("d3", b, 100, 300);
  EXPECT_EQ(store->accountBySession("d1", 199)->id, a);
  EXPECT_FALSE(store->accountBySession("d1", 200));
  EXPECT_FALSE(store->accountBySession("nothing", 0));
  store->addPageSession("d4", a, 250, 400);  // forgets d1, expired by then
  EXPECT_EQ(raw()->number("SELECT COUNT(*) FROM page_sessions WHERE digest = 'd1'"), 0);
  store->endPageSession("d4");
  EXPECT_FALSE(store->accountBySession("d4", 260));
  store->setPasswordHash(a, "$argon2id$new");
  EXPECT_FALSE(store->accountBySession("d2", 260));
  EXPECT_EQ(store->accountBySession("d3", 260)->id, b);
}

namespace {

// The event loop's side of the executor: done runs where it is posted (on the store thread) and is recorded
// for the test to wait on.
struct Outcomes {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<int, bool> done;  // committed or not
  std::map<int, Outcome> outcomes;

  Executor::Done of(int job) {
    return [this, job](const Outcome& outcome) {
      std::lock_guard lock(mutex);
      done[job] = outcome.committed();
      outcomes[job] = outcome;
      changed.notify_all();
    };
  }
  Outcome operator[](int job) {
    std::lock_guard lock(mutex);
    return outcomes[job];
  }
  std::map<int, bool> waitFor(size_t jobs) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return done.size() >= jobs; });
    return done;
  }
};

Executor::Post onTheStoreThread() {
  return [](std::function<void()> f) { f(); };
}

// Holds the store thread in a job until opened, so that the jobs queued meanwhile meet in one transaction.
struct Gate {
  std::latch entered{1}, open{1};
  Gate(Executor& executor, Executor::Done done) {
    executor.run(
        [this](Store&) {
          entered.count_down();
          open.wait();
        },
        std::move(done));
    entered.wait();
  }
};

std::function<void(Store&)> addPayment(std::int64_t account, std::string sourceId, std::string text = "x") {
  return [=](Store& store) {
    NewBill bill = payment(account, 1000, sourceId);
    bill.text = text;
    store.addBill(bill, kWindow);
  };
}

std::vector<std::string> sourceIds(const std::vector<Bill>& bills) {
  std::vector<std::string> ids;
  for (const Bill& bill : bills) ids.push_back(bill.sourceId);
  return ids;
}

}  // namespace

// Notifications no rule counted: an account's of a range, oldest first; forgotten a week after; the bill
// a merchant counted by hand marked on both.
TEST_P(EveryEngine, NotificationsNotCountedAreKeptAWeekAndMarkedWhenCountedByHand) {
  auto store = open();
  const std::int64_t a = addShop(*store, "A"), b = addShop(*store, "B");
  constexpr clock::Millis day = 86'400'000, t = 1'593'360'000'000;
  auto keep = [&](std::int64_t account, clock::Millis at, std::string text) {
    store->addUnrecognised({.accountId = account, .receivedAt = at, .package = "com.tencent.mm", .title = "微信支付",
                            .text = std::move(text), .reason = "no amount"});
  };
  keep(a, t, "微信支付到账3.50元");
  keep(b, t + 1, "B's");
  keep(a, t + 2, "later");
  const auto kept = store->unrecognised(a, t, t + day, 10);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].text, "微信支付到账3.50元");
  EXPECT_EQ(kept[1].text, "later");
  EXPECT_EQ(kept[0].billNumber, 0);
  EXPECT_FALSE(store->unrecognisedById(b, kept[0].id));  // another account's is not found

  NewBill byHand = payment(a, t);
  byHand.byHand = true;
  const Stored stored = store->addBill(byHand, kWindow);
  store->setUnrecognisedBill(kept[0].id, stored.number);
  EXPECT_EQ(store->unrecognisedById(a, kept[0].id)->billNumber, stored.number);
  const auto bills = allBills(*store, a);
  ASSERT_EQ(bills.size(), 1u);
  EXPECT_TRUE(bills[0].byHand);

  keep(a, t + kUnrecognisedLife + 2, "a week on");  // forgets those received a week before it, not the rest
  EXPECT_EQ(store->unrecognised(a, 0, t + 2 * kUnrecognisedLife, 10).size(), 2u);
  const auto newest = store->unrecognised(a, 0, t + 2 * kUnrecognisedLife, 1);
  ASSERT_EQ(newest.size(), 1u);
  EXPECT_EQ(newest[0].text, "a week on");
  EXPECT_EQ(store->unrecognised(b, 0, t + 2 * kUnrecognisedLife, 10).size(), 0u);
}

TEST_P(EveryEngine, ABurstIsOneCommitAndWhatIsQueuedIsFinishedBeforeTheExecutorEnds) {
  const std::int64_t a = addShop(*open(), "A");
  Outcomes outcomes;
  constexpr int kBurst = 200;
  {
    Executor executor(open(), onTheStoreThread());
    Gate gate(executor, outcomes.of(0));
    for (int i = 1; i <= kBurst; ++i) executor.run(addPayment(a, std::to_string(i)), outcomes.of(i));
    gate.open.count_down();
    outcomes.waitFor(kBurst + 1);
    EXPECT_EQ(executor.commits(), 2);  // the gate's own, then one for the whole burst
    for (int i = 1; i <= 20; ++i)
      executor.run(addPayment(a, "late " + std::to_string(i)), outcomes.of(kBurst + i));
  }
  const auto done = outcomes.waitFor(0);
  EXPECT_EQ(std::ranges::count(done | std::views::values, true), kBurst + 21);
  EXPECT_EQ(allBills(*open(), a).size(), kBurst + 20u);
}

TEST_P(EveryEngine, AJobThatThrowsIsUndoneAloneAndOneThatLosesTheTransactionTakesTheBatchWithIt) {
  const std::int64_t a = addShop(*open(), "A");
  Outcomes outcomes;
  bool ranAfterLoss = false;
  {
    Executor executor(open(), onTheStoreThread());
    std::optional<Gate> gate(std::in_place, executor, outcomes.of(0));
    executor.run(addPayment(a, "kept 1"), outcomes.of(1));
    executor.run(
        [a](Store& store) {
          addPayment(a, "thrown")(store);
          throw std::runtime_error("bad request");
        },
        outcomes.of(2));
    executor.run(addPayment(a, "kept 2"), outcomes.of(3));
    gate->open.count_down();
    outcomes.waitFor(4);
    EXPECT_EQ(executor.commits(), 2);

    // The engine drops the whole transaction under a job, as SQLite does on some disk errors.
    gate.emplace(executor, outcomes.of(4));
    executor.run(addPayment(a, "lost"), outcomes.of(5));
    executor.run([](Store& store) { store.rollback(); }, outcomes.of(6));
    executor.run([&](Store&) { ranAfterLoss = true; }, outcomes.of(7));
    gate->open.count_down();
    outcomes.waitFor(8);
    executor.run(addPayment(a, "after"), outcomes.of(8));
  }
  const std::map<int, bool> expected{{0, true},  {1, true},  {2, false}, {3, true}, {4, true},
                                     {5, false}, {6, false}, {7, false}, {8, true}};
  EXPECT_EQ(outcomes.waitFor(9), expected);
  EXPECT_FALSE(ranAfterLoss);
  // What threw is a defect, in its own words; what the engine failed is the engine's, in the engine's.
  EXPECT_EQ(outcomes[2].ended, Outcome::Ended::defect);
  EXPECT_EQ(outcomes[2].reason, "bad request");
  for (int job : {5, 6, 7}) {
    EXPECT_TRUE(outcomes[job].unavailable()) << job;
    EXPECT_TRUE(outcomes[job].reason.starts_with("store ")) << outcomes[job].reason;
    EXPECT_EQ(outcomes[job].reason, outcomes[5].reason) << "one batch, one reason";
  }
  EXPECT_EQ(sourceIds(allBills(*open(), a)),
            (std::vector<std::string>{"kept 1", "kept 2", "after"}));
}

TEST_F(SqliteOnly, AFullStoreFailsItsJobsUntilRoomIsMadeAndCommittedBillsAreSeenByTheCommandLine) {
  const std::int64_t a = addShop(*open(), "A");
  const std::int64_t pages = raw()->number("PRAGMA page_count") + 8;
  const std::string aPage(3000, 'x');  // kept as its first kMaxBillText bytes
  Outcomes outcomes;
  auto commandLine = open();
  {
    Executor executor(openSqliteCapped(file, pages), onTheStoreThread());
    int job = 0;
    for (; job < 400; ++job) {
      executor.run(addPayment(a, std::to_string(job), aPage), outcomes.of(job));
      if (!outcomes.waitFor(job + 1)[job]) break;
    }
    ASSERT_LT(job, 400) << "the store never filled up";
    EXPECT_TRUE(outcomes[job].unavailable());
    EXPECT_EQ(outcomes[job].reason, "store " + file + ": database or disk is full");
    EXPECT_EQ(allBills(*commandLine, a).size(), static_cast<size_t>(job));

    ASSERT_EQ(raw()->exec("DELETE FROM bills"), "");  // the operator makes room
    std::vector<std::string> seen;
    executor.run(addPayment(a, "after", aPage), [&, done = outcomes.of(++job)](const Outcome& outcome) {
      seen = sourceIds(allBills(*commandLine, a));  // by the time anyone is told, the bill is in the file
      done(outcome);
    });
    EXPECT_TRUE(outcomes.waitFor(job + 1)[job]);
    EXPECT_EQ(seen, std::vector<std::string>{"after"});
  }
  // The reason, straight from the store, is one line.
  auto store = openSqliteCapped(file, pages);
  try {
    for (int i = 0; i < 400; ++i) addPayment(a, "", aPage)(*store);
    ADD_FAILURE() << "the store never filled up";
  } catch (const Unavailable& e) {
    EXPECT_EQ(std::string(e.what()), "store " + file + ": database or disk is full");
  }
}

TEST_F(PostgresOnly, ALostConnectionFailsItsBatchKeepingNothingAndTheNextJobConnectsAgain) {
  const std::int64_t a = addShop(*open(), "A");
  Outcomes outcomes;
  {
    Executor executor(open(), onTheStoreThread());
    executor.run(addPayment(a, "before"), outcomes.of(0));
    outcomes.waitFor(1);
    // The server ends the store thread's connection while a batch is inside its transaction.
    std::latch entered{1}, cut{1};
    executor.run(
        [&](Store& store) {
          addPayment(a, "lost")(store);
          entered.count_down();
          cut.wait();
        },
        outcomes.of(1));
    entered.wait();
    EXPECT_EQ(raw()->number("SELECT COUNT(pg_terminate_backend(pid)) FROM pg_stat_activity "
                            "WHERE datname = current_database() AND pid <> pg_backend_pid()"),
              1);
    executor.run(addPayment(a, "after"), outcomes.of(2));
    cut.count_down();
    outcomes.waitFor(3);
  }
  EXPECT_EQ(outcomes.waitFor(3), (std::map<int, bool>{{0, true}, {1, false}, {2, true}}));
  EXPECT_EQ(sourceIds(allBills(*open(), a)), (std::vector<std::string>{"before", "after"}));
}

TEST_F(PostgresOnly, ABatchWhoseCommitTheServerRefusesIsToldNothingWasKept) {
  const std::int64_t a = addShop(*open(), "A");
  // A check that the server makes only at COMMIT.
  ASSERT_EQ(raw()->exec("CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
                        "IF NEW.text = 'refused at commit' THEN RAISE EXCEPTION 'refused'; END IF; "
                        "RETURN NULL; END $$;"
                        "CREATE CONSTRAINT TRIGGER refuse AFTER INSERT ON bills DEFERRABLE INITIALLY DEFERRED "
                        "FOR EACH ROW EXECUTE FUNCTION refuse()"),
            "");
  Outcomes outcomes;
  {
    Executor executor(open(), onTheStoreThread());
    Gate gate(executor, outcomes.of(0));
    executor.run(addPayment(a, "kept by nobody"), outcomes.of(1));
    executor.run(addPayment(a, "refused", "refused at commit"), outcomes.of(2));
    gate.open.count_down();
    outcomes.waitFor(3);
    executor.run(addPayment(a, "after"), outcomes.of(3));
  }
  EXPECT_EQ(outcomes.waitFor(4), (std::map<int, bool>{{0, true}, {1, false}, {2, false}, {3, true}}));
  EXPECT_EQ(sourceIds(allBills(*open(), a)), std::vector<std::string>{"after"});
}

TEST_F(PostgresOnly, TwoNodesTakingTheSamePaymentAtOnceMakeOneBillBySourceIdAndByDedupeKey) {
  const std::int64_t a = addShop(*open(), "A");
  auto first = open(), second = open();
  auto server = raw();
  for (const NewBill& bill : {payment(a, 1000, "n-1"), payment(a, 2000, "", "K")}) {
    first->begin();
    const Stored mine = first->addBill(bill, kWindow);
    Stored theirs;
    std::thread other([&] {
      try {
        second->begin();
        theirs = second->addBill(bill, kWindow);
        second->commit();
      } catch (const Unavailable& e) {
        ADD_FAILURE() << e.what();
      }
    });
    // The second node waits for the first one's transaction: without that it would not see the bill.
    bool waits = false;
    for (int i = 0; i < 1000 && !waits; ++i) {
      waits = server->number("SELECT COUNT(*) FROM pg_stat_activity WHERE datname = current_database() "
                             "AND wait_event_type = 'Lock'") > 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(waits) << "the second node did not wait for the first";
    first->commit();
    other.join();
    EXPECT_FALSE(mine.duplicate);
    EXPECT_TRUE(theirs.duplicate);
    EXPECT_EQ(theirs.number, mine.number);
  }
  EXPECT_EQ(allBills(*first, a).size(), 2u);
}

namespace {

// What a node's watch has heard, for the test to wait on.
struct Hearing {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::int64_t> bills;
  std::vector<std::pair<std::int64_t, clock::Millis>> phones;

  Heard heard() {
    return {.bill =
                [this](const Bill& bill) {
                  std::lock_guard lock(mutex);
                  bills.push_back(bill.number);
                  changed.notify_all();
                },
            .phone =
                [this](std::int64_t account, clock::Millis at) {
                  std::lock_guard lock(mutex);
                  phones.emplace_back(account, at);
                  changed.notify_all();
                }};
  }
  // The bills heard, sorted, once the given one is among them (or after 10 s).
  std::vector<std::int64_t> billsWith(std::int64_t number) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return std::ranges::count(bills, number) > 0; });
    std::vector<std::int64_t> sorted = bills;
    std::ranges::sort(sorted);
    return sorted;
  }
};

}  // namespace

TEST_F(PostgresOnly, AWatchHearsEveryBillOnceThoughCutOffAndThoughBillsCommitOutOfNumberOrder) {
  const std::int64_t a = addShop(*open(), "A");
  auto store = open(), early = open();
  auto server = raw(address("server"));  // a connection that outlives the test database's being closed
  const std::string database = databases.front();
  const auto add = [&](Store& s, std::string id) { return s.addBill(payment(a, 1000, std::move(id)), kWindow).number; };

  // The watch tells the bills committed after it started, not those before, though a transaction older
  // than them, in another database, is still running.
  ASSERT_EQ(server->exec("BEGIN"), "");
  ASSERT_EQ(server->exec("SELECT pg_current_xact_id()"), "");
  const std::int64_t old = add(*store, "before the watch");
  Hearing hearing;
  auto watch = watchPostgres(file, hearing.heard());
  ASSERT_EQ(server->exec("COMMIT"), "");
  const std::int64_t b1 = add(*store, "1");
  EXPECT_EQ(hearing.billsWith(b1), std::vector<std::int64_t>{b1});
  EXPECT_GT(b1, old);
  store->setPhoneSeen(a, 1234);

  // A bill whose number was taken first commits last, while the watch is cut off and cannot connect.
  early->begin();
  const std::int64_t b2 = add(*early, "2");
  const std::int64_t b3 = add(*store, "3");
  EXPECT_EQ(hearing.billsWith(b3), (std::vector<std::int64_t>{b1, b3}));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // fences pass, as they would
  ASSERT_EQ(server->exec("ALTER DATABASE " + database + " ALLOW_CONNECTIONS false"), "");
  const std::string watching = "FROM pg_stat_activity WHERE datname = '" + database +
                               "' AND application_name LIKE 'kassaro-hub notifications %'";
  EXPECT_EQ(server->number("SELECT COUNT(pg_terminate_backend(pid)) " + watching), 1);
  for (int i = 0; i < 500 && server->number("SELECT COUNT(*) " + watching) > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  early->commit();
  const std::int64_t b4 = add(*store, "4");
  ASSERT_EQ(server->exec("ALTER DATABASE " + database + " ALLOW_CONNECTIONS true"), "");

  // Back: the missed bills are read, and the ones already told are not told again.
  EXPECT_EQ(hearing.billsWith(b4), (std::vector<std::int64_t>{b1, b2, b3, b4}));
  const std::int64_t b5 = add(*store, "5");
  EXPECT_EQ(hearing.billsWith(b5), (std::vector<std::int64_t>{b1, b2, b3, b4, b5}));
  std::lock_guard lock(hearing.mutex);
  EXPECT_EQ(hearing.phones, (std::vector<std::pair<std::int64_t, clock::Millis>>{{a, 1234}}));
}
