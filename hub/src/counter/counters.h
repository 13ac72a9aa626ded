#pragma once
// The counters' side of the hub, on the event loop: each connection's requests (login, bill request,
// registration) in the order they came, the accounts' logged-in connections, pushing payments to them,
// and telling them whether the account's phone is still reporting.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "accounts/logins.h"
#include "accounts/throttle.h"
#include "common/clock.h"
#include "common/metrics.h"
#include "common/pool.h"
#include "counter/protocol.h"
#include "counter/sessions.h"
#include "net/edge.h"
#include "store/executor.h"

namespace hub::counter {

struct Settings {
  clock::Zone zone;
  bool registrationOpen = true;
  clock::Millis offlineAfter = 180'000;
  clock::Millis loginWindow = 300'000;  // registrations from one address are counted over it
  std::int64_t historyBills = 5000;     // the newest bills of the day a counter is sent, at most
};

class Counters {
 public:
  using Post = std::function<void(std::function<void()>)>;
  Counters(Settings settings, store::ServerInfo info, store::Executor& store, accounts::Logins& logins,
           WorkPool& hashing, Post toLoop, metrics::Metrics& metrics);

  // From the network edge.
  void opened(const std::shared_ptr<net::CounterLink>& link);
  void text(const std::shared_ptr<net::CounterLink>& link, std::string text);
  void closed(const std::shared_ptr<net::CounterLink>& link);

  // From the phone side: a payment committed to the store, and a phone's accepted request.
  void paymentStored(const store::Bill& bill);
  void phoneReported(std::int64_t accountId, clock::Millis at);

  // From the operator (read from the store when its revision moves).
  void serverInfoChanged(const store::ServerInfo& info);
  // The logged-in accounts, with the password hash each logged in with, to compare with the store's.
  std::vector<std::pair<std::int64_t, std::string>> loggedInAccounts() const;
  // Closes the connections of an account that was disabled or got a new password, unless they logged in
  // with another password hash meanwhile (the store was read before they did).
  void logOut(std::int64_t accountId, const std::string& loginHash);
  // Grows with every login that attaches a connection to an account: a reader of loggedInAccounts() can
  // tell whether an account logged in since it looked.
  std::uint64_t attaches() const { return attaches_; }

  // Whether a counter is logged in from the address, or was within the last ten minutes.
  bool loggedInFrom(const std::string& address, clock::Millis now) const;

  // Every second: phones that stopped reporting, and the registration window's upkeep.
  void tick(clock::Millis now);
  void closeAll(net::CloseCode code);

 private:
  using SessionId = Sessions::Id;
  using Session = Sessions::Session;
  using Phone = Sessions::Phone;

  void handle(SessionId id, const std::string& text);
  void finished(SessionId id);
  void login(SessionId id, const protocol::Request& request, bool attachAfter);
  void attach(SessionId id, const store::Account& account, std::string_view password, std::string_view machineId);
  bool offer(SessionId id, store::Executor::Work work, store::Executor::Done done);
  void detach(Session& session);
  void sendAll(const std::vector<SessionId>& ids, const std::string& text);
  void sendBills(SessionId id, std::int64_t accountId);
  void registration(SessionId id, const protocol::Request& request);
  void storeFailed(SessionId id, const store::Outcome& job);
  void counted(const store::Outcome& job);
  void toAccount(std::int64_t accountId, const std::string& text);
  bool phoneOnline(const Phone& phone, clock::Millis now) const;
  void phonesQuiet(std::vector<std::int64_t> accounts);

  Settings settings_;
  store::ServerInfo info_;
  store::Executor& store_;
  accounts::Logins& logins_;
  WorkPool& hashing_;
  Post toLoop_;
  metrics::Metrics& metrics_;
  accounts::FailureWindow registrations_;
  Sessions sessions_;
  clock::Millis lastSweep_ = 0;
  std::uint64_t attaches_ = 0;
};

}  // namespace hub::counter
