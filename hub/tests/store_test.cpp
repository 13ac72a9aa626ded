#include "store/store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <latch>
#include <map>
#include <mutex>
#include <ranges>
#include <tuple>

#include "store/executor.h"
#include "store/schema.h"

using namespace hub;
using namespace hub::store;

namespace {

constexpr clock::Millis kWindow = 60'000;

// A bare connection to the store's file, as another process would hold: to build old stores by hand and
// to change the file behind the store's back.
struct Raw {
  sqlite3* db = nullptr;
  explicit Raw(const std::filesystem::path& file) {
    sqlite3_open(file.c_str(), &db);
    sqlite3_busy_timeout(db, 5000);
  }
  ~Raw() { sqlite3_close(db); }
  int exec(const std::string& sql) { return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr); }
  std::int64_t number(const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
    const std::int64_t n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
    sqlite3_finalize(s);
    return n;
  }
  // The store's first step only, as the first program to use the file left it.
  void makeFirstStep() {
    schema::bringUpToDate({.dialect = schema::kSqlite,
                           .exec = [this](const std::string& sql) { ASSERT_EQ(exec(sql), SQLITE_OK) << sql; },
                           .number = [this](const std::string& sql) { return number(sql); }},
                          schema::steps().first(1));
  }
};

class StoreTest : public ::testing::Test {
 protected:
  StoreTest() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kassaro-store-XXXXXX").string();
    dir = mkdtemp(pattern.data());
    file = dir / "hub.db";
  }
  ~StoreTest() override { std::filesystem::remove_all(dir); }

  std::filesystem::path dir, file;
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

TEST_F(StoreTest, AnOlderStoreIsBroughtUpToDateWithItsDataAndANewerOneIsRefusedUntouched) {
  Raw(file).makeFirstStep();
  ASSERT_EQ(Raw(file).exec("INSERT INTO accounts (name, password_hash, intake_key, disabled, created_at) "
                           "VALUES ('老王', 'h', '', 0, 7);"
                           "INSERT INTO bills (account_id, channel, fen, paid_at, received_at, source_id, "
                           "dedupe_key, text) VALUES (1, 1, 117, 10, 11, 's', '', '微信支付收款1.17元')"),
            SQLITE_OK);
  auto store = openSqlite(file);
  const auto account = store->accountByName("老王");
  ASSERT_TRUE(account);
  EXPECT_EQ(account->createdAt, 7);
  EXPECT_EQ(account->phoneSeenAt, 0);  // the column a later step added
  EXPECT_EQ(allBills(*store, account->id).at(0).text, "微信支付收款1.17元");
  store->counterSeen(account->id, "M1", "10.0.0.1", 20);
  EXPECT_EQ(store->countersSeen(account->id).size(), 1u);
  store.reset();
  openSqlite(file);  // up to date already: nothing applied twice
  EXPECT_EQ(Raw(file).number("SELECT COUNT(*) FROM schema_version"), std::ssize(schema::steps()));

  // A store at the first step whose version says a later program has been at it.
  const auto newer = dir / "newer.db";
  Raw(newer).makeFirstStep();
  Raw(newer).exec("INSERT INTO schema_version VALUES (" + std::to_string(schema::steps().back().version + 1) +
                  ")");
  try {
    openSqlite(newer);
    ADD_FAILURE() << "a newer store was opened";
  } catch (const Unavailable& e) {
    EXPECT_NE(std::string(e.what()).find("newer"), std::string::npos) << e.what();
  }
  EXPECT_EQ(Raw(newer).number("SELECT COUNT(*) FROM sqlite_master WHERE name = 'counters_seen'"), 0);
  EXPECT_THROW(openSqlite(dir / "missing" / "hub.db"), Unavailable);
}

