#pragma once
// The password check that the counters' login and the merchant page's sign-in share, on the event loop:
// the failed-login windows, the account read from the store, and the Argon2id check on the hashing pool,
// so that neither side can be guessed at faster than the other.
//
// An attempt counts as failed from the moment it starts and is taken back only when it succeeds, so that
// guesses sent together are refused past the limit without being checked. Two windows hold:
//   - per account and address: past the limit, that address gets no more checks for the account;
//   - per account: past the limit, only the account's own counters and browsers get checks (an address
//     or machine id that logged in to it successfully within `knownFor`), everyone else is refused.
// An account's owner is never locked out by others' guesses, and the guesses stay at the limit per window.
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "accounts/throttle.h"
#include "common/clock.h"
#include "common/metrics.h"
#include "common/pool.h"
#include "store/executor.h"

namespace hub::accounts {

struct Login {
  enum class Result { ok, wrong, throttled, busy, unavailable };
  Result result = Result::wrong;
  store::Account account;   // id 0 when there is no such account; the hash as it was read for the check
  const char* reason = "";  // for the log: "no such account", "wrong password", ...
  store::Outcome stored = {};  // unavailable: why the store gave no answer
};

struct LoginLimits {
  int failures = 5;
  clock::Millis window = 300'000;
  clock::Millis knownFor = 30LL * 24 * 3600 * 1000;  // how long a successful login makes a source known
  std::size_t queue = 64;           // checks waiting for the store or the hashing pool, in all
  std::size_t queuePerAddress = 8;  // of them, from one address group
};

// The longest account name and password a login may carry; longer ones cannot belong to any account.
inline constexpr std::size_t kMaxNameBytes = 64;
inline constexpr std::size_t kMaxPasswordBytes = 1024;

class Logins {
 public:
  using Post = std::function<void(std::function<void()>)>;
  Logins(LoginLimits limits, store::Executor& store, WorkPool& hashing, Post toLoop, metrics::Metrics& metrics);

  // Checks the password of the account for a request from `address` (and, for a counter, its machine id;
  // empty for a browser). `done` runs later on the loop, exactly once, never inside this call. A name or
  // password that is empty, too long, not UTF-8 or holds control characters is wrong without a check.
  // `busy`: too many checks are waiting already, from this address or in all.
  void check(const std::string& name, const std::string& password, const std::string& address,
             const std::string& machineId, std::function<void(Login)> done);

  void tick(clock::Millis now);  // forgets failures that have left the window and sources long unseen

 private:
  struct Attempt {
    std::string name, password, address, group, machineId;
    std::function<void(Login)> done;
    clock::Millis counted = 0;  // when it was counted as failed; 0: not (yet)
  };
  using AttemptPtr = std::shared_ptr<Attempt>;

  // Checks, refuses, or parks an attempt until the attempts under way for its account have an outcome.
  void decide(const AttemptPtr& a);
  void start(const AttemptPtr& a);
  void read(const AttemptPtr& a, bool stranger);
  void settle(const AttemptPtr& a, bool takeBack);
  void finish(const AttemptPtr& a, Login login);
  bool known(const Attempt& a, clock::Millis now) const;
  void succeeded(const Attempt& a, clock::Millis now);
  void count(Login::Result result);

  LoginLimits limits_;
  store::Executor& store_;
  WorkPool& hashing_;
  Post toLoop_;
  metrics::Metrics& metrics_;
  FailureWindow pairs_;     // by address group and account name ("GROUP\nNAME")
  FailureWindow accounts_;  // by account name
  std::unordered_map<std::string, int> inFlight_;  // attempts counted and under way, by the same keys
  // Attempts that would be refused past the limit while others under way may still succeed, by account.
  std::unordered_map<std::string, std::vector<AttemptPtr>> parked_;
  // Account name -> its sources ("a:GROUP", "m:MACHINE") -> their last successful login.
  std::unordered_map<std::string, std::map<std::string, clock::Millis>> known_;
  std::unordered_map<std::string, std::size_t> waiting_;  // attempts not yet answered, by address group
  std::size_t waitingAll_ = 0;
  std::string dummyHash_;  // checked for unknown accounts, so that they take as long as known ones
  clock::Millis lastSweep_ = 0;
};

}  // namespace hub::accounts
