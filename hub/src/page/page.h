#pragma once
// The merchant's page, served by the hub on its own address: sign-in with the counter's account and
// password, today's bills kept current, the day and month reports, the phone's set-up and the counters
// seen. On the event loop; every read and change goes through the store thread.
//
// Sessions are kept in the store (by the digest of their cookie's token), not in this process: any
// node behind a balancer can serve any of a merchant's requests, a restart does not sign anyone out,
// and a new password, set here or by the operator, ends them in the same transaction.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/logins.h"
#include "common/clock.h"
#include "common/pool.h"
#include "net/edge.h"
#include "page/reports.h"
#include "store/executor.h"

namespace hub::page {

struct Settings {
  clock::Zone zone;
  clock::Millis offlineAfter = 180'000;  // the phone counts as reporting for this long after a report
  std::string publicUrl;                 // how phones reach the hub; empty: the address the browser used
  std::function<std::string()> speechTrouble;  // why announcements are failing; empty while they work
};

class Page {
 public:
  using Post = std::function<void(std::function<void()>)>;
  // `billAdded` is told of a bill the merchant counts by hand, once it is committed.
  Page(Settings settings, store::Executor& store, accounts::Logins& logins, WorkPool& hashing, Post toLoop,
       std::function<void(const store::Bill&)> billAdded);

  // Whether the path is one of the page's; the rest of HTTP is the phone side's.
  static bool owns(std::string_view path);
  // Answers a request to one of the page's paths; any other path is answered 404.
  void handle(net::HttpRequest request, net::Reply reply);

  // A payment committed to the store: the account's open pages are answered at once.
  void paymentStored(const store::Bill& bill);
  // Every second: pages that waited long enough without a payment are answered as they are.
  void tick(clock::Millis now);
  // A clean end: every waiting page is answered now, so that no exchange holds the end up.
  void stop();

 private:
  // A signed-in request's view of the store, filled by the route on the store thread.
  struct Visit {
    store::Account account;
    std::string csrf;
    std::vector<store::Bill> bills;
    std::vector<store::ChannelSum> sums;
    std::vector<DaySums> days, chart;
    std::vector<store::CounterSeen> counters;
    std::vector<store::Unrecognised> unrecognised;
    std::string error;  // a change the store refused, for the merchant
  };
  using Read = std::function<void(store::Store&, Visit&)>;
  using Show = std::function<void(Visit&, const net::Reply&)>;
  struct Waiter {
    std::int64_t accountId = 0;
    std::string session;  // the digest of its cookie's token
    net::Reply reply;
    clock::Millis until = 0;
  };

  struct Route;
  static std::span<const Route> routes();

  void today(const net::HttpRequest& request, net::Reply reply);
  void live(const net::HttpRequest& request, net::Reply reply);
  void day(const net::HttpRequest& request, net::Reply reply);
  void month(const net::HttpRequest& request, net::Reply reply);
  void phone(const net::HttpRequest& request, net::Reply reply);
  void counters(const net::HttpRequest& request, net::Reply reply);
  void script(const net::HttpRequest& request, net::Reply reply);
  void signIn(const net::HttpRequest& request, net::Reply reply);
  void signOut(const net::HttpRequest& request, net::Reply reply);
  void newKey(const net::HttpRequest& request, net::Reply reply);
  void newPassword(const net::HttpRequest& request, net::Reply reply);
  void countByHand(const net::HttpRequest& request, net::Reply reply);

  // Runs `read` for the request's signed-in account on the store thread, then `show` on the loop. A
  // request without a live session, and a form without the session's token or from another site, is
  // answered here instead.
  void signedIn(const net::HttpRequest& request, net::Reply reply, Read read, Show show);
  // Starts a session for the account (after `first`, in the same transaction) and sends the browser on,
  // unless the account's password hash is no longer `checkedHash` or it was disabled since the password
  // was checked: then `stale` is the answer.
  void startSession(const store::Account& checked, const net::HttpRequest& request, net::Reply reply,
                    std::string location, net::HttpResponse stale, std::function<void(store::Store&)> first = {});
  void answerPhone(const Visit& visit, const net::HttpRequest& request, const net::Reply& reply, int status,
                   std::string_view notice, std::string_view error) const;
  // How phones reach the hub: the configured address, else the one this browser used.
  std::string base(const net::HttpRequest& request) const;
  void wake(const std::function<bool(const Waiter&)>& which);
  // Answers an account's waiting pages from one read of the store.
  void answerWaiters(std::int64_t accountId, std::vector<Waiter> waiters);
  net::HttpResponse livePart(const Visit& visit, clock::Millis now) const;
  std::string speechNotice() const;
  PhoneState phoneState(const store::Account& account, clock::Millis now) const;
  // The day's sums and one page of its bills (page 1: the newest).
  Read readDay(std::pair<clock::Millis, clock::Millis> range, std::int64_t page = 1) const;
  std::string dayName(clock::Millis t) const;  // "2024-02-29"
  std::vector<std::pair<std::string, std::pair<clock::Millis, clock::Millis>>> daysFrom(clock::Millis from,
                                                                                        clock::Millis to) const;

  Settings settings_;
  store::Executor& store_;
  accounts::Logins& logins_;
  WorkPool& hashing_;
  Post toLoop_;
  std::function<void(const store::Bill&)> billAdded_;
  bool stopping_ = false;
  std::uint64_t nextWaiter_ = 1;
  std::map<std::uint64_t, Waiter> waiters_;
};

}  // namespace hub::page
