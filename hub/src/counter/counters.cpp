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

void Counters::opened(const std::shared_ptr<net::CounterLink>& link) {
  sessions_.open(link);
  ++metrics_.counters;
  log::debug("counter connected", {{"address", link->address()}});
}

void Counters::closed(const std::shared_ptr<net::CounterLink>& link) {
  const SessionId id = sessions_.idOf(*link);
  if (id == 0) return;
  detach(sessions_.at(id));
  sessions_.close(id);
  --metrics_.counters;
  log::debug("counter disconnected", {{"address", link->address()}});
}

void Counters::text(const std::shared_ptr<net::CounterLink>& link, std::string text) {
  const SessionId id = sessions_.idOf(*link);
  if (id == 0) return;
  Session& s = sessions_.at(id);
  if (s.busy) {
    if (s.pending.size() < (s.accountId ? kMaxPending : kMaxPendingBeforeLogin))
      return s.pending.push_back(std::move(text));
    if (!s.flooded) {  // once a connection
      s.flooded = true;
      ++metrics_.floods;
      log::warn("counter flooding, texts ignored", {{"address", link->address()}});
    }
    return;
  }
  handle(id, text);
}

void Counters::handle(SessionId id, const std::string& text) {
  const protocol::Request request = protocol::read(text);
  switch (request.kind) {
    case protocol::Request::Kind::login: return login(id, request, true);
    case protocol::Request::Kind::bills: {
      const Session& s = sessions_.at(id);
      // The bill request a counter sends right behind its login reuses that login's password check.
      if (s.accountId != 0 && s.account == request.account &&
          accounts::sameText(accounts::digest(request.password), s.passwordDigest))
        return sendBills(id, s.accountId);
      return login(id, request, false);
    }
    case protocol::Request::Kind::registration: return registration(id, request);
    case protocol::Request::Kind::unknown:
      log::debug("counter text not understood", {{"address", sessions_.at(id).link->address()}});
      return;
  }
}

