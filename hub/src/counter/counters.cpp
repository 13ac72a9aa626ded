#include "counter/counters.h"

#include <algorithm>

#include "accounts/secrets.h"
#include "common/address.h"
#include "common/log.h"
#include "common/text.h"

namespace hub::counter {
namespace {

// Texts a connection may send while one of its requests waits; a counter sends two at a time (login and
// bill request), so more than this is a flood and the excess is ignored. Before a connection has logged
// in, only a login and its bill request may wait.
constexpr size_t kMaxPending = 16;
constexpr size_t kMaxPendingBeforeLogin = 2;
// Registrations from one address within the login window.
constexpr int kRegistrationsPerWindow = 5;
constexpr std::string_view kRegistrationsTooFrequent = "注册过于频繁，请稍后再试！";

}  // namespace

Counters::Counters(Settings settings, store::ServerInfo info, store::Executor& store, accounts::Logins& logins,
                   WorkPool& hashing, Post toLoop, metrics::Metrics& metrics)
    : settings_(settings),
      info_(std::move(info)),
      store_(store),
      logins_(logins),
      hashing_(hashing),
      toLoop_(std::move(toLoop)),
      metrics_(metrics),
      registrations_(kRegistrationsPerWindow, settings.loginWindow) {}

Counters::Session* Counters::find(SessionId id) {
  const auto it = sessions_.find(id);
  return it == sessions_.end() ? nullptr : &it->second;
}

void Counters::opened(const std::shared_ptr<net::CounterLink>& link) {
  const SessionId id = nextId_++;
  ids_[link.get()] = id;
  sessions_[id].link = link;
  ++metrics_.counters;
  log::debug("counter connected", {{"address", link->address()}});
}

void Counters::closed(const std::shared_ptr<net::CounterLink>& link) {
  const auto it = ids_.find(link.get());
  if (it == ids_.end()) return;
  if (Session* s = find(it->second)) {
    detach(*s);
    sessions_.erase(it->second);
  }
  ids_.erase(it);
  --metrics_.counters;
  log::debug("counter disconnected", {{"address", link->address()}});
}

void Counters::text(const std::shared_ptr<net::CounterLink>& link, std::string text) {
  const auto it = ids_.find(link.get());
  if (it == ids_.end()) return;
  Session* s = find(it->second);
  if (s->busy) {
    if (s->pending.size() < (s->accountId ? kMaxPending : kMaxPendingBeforeLogin))
      return s->pending.push_back(std::move(text));
    if (!s->flooded) {  // once a connection
      s->flooded = true;
      ++metrics_.floods;
      log::warn("counter flooding, texts ignored", {{"address", link->address()}});
    }
    return;
  }
  handle(it->second, text);
}

void Counters::handle(SessionId id, const std::string& text) {
  const protocol::Request request = protocol::read(text);
  switch (request.kind) {
    case protocol::Request::Kind::login: return login(id, request, true);
    case protocol::Request::Kind::bills: {
      Session* s = find(id);
      // The bill request a counter sends right behind its login reuses that login's password check.
      if (s->accountId != 0 && s->account == request.account &&
          accounts::sameText(accounts::digest(request.password), s->passwordDigest))
        return sendBills(id, s->accountId);
      return login(id, request, false);
    }
    case protocol::Request::Kind::registration: return registration(id, request);
    case protocol::Request::Kind::unknown:
      log::debug("counter text not understood", {{"address", find(id)->link->address()}});
      return;
  }
}

// A request is done: the texts that came meanwhile are taken in order.
void Counters::finished(SessionId id) {
  Session* s = find(id);
  if (!s) return;
  s->busy = false;
  while (!s->busy && !s->pending.empty()) {
    const std::string next = std::move(s->pending.front());
    s->pending.pop_front();
    handle(id, next);
    s = find(id);
    if (!s) return;
  }
}

// Only the engine's failures count as the store's; the executor has logged a defect as one.
void Counters::counted(const store::Outcome& job) {
  if (job.unavailable()) ++metrics_.storeErrors;
}

void Counters::storeFailed(SessionId id, const store::Outcome& job) {
  counted(job);
  // Without the store the hub can neither log in nor list bills; the counter reconnects by itself.
  if (Session* s = find(id)) s->link->close(net::CloseCode::tryLater);
}

// A request's store work, within the connection's address's share of the store queue; a full queue
// closes the connection as busy (the counter comes back a little later).
bool Counters::offer(SessionId id, store::Executor::Work work, store::Executor::Done done) {
  Session* s = find(id);
  if (store_.offer(address::groupOf(s->link->address()), std::move(work), std::move(done))) return true;
  s->link->close(net::CloseCode::tryLater);
  return false;
}

void Counters::login(SessionId id, const protocol::Request& request, bool attachAfter) {
  Session* s = find(id);
  const std::string address = s->link->address();
  const std::string name = text::clipUtf8(request.account, accounts::kMaxNameBytes);
  auto fail = [this, id, attachAfter, name, address](const char* why, std::string_view answer) {
    log::info(attachAfter ? "login failed" : "bill request refused",
              {{"account", name}, {"address", address}, {"reason", why}});
    if (attachAfter)
      if (Session* s = find(id)) s->link->send(protocol::answer(protocol::kLoginAnswer, answer));
  };
  if (attachAfter && !protocol::validMachineId(request.machineId))
    return fail("machine id is not 32 hex digits", protocol::kBadMachineId);
  s->busy = true;
  s->link->checking(true);
  const std::string password(request.password);
  const std::string machineId(request.machineId);
  logins_.check(std::string(request.account), password, address, machineId, [=, this](const accounts::Login& login) {
    Session* waiting = find(id);
    if (!waiting) return;
    waiting->link->checking(false);
    using Result = accounts::Login::Result;
    if (login.result == Result::unavailable) return storeFailed(id, login.stored);
    if (login.result == Result::busy) return find(id)->link->close(net::CloseCode::tryLater);
    if (login.result != Result::ok) {
      fail(login.reason, protocol::kLoginFailed);
      return finished(id);
    }
    if (!attachAfter) return sendBills(id, login.account.id);
    attach(id, login.account, password, machineId);
    finished(id);
  });
}

void Counters::attach(SessionId id, const store::Account& account, std::string_view password,
                      std::string_view machineId) {
  Session* s = find(id);
  detach(*s);  // a connection that logs in again belongs to the newer account only
  // Counters still logged in with an older password are logged out: the operator changed it for a reason.
  if (auto known = loginHashes_.find(account.id); known != loginHashes_.end() && known->second != account.passwordHash)
    logOut(account.id, known->second);
  s = find(id);
  s->accountId = account.id;
  s->account = account.name;
  s->passwordDigest = accounts::digest(password);
  byAccount_[account.id].push_back(id);
  ++loggedInAddresses_[s->link->address()];
  loginHashes_[account.id] = account.passwordHash;
  ++attaches_;
  const clock::Millis now = clock::now();
  Phone& phone = phones_[account.id];
  const bool first = byAccount_[account.id].size() == 1;
  phone.lastReport = std::max(phone.lastReport, account.phoneSeenAt);
  if (first) phone.online = phoneOnline(phone, now);
  ++metrics_.countersLoggedIn;
  log::info("login", {{"account", account.name}, {"address", s->link->address()}, {"machine", std::string(machineId)}});

  s->link->loggedIn();
  s->link->send(protocol::answer(protocol::kLoginAnswer, protocol::kLoginOk));
  s->link->send(protocol::serverInfo(info_));
  s->link->send(std::string(phone.online ? protocol::kPhoneOnline : protocol::kPhoneOffline));

  // The password was checked against the account as it was read before the check: a new password or a
  // disable committed meanwhile logs this connection out again.
  auto current = std::make_shared<std::optional<store::Account>>();
  store_.run(
      [current, accountId = account.id, machine = std::string(machineId), address = s->link->address(), now](
          store::Store& st) {
        st.counterSeen(accountId, machine, address, now);
        *current = st.accountById(accountId);
      },
      [this, current, accountId = account.id, hash = account.passwordHash](const store::Outcome& job) {
        if (!job.committed()) return counted(job);
        if (!*current || (*current)->disabled || (*current)->passwordHash != hash) logOut(accountId, hash);
      });
}

void Counters::detach(Session& session) {
  if (session.accountId == 0) return;
  auto& ids = byAccount_[session.accountId];
  std::erase(ids, ids_[session.link.get()]);
  if (ids.empty()) {
    byAccount_.erase(session.accountId);
    phones_.erase(session.accountId);
    loginHashes_.erase(session.accountId);
  }
  if (--loggedInAddresses_[session.link->address()] == 0) {
    loggedInAddresses_.erase(session.link->address());
    leftAddresses_[session.link->address()] = clock::now();
  }
  session.accountId = 0;
  session.account.clear();
  session.passwordDigest.clear();
  --metrics_.countersLoggedIn;
}

// How long an address whose counters all left is still served as theirs (a counter that restarts, a
// connection that drops and comes back).
constexpr clock::Millis kAddressRemembered = 600'000;

bool Counters::loggedInFrom(const std::string& address, clock::Millis now) const {
  if (loggedInAddresses_.contains(address)) return true;
  const auto left = leftAddresses_.find(address);
  return left != leftAddresses_.end() && now - left->second <= kAddressRemembered;
}

void Counters::sendBills(SessionId id, std::int64_t accountId) {
  find(id)->busy = true;
  const auto [from, to] = clock::dayOf(settings_.zone, clock::now());
  auto bills = std::make_shared<std::vector<store::Bill>>();
  offer(
      id,
      [=, limit = settings_.historyBills](store::Store& st) {
        *bills = st.latestBills(accountId, from, to, limit, 0, false);
      },
      [=, this](const store::Outcome& job) {
        if (!job.committed()) return storeFailed(id, job);
        Session* s = find(id);
        if (!s) return;
        s->link->send(protocol::billHistory(*bills, settings_.zone));
        finished(id);
      });
}

void Counters::registration(SessionId id, const protocol::Request& request) {
  Session* s = find(id);
  auto reply = [this, id](std::string_view text) {
    if (Session* s = find(id)) s->link->send(protocol::answer(protocol::kRegisterAnswer, text));
  };
  if (!settings_.registrationOpen) return reply(protocol::kRegistrationClosed);
  if (request.pieces > 4 || !protocol::validCredential(request.account) ||
      !protocol::validCredential(request.password))
    return reply(protocol::kBadCredentials);
  const std::string address = s->link->address();
  const clock::Millis now = clock::now();
  if (registrations_.blocked(address, now)) return reply(kRegistrationsTooFrequent);
  registrations_.failed(address, now);

  s->busy = true;
  const std::string name(request.account), password(request.password);
  auto taken = std::make_shared<bool>(false);
  offer(
      id, [=](store::Store& st) { *taken = st.accountByName(name).has_value(); },
      [=, this](const store::Outcome& job) {
        if (!job.committed()) return storeFailed(id, job);
        if (*taken) {
          reply(protocol::kNameTaken);
          return finished(id);
        }
        // The pool's thread holds its own copy of the way back: it may finish after Counters has gone.
        hashing_.run([=, this, post = toLoop_] {
          std::string hash = accounts::hashPassword(password);
          post([=, this, hash = std::move(hash)] {
            auto added = std::make_shared<bool>(false);
            store::Account account;
            account.name = name;
            account.passwordHash = hash;
            account.intakeKey = accounts::newIntakeKey();
            account.createdAt = clock::now();
            store_.run([=](store::Store& st) { *added = st.addAccount(account); },
                       [=, this](const store::Outcome& job) {
                         if (!job.committed()) return storeFailed(id, job);
                         if (*added) {
                           ++metrics_.registrations;
                           log::info("account registered", {{"account", name}, {"address", address}});
                         }
                         reply(*added ? protocol::kRegistered : protocol::kNameTaken);
                         finished(id);
                       });
          });
        });
      });
}

void Counters::toAccount(std::int64_t accountId, const std::string& text) {
  const auto it = byAccount_.find(accountId);
  if (it == byAccount_.end()) return;
  for (SessionId id : it->second) find(id)->link->send(text);
}

void Counters::paymentStored(const store::Bill& bill) {
  const auto it = byAccount_.find(bill.accountId);
  if (it == byAccount_.end()) return;
  const std::string text = protocol::payment(bill.channel, bill.fen);
  const auto start = std::chrono::steady_clock::now();
  for (SessionId id : it->second)
    find(id)->link->send(text, [this, start] {
      metrics_.push.observe(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    });
}

bool Counters::phoneOnline(const Phone& phone, clock::Millis now) const {
  return phone.lastReport > 0 && now - phone.lastReport < settings_.offlineAfter;
}

void Counters::phoneReported(std::int64_t accountId, clock::Millis at) {
  const auto it = phones_.find(accountId);
  if (it == phones_.end()) return;
  Phone& phone = it->second;
  phone.lastReport = std::max(phone.lastReport, at);
  if (!phone.online) {
    phone.online = true;
    toAccount(accountId, std::string(protocol::kPhoneOnline));
  }
}

void Counters::tick(clock::Millis now) {
  std::vector<std::int64_t> quiet;
  for (auto& [accountId, phone] : phones_)
    if (phone.online && !phone.checking && !phoneOnline(phone, now)) {
      phone.checking = true;
      quiet.push_back(accountId);
    }
  if (!quiet.empty()) phonesQuiet(std::move(quiet));
  if (now - lastSweep_ >= 60'000) {
    registrations_.sweep(now);
    std::erase_if(leftAddresses_, [now](const auto& left) { return now - left.second > kAddressRemembered; });
    lastSweep_ = now;
  }
}

// Phones that have not reported here for a while may have reported to another node: their counters hear
// "APP掉线" only when the store's last report is old too.
void Counters::phonesQuiet(std::vector<std::int64_t> accounts) {
  auto seen = std::make_shared<std::vector<clock::Millis>>();
  store_.run(
      [accounts, seen](store::Store& st) {
        for (std::int64_t id : accounts) {
          const auto account = st.accountById(id);
          seen->push_back(account ? account->phoneSeenAt : 0);
        }
      },
      [this, accounts, seen](const store::Outcome& job) {
        const bool committed = job.committed();
        const clock::Millis now = clock::now();
        for (size_t i = 0; i < accounts.size(); ++i) {
          const auto it = phones_.find(accounts[i]);
          if (it == phones_.end()) continue;
          Phone& phone = it->second;
          phone.checking = false;
          if (committed) phone.lastReport = std::max(phone.lastReport, (*seen)[i]);
          if (phone.online && !phoneOnline(phone, now)) {
            phone.online = false;
            toAccount(accounts[i], std::string(protocol::kPhoneOffline));
          }
        }
      });
}

void Counters::serverInfoChanged(const store::ServerInfo& info) {
  if (info.maintenance == info_.maintenance && info.notice == info_.notice &&
      info.clientVersion == info_.clientVersion && info.downloadUrl == info_.downloadUrl)
    return;
  info_ = info;
  const std::string text = protocol::serverInfo(info_);
  for (const auto& [accountId, ids] : byAccount_)
    for (SessionId id : ids) find(id)->link->send(text);
}

std::vector<std::pair<std::int64_t, std::string>> Counters::loggedInAccounts() const {
  return {loginHashes_.begin(), loginHashes_.end()};
}

void Counters::logOut(std::int64_t accountId, const std::string& loginHash) {
  const auto it = byAccount_.find(accountId);
  if (it == byAccount_.end() || loginHashes_[accountId] != loginHash) return;
  for (SessionId id : it->second) find(id)->link->close(net::CloseCode::policy);
}

void Counters::closeAll(net::CloseCode code) {
  for (auto& [id, session] : sessions_) session.link->close(code);
}

}  // namespace hub::counter
