// Today's view and its updates: /live waits for the account's next payment (or a while) and is answered
// from one read of the store for all of an account's waiting pages.
#include <charconv>

#include "accounts/secrets.h"
#include "page/answers.h"
#include "page/html.h"
#include "page/page.h"
#include "page/unrecognised.h"

namespace hub::page {
namespace {
// How long /live holds a request without a payment before it answers anyway (the phone's state or the
// day may have changed meanwhile); shorter than the idle limit of common proxies.
constexpr clock::Millis kLiveWait = 25'000;
// The today view lists this many of the day's notifications not counted, the newest: a phone that posts
// thousands must not make the page unreadable (the operator's command lists them all).
constexpr std::int64_t kUnrecognisedShown = 50;
}  // namespace

// The counter says nothing when its announcements fail, by design: the merchant learns it here.
std::string Page::speechNotice() const {
  const std::string trouble = settings_.speechTrouble ? settings_.speechTrouble() : std::string();
  if (trouble.empty()) return {};
  return "<p class=\"speech bad\">语音服务异常：" + escape(trouble) + "</p>";
}

void Page::today(const net::HttpRequest& request, net::Reply reply) {
  const clock::Millis now = clock::now();
  const auto range = clock::dayOf(settings_.zone, now);
  signedIn(
      request, std::move(reply),
      [readToday = readDay(range), range](store::Store& st, Visit& v) {
        readToday(st, v);
        v.unrecognised = st.unrecognised(v.account.id, range.first, range.second, kUnrecognisedShown);
      },
      [this, now](Visit& v, const net::Reply& reply) {
        reply(html(200, framed({v.account.name, v.csrf, "/", true}, "今日收款",
                               todayPage(lastBill(v.bills), livePart(v, now).body) +
                                   unrecognisedList(settings_.zone, v.unrecognised, v.csrf))));
      });
}

net::HttpResponse Page::livePart(const Visit& v, clock::Millis now) const {
  const std::string day = dayName(now);
  net::HttpResponse r = html(200, speechNotice() + todayPart(settings_.zone, day, phoneState(v.account, now), v.bills, v.sums,
                                            billPages(day, 1, olderBills(1, v.bills, v.sums))));
  r.headers.emplace_back("X-Last-Bill", std::to_string(lastBill(v.bills)));
  return r;
}

void Page::live(const net::HttpRequest& request, net::Reply reply) {
  const std::string text = net::queryParameter(request.query, "after");
  std::int64_t after = 0;
  std::from_chars(text.data(), text.data() + text.size(), after);
  const clock::Millis now = clock::now();
  signedIn(request, std::move(reply), readDay(clock::dayOf(settings_.zone, now)),
           [this, after = std::max<std::int64_t>(after, 0), now, session = accounts::digest(cookie(request, kCookie))](
               Visit& v, const net::Reply& reply) {
             if (lastBill(v.bills) <= after && !stopping_) {
               // Nothing new yet: the account's next payment, or the wait's end, answers it.
               waiters_[nextWaiter_++] = {v.account.id, session, reply, now + kLiveWait};
               return;
             }
             reply(livePart(v, now));
           });
}

void Page::wake(const std::function<bool(const Waiter&)>& which) {
  std::map<std::int64_t, std::vector<Waiter>> woken;
  for (auto it = waiters_.begin(); it != waiters_.end();) {
    if (!which(it->second)) {
      ++it;
      continue;
    }
    woken[it->second.accountId].push_back(std::move(it->second));
    it = waiters_.erase(it);
  }
  for (auto& [accountId, waiters] : woken) answerWaiters(accountId, std::move(waiters));
}

void Page::answerWaiters(std::int64_t accountId, std::vector<Waiter> waiters) {
  const clock::Millis now = clock::now();
  struct Shared {
    Visit visit;
    std::vector<std::string> sessions;
    std::vector<bool> live;  // whose session still holds
  };
  auto shared = std::make_shared<Shared>();
  for (const Waiter& w : waiters) shared->sessions.push_back(w.session);
  const Read read = readDay(clock::dayOf(settings_.zone, now));
  store_.run(
      [shared, accountId, now, read](store::Store& st) {
        for (const std::string& session : shared->sessions) {
          const auto account = st.accountBySession(session, now);
          shared->live.push_back(account && account->id == accountId && !account->disabled);
          if (shared->live.back() && shared->visit.account.id == 0) shared->visit.account = *account;
        }
        if (shared->visit.account.id != 0) read(st, shared->visit);
      },
      [this, shared, now, waiters = std::move(waiters)](const store::Outcome& job) {
        const bool committed = job.committed();
        const net::HttpResponse part = committed ? livePart(shared->visit, now) : unavailable();
        for (size_t i = 0; i < waiters.size(); ++i)
          waiters[i].reply(!committed || shared->live[i] ? part : html(401, {}));
      });
}

void Page::paymentStored(const store::Bill& bill) {
  wake([&](const Waiter& w) { return w.accountId == bill.accountId; });
}

void Page::tick(clock::Millis now) {
  wake([now](const Waiter& w) { return w.until <= now; });
}

void Page::stop() {
  stopping_ = true;
  wake([](const Waiter&) { return true; });
}

}  // namespace hub::page
