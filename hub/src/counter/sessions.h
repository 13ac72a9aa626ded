#pragma once
// The counters' connections and the accounts they are logged in to, kept in step in one place: a
// connection's session, each account's logged-in sessions with the password hash they logged in with and
// what they were told of its phone, and the addresses counters are logged in from. On the event loop.
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/clock.h"
#include "net/edge.h"

namespace hub::counter {

class Sessions {
 public:
  using Id = std::uint64_t;

  struct Session {
    std::shared_ptr<net::CounterLink> link;
    std::int64_t accountId = 0;  // 0 until a login succeeds
    std::string account;
    std::string passwordDigest;  // of the password that logged in, for the bill request that follows
    bool busy = false;           // a request is waiting for the store or the password check
    std::deque<std::string> pending;
    bool flooded = false;  // sent more than may wait; logged and counted once
  };
  struct Phone {
    clock::Millis lastReport = 0;
    bool online = false;    // what the account's counters were last told
    bool checking = false;  // its last report is being read from the store
  };
  // An account with at least one logged-in connection.
  struct Account {
    std::vector<Id> sessions;
    std::string loginHash;  // the password hash its connections logged in with
    Phone phone;
  };

  // A new connection's session.
  Id open(std::shared_ptr<net::CounterLink> link);
  // The session of a connection; 0 when it has none (closed already).
  Id idOf(const net::CounterLink& link) const;
  // Forgets the session, logged out of its account first.
  void close(Id id);

  // A session that may have gone meanwhile (its connection closed while a request waited): nullptr then.
  Session* find(Id id);
  // A session that must be there (its connection is the one being served, or an account lists it): a
  // missing one is a defect of ours, thrown as std::logic_error.
  Session& at(Id id);

  // Logs the session in to the account, out of any other first; the account's entry, new or not.
  Account& attach(Id id, std::int64_t accountId, std::string name, std::string passwordDigest,
                  std::string loginHash, clock::Millis now);
  // Logs the session out of its account, if it is logged in; the account goes with its last session.
  // Whether it was logged in.
  bool detach(Session& session, clock::Millis now);

  // An account with logged-in connections, or nullptr.
  Account* account(std::int64_t accountId);
  const std::unordered_map<std::int64_t, Account>& accounts() const { return accounts_; }
  std::unordered_map<std::int64_t, Account>& accounts() { return accounts_; }
  const std::unordered_map<Id, Session>& all() const { return sessions_; }

  // Whether a counter is logged in from the address, or was within the last ten minutes.
  bool loggedInFrom(const std::string& address, clock::Millis now) const;
  // Forgets the addresses whose counters left more than ten minutes ago.
  void sweep(clock::Millis now);

 private:
  Id nextId_ = 1;
  std::unordered_map<const net::CounterLink*, Id> ids_;
  std::unordered_map<Id, Session> sessions_;
  std::unordered_map<std::int64_t, Account> accounts_;
  // The addresses counters are logged in from (how many at each), and when the last one left each other.
  std::unordered_map<std::string, int> loggedInAddresses_;
  std::unordered_map<std::string, clock::Millis> leftAddresses_;
};

}  // namespace hub::counter
