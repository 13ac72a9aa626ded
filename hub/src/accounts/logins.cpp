#include "accounts/logins.h"

#include "accounts/secrets.h"

namespace hub::accounts {

Logins::Logins(int failures, clock::Millis window, store::Executor& store, WorkPool& hashing, Post toLoop)
    : store_(store),
      hashing_(hashing),
      toLoop_(std::move(toLoop)),
      failures_(failures, window),
      dummyHash_(hashPassword("no such account")) {}

void Logins::check(const std::string& name, const std::string& password, const std::string& address,
                   std::function<void(Login)> done) {
  const std::string byAccount = "account:" + name, byAddress = "address:" + address;
  const clock::Millis now = clock::now();
  if (failures_.blocked(byAccount, now) || failures_.blocked(byAddress, now))
    return toLoop_(
        [done] { done({.result = Login::Result::throttled, .account = {}, .reason = "too many failures"}); });
  auto found = std::make_shared<std::optional<store::Account>>();
  store_.run([found, name](store::Store& st) { *found = st.accountByName(name); },
             [=, this](bool committed) {
               if (!committed)
                 return done({.result = Login::Result::unavailable, .account = {}, .reason = "store not available"});
               Login login;
               if (*found) login.account = **found;
               const std::string hash = *found ? (*found)->passwordHash : dummyHash_;
               // The pool's thread holds its own copy of the way back: it may finish after the loop has ended.
               hashing_.run([=, this, post = toLoop_, login = std::move(login)]() mutable {
                 const bool matches = checkPassword(hash, password);
                 post([=, this, login = std::move(login)]() mutable {
                   if (matches && login.account.id != 0 && !login.account.disabled) {
                     login.result = Login::Result::ok;
                   } else {
                     const clock::Millis at = clock::now();
                     failures_.failed(byAccount, at);
                     failures_.failed(byAddress, at);
                     login.reason = login.account.id == 0    ? "no such account"
                                    : login.account.disabled ? "account disabled"
                                                             : "wrong password";
                   }
                   done(std::move(login));
                 });
               });
             });
}

void Logins::tick(clock::Millis now) {
  if (now - lastSweep_ < 60'000) return;
  failures_.sweep(now);
  lastSweep_ = now;
}

}  // namespace hub::accounts