// A request is done: the texts that came meanwhile are taken in order.
void Counters::finished(SessionId id) {
  Session* s = sessions_.find(id);
  if (!s) return;
  s->busy = false;
  while (!s->busy && !s->pending.empty()) {
    const std::string next = std::move(s->pending.front());
    s->pending.pop_front();
    handle(id, next);
    s = sessions_.find(id);
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
  if (Session* s = sessions_.find(id)) s->link->close(net::CloseCode::tryLater);
}

// A request's store work, within the connection's address's share of the store queue; a full queue
// closes the connection as busy (the counter comes back a little later).
bool Counters::offer(SessionId id, store::Executor::Work work, store::Executor::Done done) {
  const Session& s = sessions_.at(id);
  if (store_.offer(address::groupOf(s.link->address()), std::move(work), std::move(done))) return true;
  s.link->close(net::CloseCode::tryLater);
  return false;
}

void Counters::login(SessionId id, const protocol::Request& request, bool attachAfter) {
  Session& s = sessions_.at(id);
  const std::string address = s.link->address();
  const std::string name = text::clipUtf8(request.account, accounts::kMaxNameBytes);
  auto fail = [this, id, attachAfter, name, address](const char* why, std::string_view answer) {
    log::info(attachAfter ? "login failed" : "bill request refused",
              {{"account", name}, {"address", address}, {"reason", why}});
    if (attachAfter)
      if (Session* s = sessions_.find(id)) s->link->send(protocol::answer(protocol::kLoginAnswer, answer));
  };
  if (attachAfter && !protocol::validMachineId(request.machineId))
    return fail("machine id is not 32 hex digits", protocol::kBadMachineId);
  s.busy = true;
  s.link->checking(true);
  const std::string password(request.password);
  const std::string machineId(request.machineId);
  logins_.check(std::string(request.account), password, address, machineId, [=, this](const accounts::Login& login) {
    Session* waiting = sessions_.find(id);
    if (!waiting) return;
    waiting->link->checking(false);
    using Result = accounts::Login::Result;
    if (login.result == Result::unavailable) return storeFailed(id, login.stored);
    if (login.result == Result::busy) return waiting->link->close(net::CloseCode::tryLater);
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
  Session& s = sessions_.at(id);
  detach(s);  // a connection that logs in again belongs to the newer account only
  // Counters still logged in with an older password are logged out: the operator changed it for a reason.
  if (const Sessions::Account* known = sessions_.account(account.id); known && known->loginHash != account.passwordHash)
    logOut(account.id, known->loginHash);
  const clock::Millis now = clock::now();
  Sessions::Account& loggedIn =
      sessions_.attach(id, account.id, account.name, accounts::digest(password), account.passwordHash, now);
  ++attaches_;
  Phone& phone = loggedIn.phone;
  phone.lastReport = std::max(phone.lastReport, account.phoneSeenAt);
  if (loggedIn.sessions.size() == 1) phone.online = phoneOnline(phone, now);
  ++metrics_.countersLoggedIn;
  log::info("login", {{"account", account.name}, {"address", s.link->address()}, {"machine", std::string(machineId)}});

  s.link->loggedIn();
  s.link->send(protocol::answer(protocol::kLoginAnswer, protocol::kLoginOk));
  s.link->send(protocol::serverInfo(info_));
  s.link->send(std::string(phone.online ? protocol::kPhoneOnline : protocol::kPhoneOffline));

  // The password was checked against the account as it was read before the check: a new password or a
  // disable committed meanwhile logs this connection out again.
  auto current = std::make_shared<std::optional<store::Account>>();
  store_.run(
      [current, accountId = account.id, machine = std::string(machineId), address = s.link->address(), now](
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
  if (sessions_.detach(session, clock::now())) --metrics_.countersLoggedIn;
}

bool Counters::loggedInFrom(const std::string& address, clock::Millis now) const {
  return sessions_.loggedInFrom(address, now);
}

void Counters::sendBills(SessionId id, std::int64_t accountId) {
  sessions_.at(id).busy = true;
  const auto [from, to] = clock::dayOf(settings_.zone, clock::now());
  auto bills = std::make_shared<std::vector<store::Bill>>();
  offer(
      id,
      [=, limit = settings_.historyBills](store::Store& st) {
        *bills = st.latestBills(accountId, from, to, limit, 0, false);
      },
      [=, this](const store::Outcome& job) {
        if (!job.committed()) return storeFailed(id, job);
        Session* s = sessions_.find(id);
        if (!s) return;
        s->link->send(protocol::billHistory(*bills, settings_.zone));
        finished(id);
      });
}

void Counters::registration(SessionId id, const protocol::Request& request) {
  Session& s = sessions_.at(id);
  auto reply = [this, id](std::string_view text) {
    if (Session* s = sessions_.find(id)) s->link->send(protocol::answer(protocol::kRegisterAnswer, text));
  };
  if (!settings_.registrationOpen) return reply(protocol::kRegistrationClosed);
  if (request.pieces > 4 || !protocol::validCredential(request.account) ||
      !protocol::validCredential(request.password))
    return reply(protocol::kBadCredentials);
  const std::string address = s.link->address();
  const clock::Millis now = clock::now();
  if (registrations_.blocked(address, now)) return reply(kRegistrationsTooFrequent);
  registrations_.failed(address, now);

  s.busy = true;
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

void Counters::sendAll(const std::vector<SessionId>& ids, const std::string& text) {
  for (SessionId id : ids) sessions_.at(id).link->send(text);
}

void Counters::toAccount(std::int64_t accountId, const std::string& text) {
  if (const Sessions::Account* account = sessions_.account(accountId)) sendAll(account->sessions, text);
}

void Counters::paymentStored(const store::Bill& bill) {
  const Sessions::Account* account = sessions_.account(bill.accountId);
  if (!account) return;
  const std::string text = protocol::payment(bill.channel, bill.fen);
  const auto start = std::chrono::steady_clock::now();
  for (SessionId id : account->sessions)
    sessions_.at(id).link->send(text, [this, start] {
      metrics_.push.observe(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    });
}

bool Counters::phoneOnline(const Phone& phone, clock::Millis now) const {
  return phone.lastReport > 0 && now - phone.lastReport < settings_.offlineAfter;
}

void Counters::phoneReported(std::int64_t accountId, clock::Millis at) {
  Sessions::Account* account = sessions_.account(accountId);
  if (!account) return;
  Phone& phone = account->phone;
  phone.lastReport = std::max(phone.lastReport, at);
  if (!phone.online) {
    phone.online = true;
    toAccount(accountId, std::string(protocol::kPhoneOnline));
  }
}

void Counters::tick(clock::Millis now) {
  std::vector<std::int64_t> quiet;
  for (auto& [accountId, account] : sessions_.accounts())
    if (Phone& phone = account.phone; phone.online && !phone.checking && !phoneOnline(phone, now)) {
      phone.checking = true;
      quiet.push_back(accountId);
    }
  if (!quiet.empty()) phonesQuiet(std::move(quiet));
  if (now - lastSweep_ >= 60'000) {
    registrations_.sweep(now);
    sessions_.sweep(now);
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
          Sessions::Account* account = sessions_.account(accounts[i]);
          if (!account) continue;  // its counters left meanwhile
          Phone& phone = account->phone;
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
  for (const auto& [accountId, account] : sessions_.accounts()) sendAll(account.sessions, text);
}

std::vector<std::pair<std::int64_t, std::string>> Counters::loggedInAccounts() const {
  std::vector<std::pair<std::int64_t, std::string>> all;
  for (const auto& [accountId, account] : sessions_.accounts()) all.emplace_back(accountId, account.loginHash);
  return all;
}

void Counters::logOut(std::int64_t accountId, const std::string& loginHash) {
  const Sessions::Account* account = sessions_.account(accountId);
  if (!account || account->loginHash != loginHash) return;
  for (SessionId id : account->sessions) sessions_.at(id).link->close(net::CloseCode::policy);
}

void Counters::closeAll(net::CloseCode code) {
  for (const auto& [id, session] : sessions_.all()) session.link->close(code);
}

}  // namespace hub::counter
