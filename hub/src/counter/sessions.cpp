#include "counter/sessions.h"

#include <stdexcept>

namespace hub::counter {
namespace {

// How long an address whose counters all left is still served as theirs (a counter that restarts, a
// connection that drops and comes back).
constexpr clock::Millis kAddressRemembered = 600'000;

}  // namespace

Sessions::Id Sessions::open(std::shared_ptr<net::CounterLink> link) {
  const Id id = nextId_++;
  ids_[link.get()] = id;
  sessions_[id].link = std::move(link);
  return id;
}

Sessions::Id Sessions::idOf(const net::CounterLink& link) const {
  const auto it = ids_.find(&link);
  return it == ids_.end() ? 0 : it->second;
}

void Sessions::close(Id id) {
  Session* s = find(id);
  if (!s) return;
  detach(*s, clock::now());
  ids_.erase(s->link.get());
  sessions_.erase(id);
}

Sessions::Session* Sessions::find(Id id) {
  const auto it = sessions_.find(id);
  return it == sessions_.end() ? nullptr : &it->second;
}

Sessions::Session& Sessions::at(Id id) {
  Session* s = find(id);
  if (!s) throw std::logic_error("counter session " + std::to_string(id) + " is not open");
  return *s;
}

Sessions::Account& Sessions::attach(Id id, std::int64_t accountId, std::string name, std::string passwordDigest,
                                    std::string loginHash, clock::Millis now) {
  Session& s = at(id);
  detach(s, now);
  s.accountId = accountId;
  s.account = std::move(name);
  s.passwordDigest = std::move(passwordDigest);
  ++loggedInAddresses_[s.link->address()];
  Account& account = accounts_[accountId];
  account.sessions.push_back(id);
  account.loginHash = std::move(loginHash);
  return account;
}

bool Sessions::detach(Session& session, clock::Millis now) {
  if (session.accountId == 0) return false;
  if (const auto it = accounts_.find(session.accountId); it != accounts_.end()) {
    std::erase(it->second.sessions, idOf(*session.link));
    if (it->second.sessions.empty()) accounts_.erase(it);
  }
  const std::string& address = session.link->address();
  if (const auto it = loggedInAddresses_.find(address); it != loggedInAddresses_.end() && --it->second == 0) {
    loggedInAddresses_.erase(it);
    leftAddresses_[address] = now;
  }
  session.accountId = 0;
  session.account.clear();
  session.passwordDigest.clear();
  return true;
}

Sessions::Account* Sessions::account(std::int64_t accountId) {
  const auto it = accounts_.find(accountId);
  return it == accounts_.end() ? nullptr : &it->second;
}

bool Sessions::loggedInFrom(const std::string& address, clock::Millis now) const {
  if (loggedInAddresses_.contains(address)) return true;
  const auto left = leftAddresses_.find(address);
  return left != leftAddresses_.end() && now - left->second <= kAddressRemembered;
}

void Sessions::sweep(clock::Millis now) {
  std::erase_if(leftAddresses_, [now](const auto& left) { return now - left.second > kAddressRemembered; });
}

}  // namespace hub::counter