TEST_F(StoreTest, AccountsAreFoundByNameAndKeyAndOnlyOperatorChangesGrowTheRevision) {
  auto store = openSqlite(file);
  auto commandLine = openSqlite(file);
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

TEST_F(StoreTest, DuplicatesAreFoundBySourceIdAndByDedupeKeyWithinTheWindowOfOneAccount) {
  auto store = openSqlite(file);
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

  // The file itself refuses a second bill with the same source id, whoever writes it.
  const std::string insert =
      "INSERT INTO bills (account_id, channel, fen, paid_at, received_at, source_id, "
      "dedupe_key, text) VALUES (" +
      std::to_string(a) + ", 1, 1, 0, 0, ";
  EXPECT_EQ(Raw(file).exec(insert + "'n-1', '', '')"), SQLITE_CONSTRAINT);
  EXPECT_EQ(Raw(file).exec(insert + "'', '', '')"), SQLITE_OK);
}

TEST_F(StoreTest, BillsOfARangeComeOldestFirstByTimeThenNumberAndOnlyTheAccounts) {
  auto store = openSqlite(file);
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

TEST_F(StoreTest, SumsPerChannelOfARangeAndPageSessionsUntilTheyExpireOrThePasswordChanges) {
  auto store = openSqlite(file);
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
  EXPECT_EQ(Raw(file).number("SELECT COUNT(*) FROM page_sessions WHERE digest = 'd1'"), 0);
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
  std::map<int, bool> done;

  std::function<void(bool)> of(int job) {
    return [this, job](bool committed) {
      std::lock_guard lock(mutex);
      done[job] = committed;
      changed.notify_all();
    };
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
  Gate(Executor& executor, std::function<void(bool)> done) {
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

TEST_F(StoreTest, ABurstIsOneCommitAndWhatIsQueuedIsFinishedBeforeTheExecutorEnds) {
  const std::int64_t a = addShop(*openSqlite(file), "A");
  Outcomes outcomes;
  constexpr int kBurst = 200;
  {
    Executor executor(openSqlite(file), onTheStoreThread());
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
  EXPECT_EQ(allBills(*openSqlite(file), a).size(), kBurst + 20u);
}

TEST_F(StoreTest, AJobThatThrowsIsUndoneAloneAndOneThatLosesTheTransactionTakesTheBatchWithIt) {
  const std::int64_t a = addShop(*openSqlite(file), "A");
  Outcomes outcomes;
  bool ranAfterLoss = false;
  {
    Executor executor(openSqlite(file), onTheStoreThread());
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
  EXPECT_EQ(sourceIds(allBills(*openSqlite(file), a)),
            (std::vector<std::string>{"kept 1", "kept 2", "after"}));
}

TEST_F(StoreTest, AFullStoreFailsItsJobsUntilRoomIsMadeAndCommittedBillsAreSeenByTheCommandLine) {
  const std::int64_t a = addShop(*openSqlite(file), "A");
  const std::int64_t pages = Raw(file).number("PRAGMA page_count") + 8;
  const std::string aPage(3000, 'x');
  Outcomes outcomes;
  auto commandLine = openSqlite(file);
  {
    Executor executor(openSqliteCapped(file, pages), onTheStoreThread());
    int job = 0;
    for (; job < 50; ++job) {
      executor.run(addPayment(a, std::to_string(job), aPage), outcomes.of(job));
      if (!outcomes.waitFor(job + 1)[job]) break;
    }
    ASSERT_LT(job, 50) << "the store never filled up";
    EXPECT_EQ(allBills(*commandLine, a).size(), static_cast<size_t>(job));

    ASSERT_EQ(Raw(file).exec("DELETE FROM bills"), SQLITE_OK);  // the operator makes room
    std::vector<std::string> seen;
    executor.run(addPayment(a, "after", aPage), [&, done = outcomes.of(++job)](bool committed) {
      seen = sourceIds(allBills(*commandLine, a));  // by the time anyone is told, the bill is in the file
      done(committed);
    });
    EXPECT_TRUE(outcomes.waitFor(job + 1)[job]);
    EXPECT_EQ(seen, std::vector<std::string>{"after"});
  }
  // The reason, straight from the store, is one line.
  auto store = openSqliteCapped(file, pages);
  try {
    for (int i = 0; i < 50; ++i) addPayment(a, "", aPage)(*store);
    ADD_FAILURE() << "the store never filled up";
  } catch (const Unavailable& e) {
    EXPECT_EQ(std::string(e.what()), "store " + file.string() + ": database or disk is full");
  }
}
