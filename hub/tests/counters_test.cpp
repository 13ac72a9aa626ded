// The counters' side of the hub as the event loop runs it: a fake connection where the network edge would
// be, the real store thread over an SQLite file, the real password checks.
#include "counter/counters.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>

#include "accounts/secrets.h"

using namespace hub;
namespace protocol = counter::protocol;

namespace {

// The event loop, run by the test: what the store thread and the hashing pool hand back waits here until
// the test runs it.
struct Loop {
  std::mutex mutex;
  std::condition_variable posted;
  std::deque<std::function<void()>> work;

  counter::Counters::Post post() {
    return [this](std::function<void()> f) {
      {
        std::lock_guard lock(mutex);
        work.push_back(std::move(f));
      }
      posted.notify_all();
    };
  }
  // Runs what is handed back until `done` holds; false when it does not within a minute.
  bool runUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!done()) {
      std::unique_lock lock(mutex);
      if (!posted.wait_until(lock, deadline, [this] { return !work.empty(); })) return false;
      auto next = std::move(work.front());
      work.pop_front();
      lock.unlock();
      next();
    }
    return true;
  }
};

// A counter's connection as the network edge would hold it.
struct FakeLink final : net::CounterLink {
  explicit FakeLink(std::string address) : from(std::move(address)) {}
  void send(std::string text, std::function<void()> written) override {
    sent.push_back(std::move(text));
    if (written) written();
  }
  void close(net::CloseCode code) override {
    if (!closedWith) closedWith = code;
  }
  const std::string& address() const override { return from; }
  void loggedIn() override { isLoggedIn = true; }
  void checking(bool) override {}

  std::string from;
  std::vector<std::string> sent;
  std::optional<net::CloseCode> closedWith;
  bool isLoggedIn = false;
};

constexpr std::string_view kMachine = "4F0B5785AEDBE13EE2B8396DCD9FACA8";

std::string request(std::string_view kind, std::string_view name, std::string_view password,
                    std::string_view machine = kMachine) {
  const std::string sep(protocol::kSeparator);
  return std::string(kind) + sep + std::string(name) + sep + std::string(password) + sep + std::string(machine);
}

// A directory of the test's own, gone with everything in it once the store's connections are closed.
struct Scratch {
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kassaro-counters-XXXXXX").string();
    dir = mkdtemp(pattern.data());
  }
  ~Scratch() { std::filesystem::remove_all(dir); }
  std::filesystem::path dir;
};

class CountersOnTheLoop : public ::testing::Test {
 protected:

  auto inTransaction(const auto& work) {
    side->begin();
    auto result = work();
    side->commit();
    return result;
  }
  // An account as the operator's command line adds it: its id.
  std::int64_t addAccount(const std::string& name, const std::string& password) {
    store::Account account;
    account.name = name;
    account.passwordHash = accounts::hashPassword(password);
    account.createdAt = clock::now();
    return inTransaction([&] {
      side->addAccount(account);
      return side->accountByName(name)->id;
    });
  }
  std::shared_ptr<FakeLink> connect(std::string address = "203.0.113.5") {
    auto link = std::make_shared<FakeLink>(std::move(address));
    counters.opened(link);
    return link;
  }
  void logIn(const std::shared_ptr<FakeLink>& link, const std::string& name, const std::string& password) {
    counters.text(link, request(protocol::kLogin, name, password));
    ASSERT_TRUE(loop.runUntil([&] { return link->sent.size() >= 3; }));
    ASSERT_EQ(link->sent[0], protocol::answer(protocol::kLoginAnswer, protocol::kLoginOk));
  }
  // Until the store thread has finished everything queued before now, and the loop has heard of it.
  void settle() {
    bool done = false;
    executor.run([](store::Store&) {}, [&](const store::Outcome&) { done = true; });
    ASSERT_TRUE(loop.runUntil([&] { return done; }));
  }

  const clock::Zone zone = *clock::zoneNamed("Asia/Shanghai");
  Scratch scratch;
  const std::filesystem::path file = scratch.dir / "hub.sqlite3";
  std::unique_ptr<store::Store> side = store::openSqlite(file);  // the operator's own connection
  Loop loop;
  metrics::Metrics metrics;
  WorkPool hashing{1};
  store::Executor executor{store::openSqlite(file), loop.post()};
  accounts::Logins logins{{}, executor, hashing, loop.post(), metrics};
  counter::Counters counters{{.zone = zone}, {}, executor, logins, hashing, loop.post(), metrics};
};

}  // namespace

