#pragma once
// The password check that the counters' login and the merchant page's sign-in share, on the event loop:
// the failed-login windows (per account and per address), the account read from the store, and the
// Argon2id check on the hashing pool, so that neither side can be guessed at faster than the other.
#include <functional>
#include <string>

#include "accounts/throttle.h"
#include "common/clock.h"
#include "common/pool.h"
#include "store/executor.h"

namespace hub::accounts {

struct Login {
  enum class Result { ok, wrong, throttled, unavailable };
  Result result = Result::wrong;
  store::Account account;   // id 0 when there is no such account
  const char* reason = "";  // for the log: "no such account", "wrong password", ...
};

class Logins {
 public:
  using Post = std::function<void(std::function<void()>)>;
  Logins(int failures, clock::Millis window, store::Executor& store, WorkPool& hashing, Post toLoop);

  // Checks the password of the account for a request from `address`. `done` runs later on the loop,
  // exactly once, never inside this call. A wrong password, an unknown or a disabled account counts as a
  // failure for the account and for the address; after `failures` of them within `window` the answer is
  // `throttled` without a check, until the oldest failure leaves the window.
  void check(const std::string& name, const std::string& password, const std::string& address,
             std::function<void(Login)> done);

  void tick(clock::Millis now);  // forgets failures that have left the window

 private:
  store::Executor& store_;
  WorkPool& hashing_;
  Post toLoop_;
  FailureWindow failures_;
  std::string dummyHash_;  // checked for unknown accounts, so that they take as long as known ones
  clock::Millis lastSweep_ = 0;
};

}  // namespace hub::accounts
