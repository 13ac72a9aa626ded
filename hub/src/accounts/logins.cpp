#include "accounts/logins.h"

#include <algorithm>

#include "accounts/secrets.h"
#include "common/address.h"
#include "common/text.h"

namespace hub::accounts {
namespace {

// Sources remembered per account: a shop's counters and browsers, and then some.
constexpr std::size_t kKnownPerAccount = 64;

bool plausible(const std::string& text, std::size_t most) {
  return !text.empty() && text.size() <= most && text::validUtf8(text) && !text::hasControl(text);
}

std::string pairKey(const std::string& group, const std::string& name) { return group + "\n" + name; }

}  // namespace

Logins::Logins(LoginLimits limits, store::Executor& store, WorkPool& hashing, Post toLoop, metrics::Metrics& metrics)
    : limits_(limits),
      store_(store),
      hashing_(hashing),
      toLoop_(std::move(toLoop)),
      metrics_(metrics),
      pairs_(limits.failures, limits.window),
      accounts_(limits.failures, limits.window),
      dummyHash_(hashPassword("no such account")) {}

void Logins::count(Login::Result result) {
  using Result = Login::Result;
  switch (result) {
    case Result::ok: ++metrics_.loginsOk; break;
    case Result::wrong: ++metrics_.loginsFailed; break;
    case Result::throttled: ++metrics_.loginsRefused; break;
    case Result::busy: ++metrics_.loginsBusy; break;
    case Result::unavailable: break;
  }
}

bool Logins::known(const Attempt& a, clock::Millis now) const {
  const auto it = known_.find(a.name);
  if (it == known_.end()) return false;
  auto recent = [&](const std::string& source) {
    const auto seen = it->second.find(source);
    return seen != it->second.end() && now - seen->second < limits_.knownFor;
  };
  return recent("a:" + a.group) || (!a.machineId.empty() && recent("m:" + a.machineId));
}

void Logins::succeeded(const Attempt& a, clock::Millis now) {
  auto& sources = known_[a.name];
  sources["a:" + a.group] = now;
  if (!a.machineId.empty()) sources["m:" + a.machineId] = now;
  while (sources.size() > kKnownPerAccount)
    sources.erase(std::ranges::min_element(sources, {}, [](const auto& s) { return s.second; }));
}

void Logins::check(const std::string& name, const std::string& password, const std::string& address,
                   const std::string& machineId, std::function<void(Login)> done) {
  auto answer = [this, &done](Login::Result result, const char* reason) {
    count(result);
    toLoop_([done = std::move(done), result, reason] { done({.result = result, .account = {}, .reason = reason}); });
  };
  // Nothing an account can have: refused before it costs a key in the windows, a store read or a hash.
  if (!plausible(name, kMaxNameBytes) || !plausible(password, kMaxPasswordBytes))
    return answer(Login::Result::wrong, "malformed account or password");
  const std::string group = address::groupOf(address);
  const auto waiting = waiting_.find(group);
  if (waitingAll_ >= limits_.queue || (waiting != waiting_.end() && waiting->second >= limits_.queuePerAddress))
    return answer(Login::Result::busy, "too many logins waiting");
  ++waiting_[group];
  ++waitingAll_;
  decide(std::make_shared<Attempt>(Attempt{name, password, address, group, machineId, std::move(done)}));
}

void Logins::decide(const AttemptPtr& a) {
  const clock::Millis now = clock::now();
  const std::string pair = pairKey(a->group, a->name);
  // Past a limit that attempts under way help fill, an attempt waits for their outcome rather than be
  // refused: guesses sent together are refused once theirs fail, a shop's counters logging in together
  // go on once theirs succeed.
  if (pairs_.blocked(pair, now)) {
    if (inFlight_.contains(pair)) return parked_[a->name].push_back(a);
    return finish(a, {.result = Login::Result::throttled, .account = {}, .reason = "too many failures from this address"});
  }
  const bool stranger = accounts_.blocked(a->name, now) && !known(*a, now);
  if (stranger && inFlight_.contains(a->name)) return parked_[a->name].push_back(a);
  if (!stranger) start(a);
  read(a, stranger);
}

// The attempt counts as failed from now; only a success takes it back.
void Logins::start(const AttemptPtr& a) {
  a->counted = clock::now();
  const std::string pair = pairKey(a->group, a->name);
  pairs_.failed(pair, a->counted);
  accounts_.failed(a->name, a->counted);
  ++inFlight_[pair];
  ++inFlight_[a->name];
}

void Logins::settle(const AttemptPtr& a, bool takeBack) {
  if (a->counted == 0) return;
  const std::string pair = pairKey(a->group, a->name);
  if (takeBack) {
    pairs_.forgive(pair, a->counted);
    accounts_.forgive(a->name, a->counted);
  }
  for (const std::string& key : {pair, a->name})
    if (const auto it = inFlight_.find(key); it != inFlight_.end() && --it->second == 0) inFlight_.erase(it);
  a->counted = 0;
  // The parked attempts of the account are decided again, each in a turn of the loop of its own.
  if (const auto it = parked_.find(a->name); it != parked_.end()) {
    std::vector<AttemptPtr> parked = std::move(it->second);
    parked_.erase(it);
    for (AttemptPtr& p : parked) toLoop_([this, p = std::move(p)] { decide(p); });
  }
}

void Logins::finish(const AttemptPtr& a, Login login) {
  if (const auto it = waiting_.find(a->group); it != waiting_.end() && --it->second == 0) waiting_.erase(it);
  --waitingAll_;
  count(login.result);
  a->done(std::move(login));
}

void Logins::read(const AttemptPtr& a, bool stranger) {
  struct Found {
    std::optional<store::Account> account;
    bool knownCounter = false;
  };
  auto found = std::make_shared<Found>();
  const bool queued = store_.offer(
      a->group,
      [found, name = a->name, machineId = a->machineId, address = a->address, stranger,
       since = clock::now() - limits_.knownFor](store::Store& st) {
        found->account = st.accountByName(name);
        // A counter of the account's own, seen by another node or before this one started.
        if (stranger && found->account) found->knownCounter = st.counterKnown(found->account->id, machineId, address, since);
      },
      [this, a, found, stranger](const store::Outcome& job) {
        if (!job.committed()) {
          settle(a, true);
          return finish(a, {.result = Login::Result::unavailable, .account = {}, .reason = "store not available",
                            .stored = job});
        }
        if (stranger) {
          if (!found->knownCounter)
            return finish(a, {.result = Login::Result::throttled, .account = {}, .reason = "too many failures for the account"});
          start(a);
        }
        Login login;
        if (found->account) login.account = *found->account;
        const std::string hash = found->account ? found->account->passwordHash : dummyHash_;
        // The pool's thread holds its own copy of the way back: it may finish after the loop has ended.
        hashing_.run([this, a, hash, post = toLoop_, login = std::move(login)]() mutable {
          const bool matches = checkPassword(hash, a->password);
          post([this, a, matches, login = std::move(login)]() mutable {
            const bool ok = matches && login.account.id != 0 && !login.account.disabled;
            settle(a, ok);
            if (ok) {
              login.result = Login::Result::ok;
              succeeded(*a, clock::now());
            } else {
              login.reason = login.account.id == 0    ? "no such account"
                             : login.account.disabled ? "account disabled"
                                                      : "wrong password";
            }
            finish(a, std::move(login));
          });
        });
      });
  if (!queued) {
    settle(a, true);
    toLoop_([this, a] { finish(a, {.result = Login::Result::busy, .account = {}, .reason = "store busy"}); });
  }
}

void Logins::tick(clock::Millis now) {
  if (now - lastSweep_ < 60'000) return;
  pairs_.sweep(now);
  accounts_.sweep(now);
  for (auto it = known_.begin(); it != known_.end();) {
    std::erase_if(it->second, [&](const auto& s) { return now - s.second >= limits_.knownFor; });
    it = it->second.empty() ? known_.erase(it) : std::next(it);
  }
  lastSweep_ = now;
}

}  // namespace hub::accounts