TEST_F(CountersOnTheLoop, TheBillRequestBehindALoginReusesItsPasswordCheckAndAnotherPasswordIsCheckedAgain) {
  const std::int64_t a = addAccount("shop0001", "secret01");
  const clock::Millis now = clock::now();
  store::NewBill bill;
  bill.accountId = a;
  bill.fen = 117;
  bill.time = bill.receivedAt = now;
  inTransaction([&] { return side->addBill(bill, 60'000); });
  auto link = connect();
  counters.text(link, request(protocol::kLogin, "shop0001", "secret01"));
  counters.text(link, request(protocol::kBills, "shop0001", "secret01"));
  ASSERT_TRUE(loop.runUntil([&] { return link->sent.size() >= 4; }));
  EXPECT_TRUE(link->isLoggedIn);
  EXPECT_EQ(link->sent[0], protocol::answer(protocol::kLoginAnswer, protocol::kLoginOk));
  EXPECT_EQ(link->sent[2], protocol::kPhoneOffline);  // its phone never reported
  const auto [from, to] = clock::dayOf(zone, now);
  EXPECT_EQ(link->sent[3], protocol::billHistory(side->bills(a, from, to), zone));
  EXPECT_EQ(metrics.loginsOk.load(), 1u);

  // A bill request with another password is a login of its own, refused without an answer.
  counters.text(link, request(protocol::kBills, "shop0001", "secret02"));
  ASSERT_TRUE(loop.runUntil([&] { return metrics.loginsFailed.load() == 1; }));
  EXPECT_EQ(link->sent.size(), 4u);

  // A wrong password at login is answered, and logs nothing in.
  auto stranger = connect("198.51.100.7");
  counters.text(stranger, request(protocol::kLogin, "shop0001", "secret02"));
  ASSERT_TRUE(loop.runUntil([&] { return !stranger->sent.empty(); }));
  EXPECT_EQ(stranger->sent, std::vector{protocol::answer(protocol::kLoginAnswer, protocol::kLoginFailed)});
  EXPECT_FALSE(stranger->isLoggedIn);
  EXPECT_EQ(metrics.countersLoggedIn.load(), 1);
}

TEST_F(CountersOnTheLoop, TextsPastWhatMayWaitBeforeLoginAreIgnoredAndCountedOnce) {
  addAccount("shop0001", "secret01");
  auto link = connect();
  counters.text(link, request(protocol::kLogin, "shop0001", "secret01"));
  for (int i = 0; i < 6; ++i) counters.text(link, request(protocol::kBills, "shop0001", "secret01"));
  EXPECT_EQ(metrics.floods.load(), 1u);
  ASSERT_TRUE(loop.runUntil([&] { return link->sent.size() >= 5; }));
  settle();
  // The login, and the two bill requests that could wait behind it.
  EXPECT_EQ(std::ranges::count_if(link->sent, [](const std::string& t) { return t.starts_with(protocol::kBillHistory); }),
            2);
  EXPECT_EQ(link->sent.size(), 5u);
  EXPECT_EQ(metrics.floods.load(), 1u);
}

TEST_F(CountersOnTheLoop, LoggingOutClosesTheAccountsCountersUnlessTheyLoggedInWithAnotherPassword) {
  const std::int64_t a = addAccount("shop0001", "secret01");
  auto first = connect("203.0.113.5"), second = connect("203.0.113.6");
  logIn(first, "shop0001", "secret01");
  logIn(second, "shop0001", "secret01");
  const auto loggedIn = counters.loggedInAccounts();
  ASSERT_EQ(loggedIn.size(), 1u);
  EXPECT_EQ(loggedIn[0].first, a);

  counters.logOut(a, "$argon2id$another");
  EXPECT_FALSE(first->closedWith || second->closedWith);
  counters.logOut(a, loggedIn[0].second);
  EXPECT_EQ(first->closedWith, net::CloseCode::policy);
  EXPECT_EQ(second->closedWith, net::CloseCode::policy);

  counters.closed(first);
  counters.closed(second);
  EXPECT_TRUE(counters.loggedInAccounts().empty());
  EXPECT_EQ(metrics.countersLoggedIn.load(), 0);
  EXPECT_EQ(metrics.counters.load(), 0);
  // Their addresses are still served as theirs for ten minutes.
  const clock::Millis now = clock::now();
  EXPECT_TRUE(counters.loggedInFrom("203.0.113.6", now));
  EXPECT_FALSE(counters.loggedInFrom("203.0.113.6", now + 601'000));
  EXPECT_FALSE(counters.loggedInFrom("198.51.100.7", now));
  // A closed connection hears nothing more, whatever it sent.
  const size_t heard = first->sent.size();
  store::Bill bill;
  bill.number = 1;
  bill.accountId = a;
  counters.paymentStored(bill);
  counters.text(first, request(protocol::kLogin, "shop0001", "secret01"));
  settle();
  EXPECT_EQ(first->sent.size(), heard);
}

TEST_F(CountersOnTheLoop, APhoneGoesOfflineOnlyWhenTheStoreHasNoNewerReportEither) {
  const std::int64_t a = addAccount("shop0001", "secret01");
  auto link = connect();
  logIn(link, "shop0001", "secret01");
  EXPECT_EQ(link->sent.back(), protocol::kPhoneOffline);
  const clock::Millis old = clock::now() - 200'000;  // longer ago than offlineAfter
  counters.phoneReported(a, old);
  EXPECT_EQ(link->sent.back(), protocol::kPhoneOnline);

  counters.tick(clock::now());
  ASSERT_TRUE(loop.runUntil([&] { return link->sent.back() == protocol::kPhoneOffline; }));

  // Another node took a report since: the store's time keeps it online.
  counters.phoneReported(a, old);
  EXPECT_EQ(link->sent.back(), protocol::kPhoneOnline);
  inTransaction([&] {
    side->setPhoneSeen(a, clock::now());
    return 0;
  });
  const size_t heard = link->sent.size();
  counters.tick(clock::now());
  settle();
  EXPECT_EQ(link->sent.size(), heard);
  // A counter logging in now is told so too.
  auto second = connect("203.0.113.6");
  logIn(second, "shop0001", "secret01");
  EXPECT_EQ(second->sent[2], protocol::kPhoneOnline);
}
