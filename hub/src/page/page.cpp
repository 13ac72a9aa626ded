#include "page/page.h"

#include <algorithm>
#include <charconv>
#include <span>

#include "accounts/secrets.h"
#include "common/address.h"
#include "common/log.h"
#include "common/text.h"
#include "counter/protocol.h"
#include "page/html.h"
#include "page/setup.h"
#include "page/unrecognised.h"

namespace hub::page {
namespace {

constexpr std::string_view kCookie = "kassaro_session";
// A week: the shop's PC stays signed in over the days it is used; signing out, a new password or a
// disabled account ends it sooner.
constexpr clock::Millis kSessionLife = 7LL * 24 * 3600 * 1000;
// How long /live holds a request without a payment before it answers anyway (the phone's state or the
// day may have changed meanwhile); shorter than the idle limit of common proxies.
constexpr clock::Millis kLiveWait = 25'000;
// The today view lists this many of the day's notifications not counted, the newest: a phone that posts
// thousands must not make the page unreadable (the operator's command lists them all).
constexpr std::int64_t kUnrecognisedShown = 50;

constexpr std::string_view kFromElsewhere = "这个请求来自其他网站，已拒绝。";
constexpr std::string_view kNoToken = "表单已过期或不完整，请回到页面刷新后再试。";
constexpr std::string_view kSignInAgain = "登录已失效，请重新登录。";
constexpr std::string_view kWrongPassword = "帐号或密码错误。";
constexpr std::string_view kThrottled = "登录失败次数过多，请过几分钟再试。";
constexpr std::string_view kBusy = "服务器正忙，请稍后再试。";
// Bills a list shows at once; a longer day is paged.
constexpr std::int64_t kPageBills = 200;

std::string header(const net::HttpRequest& r, const std::string& name) {
  const auto it = r.headers.find(name);
  return it == r.headers.end() ? std::string() : it->second;
}

// One cookie's value from the Cookie header ("a=1; kassaro_session=XYZ"); empty when absent.
std::string cookie(const net::HttpRequest& r, std::string_view name) {
  const std::string all = header(r, "cookie");
  std::string_view rest = all;
  while (!rest.empty()) {
    const auto semi = rest.find(';');
    std::string_view pair = rest.substr(0, semi);
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    if (pair.size() > name.size() && pair.starts_with(name) && pair[name.size()] == '=')
      return std::string(pair.substr(name.size() + 1));
    if (semi == std::string_view::npos) break;
    rest.remove_prefix(semi + 1);
  }
  return {};
}

// A posted form's field: forms come as application/x-www-form-urlencoded, the query's own encoding.
std::string field(const net::HttpRequest& r, std::string_view name) { return net::queryParameter(r.body, name); }

// Whether a form comes from the hub's own pages: its Origin, else its Referer, names the host it was sent
// to. A browser that sends neither (old ones, some privacy settings) is let through: the session's token
// still guards every change.
bool fromHere(const net::HttpRequest& r) {
  const std::string host = header(r, "host"), origin = header(r, "origin"), referer = header(r, "referer");
  auto names = [&](std::string_view site) {
    return !host.empty() && (site == "http://" + host || site == "https://" + host);
  };
  if (!origin.empty()) return names(origin);
  if (referer.empty()) return true;
  // The Referer's own origin: up to the path that follows "scheme://host".
  const auto scheme = referer.find("://");
  return names(referer.substr(0, scheme == std::string::npos ? scheme : referer.find('/', scheme + 3)));
}

// The token every form carries: bound to the session, and of no use without the cookie, which scripts
// cannot read.
std::string csrfOf(std::string_view token) { return accounts::digest("csrf:" + std::string(token)); }

// The edge believes X-Forwarded-Proto from trusted proxies only.
bool overTls(const net::HttpRequest& r) { return r.secure; }

std::string sessionCookie(std::string_view token, clock::Millis life, bool secure) {
  return std::string(kCookie) + "=" + std::string(token) + "; Path=/; Max-Age=" + std::to_string(life / 1000) +
         "; HttpOnly; SameSite=Strict" + (secure ? "; Secure" : "");
}

net::HttpResponse html(int status, std::string body) {
  net::HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  r.contentType = "text/html; charset=utf-8";
  // No page is kept by a browser or a proxy or framed by another site; scripts come from the hub alone.
  r.headers = {{"Cache-Control", "no-store"},
               {"X-Frame-Options", "DENY"},
               {"X-Content-Type-Options", "nosniff"},
               {"Referrer-Policy", "same-origin"},
               {"Content-Security-Policy",
                "default-src 'none'; style-src 'unsafe-inline'; script-src 'self'; connect-src 'self'; "
                "img-src 'self' data:; form-action 'self'; frame-ancestors 'none'; base-uri 'none'"}};
  return r;
}

net::HttpResponse refused(std::string_view reason) { return html(403, messagePage("请求被拒绝", reason)); }

net::HttpResponse unavailable() {
  return html(503, messagePage("暂时不能服务", "收款服务的数据库暂时不可用，请稍后再试。"));
}

net::HttpResponse busy() { return html(503, messagePage("暂时不能服务", kBusy)); }

// Whether the day has bills beyond those a page shows.
bool olderBills(std::int64_t page, const std::vector<store::Bill>& bills, const std::vector<store::ChannelSum>& sums) {
  std::int64_t all = 0;
  for (const auto& s : sums) all += s.count;
  return (page - 1) * kPageBills + static_cast<std::int64_t>(bills.size()) < all;
}

net::HttpResponse redirect(std::string location, std::string setCookie = {}) {
  net::HttpResponse r = html(303, {});
  r.headers.emplace_back("Location", std::move(location));
  if (!setCookie.empty()) r.headers.emplace_back("Set-Cookie", std::move(setCookie));
  return r;
}

std::int64_t lastBill(const std::vector<store::Bill>& bills) {
  std::int64_t last = 0;
  for (const auto& b : bills) last = std::max(last, b.number);
  return last;
}

}  // namespace

struct Page::Route {
  std::string_view method, path;
  void (Page::*handler)(const net::HttpRequest&, net::Reply);
};

std::span<const Page::Route> Page::routes() {
  static constexpr Route kRoutes[] = {
      {"GET", "/", &Page::today},
      {"GET", "/live", &Page::live},
      {"GET", "/day", &Page::day},
      {"GET", "/month", &Page::month},
      {"GET", "/phone", &Page::phone},
      {"GET", "/counters", &Page::counters},
      {"GET", "/page.js", &Page::script},
      {"POST", "/login", &Page::signIn},
      {"POST", "/logout", &Page::signOut},
      {"POST", "/phone/key", &Page::newKey},
      {"POST", "/password", &Page::newPassword},
      {"POST", "/unrecognised/count", &Page::countByHand},
  };
  return kRoutes;
}

Page::Page(Settings settings, store::Executor& store, accounts::Logins& logins, WorkPool& hashing, Post toLoop,
           std::function<void(const store::Bill&)> billAdded)
    : settings_(std::move(settings)),
      store_(store),
      logins_(logins),
      hashing_(hashing),
      toLoop_(std::move(toLoop)),
      billAdded_(std::move(billAdded)) {}

bool Page::owns(std::string_view path) {
  return std::ranges::any_of(routes(), [path](const Route& r) { return r.path == path; });
}

void Page::handle(net::HttpRequest request, net::Reply reply) {
  for (const Route& route : routes()) {
    if (route.path != request.path) continue;
    if (route.method != request.method) {
      net::HttpResponse r = html(405, messagePage("请求被拒绝", "这个地址不接受这种请求。"));
      r.headers.emplace_back("Allow", std::string(route.method));
      return reply(std::move(r));
    }
    return (this->*route.handler)(request, std::move(reply));
  }
}

std::string Page::dayName(clock::Millis t) const { return clock::isoTime(settings_.zone, t).substr(0, 10); }

std::vector<std::pair<std::string, std::pair<clock::Millis, clock::Millis>>> Page::daysFrom(clock::Millis from,
                                                                                            clock::Millis to) const {
  std::vector<std::pair<std::string, std::pair<clock::Millis, clock::Millis>>> days;
  for (clock::Millis t = from; t < to;) {
    const auto day = clock::dayOf(settings_.zone, t);
    days.push_back({dayName(day.first), day});
    t = day.second;
  }
  return days;
}

std::string Page::base(const net::HttpRequest& request) const {
  std::string url = settings_.publicUrl;
  if (url.empty()) url = (overTls(request) ? "https://" : "http://") + header(request, "host");
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

Page::Read Page::readDay(std::pair<clock::Millis, clock::Millis> range, std::int64_t page) const {
  return [range, page](store::Store& st, Visit& v) {
    v.bills = st.latestBills(v.account.id, range.first, range.second, kPageBills, (page - 1) * kPageBills, true);
    v.sums = st.sums(v.account.id, range.first, range.second);
  };
}

void Page::signedIn(const net::HttpRequest& request, net::Reply reply, Read read, Show show) {
  const std::string token = cookie(request, kCookie);
  const bool form = request.method == "POST";
  if (form && !fromHere(request)) {
    log::info("page form refused", {{"address", request.address}, {"reason", "from another site"}});
    return reply(refused(kFromElsewhere));
  }
  if (form && (token.empty() || !accounts::sameText(field(request, "csrf"), csrfOf(token)))) {
    log::info("page form refused", {{"address", request.address}, {"reason", "no session token"}});
    return reply(refused(kNoToken));
  }
  // Without a session: a form is refused, today's updates say so (the page then reloads), a page asks
  // to sign in.
  auto signedOut = [form, live = request.path == "/live"](const net::Reply& reply) {
    if (form) return reply(refused(kSignInAgain));
    reply(live ? html(401, {}) : html(200, signInPage("", "")));
  };
  if (token.empty()) return signedOut(reply);
  auto visit = std::make_shared<Visit>();
  const bool queued = store_.offer(
      address::groupOf(request.address),
      [visit, read = std::move(read), digest = accounts::digest(token), now = clock::now()](store::Store& st) {
        auto account = st.accountBySession(digest, now);
        if (!account || account->disabled) return;
        visit->account = std::move(*account);
        if (read) read(st, *visit);
      },
      [visit, token, show = std::move(show), signedOut, reply](const store::Outcome& job) {
        if (!job.committed()) return reply(unavailable());
        if (visit->account.id == 0) return signedOut(reply);
        visit->csrf = csrfOf(token);
        show(*visit, reply);
      });
  if (!queued) reply(busy());
}

void Page::startSession(const store::Account& checked, const net::HttpRequest& request, net::Reply reply,
                        std::string location, net::HttpResponse stale, std::function<void(store::Store&)> first) {
  const std::string token = accounts::newIntakeKey();  // 192 random bits, as a key is
  const clock::Millis now = clock::now();
  auto current = std::make_shared<bool>(false);
  store_.run(
      [first = std::move(first), digest = accounts::digest(token), id = checked.id, hash = checked.passwordHash, now,
       current](store::Store& st) {
        const auto account = st.accountById(id);
        if (!account || account->disabled || account->passwordHash != hash) return;
        *current = true;
        if (first) first(st);
        st.addPageSession(digest, id, now, now + kSessionLife);
      },
      [token, current, stale = std::move(stale), secure = overTls(request), location = std::move(location),
       reply = std::move(reply)](const store::Outcome& job) {
        if (!job.committed()) return reply(unavailable());
        if (!*current) return reply(stale);
        reply(redirect(location, sessionCookie(token, kSessionLife, secure)));
      });
}

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

PhoneState Page::phoneState(const store::Account& account, clock::Millis now) const {
  return {account.phoneSeenAt, account.phoneSeenAt > 0 && now - account.phoneSeenAt < settings_.offlineAfter};
}

void Page::day(const net::HttpRequest& request, net::Reply reply) {
  const clock::Millis now = clock::now();
  const auto range = clock::dayNamed(settings_.zone, net::queryParameter(request.query, "d"))
                         .value_or(clock::dayOf(settings_.zone, now));
  const std::string shown = dayName(range.first), earlier = dayName(range.first - 1),
                    later = range.second <= now ? dayName(range.second) : "";
  const std::string pageText = net::queryParameter(request.query, "p");
  std::int64_t page = 1;
  std::from_chars(pageText.data(), pageText.data() + pageText.size(), page);
  page = std::clamp<std::int64_t>(page, 1, 1'000'000);
  signedIn(request, std::move(reply), readDay(range, page), [=, this](Visit& v, const net::Reply& reply) {
    reply(html(200, framed({v.account.name, v.csrf, "/day"}, "日报 " + shown,
                           dayReport(settings_.zone, shown, earlier, later, v.bills, v.sums,
                                     billPages(shown, page, olderBills(page, v.bills, v.sums))))));
  });
}

void Page::month(const net::HttpRequest& request, net::Reply reply) {
  const clock::Millis now = clock::now();
  const auto range = clock::monthNamed(settings_.zone, net::queryParameter(request.query, "m"))
                         .value_or(clock::monthOf(settings_.zone, now));
  const std::string shown = dayName(range.first).substr(0, 7), earlier = dayName(range.first - 1).substr(0, 7),
                    later = range.second <= now ? dayName(range.second).substr(0, 7) : "";
  // The chart's 30 days end with today.
  const auto today = clock::dayOf(settings_.zone, now);
  clock::Millis chartFrom = today.first;
  for (int i = 1; i < 30; ++i) chartFrom = clock::dayOf(settings_.zone, chartFrom - 1).first;
  auto read = [range, days = daysFrom(range.first, range.second), chart = daysFrom(chartFrom, today.second)](
                  store::Store& st, Visit& v) {
    v.sums = st.sums(v.account.id, range.first, range.second);
    for (const auto& [name, day] : days) v.days.push_back({name, st.sums(v.account.id, day.first, day.second)});
    for (const auto& [name, day] : chart) v.chart.push_back({name, st.sums(v.account.id, day.first, day.second)});
  };
  signedIn(request, std::move(reply), read, [=](Visit& v, const net::Reply& reply) {
    reply(html(200, framed({v.account.name, v.csrf, "/month"}, "月报 " + shown,
                           monthReport(shown, earlier, later, v.sums, v.days, chart(v.chart)))));
  });
}

void Page::answerPhone(const Visit& v, const net::HttpRequest& request, const net::Reply& reply, int status,
                       std::string_view notice, std::string_view error) const {
  const Reach reach{base(request), v.account.intakeKey, v.account.name};
  reply(html(status, framed({v.account.name, v.csrf, "/phone"}, "手机设置", phonePage(reach, v.csrf, notice, error))));
}

void Page::phone(const net::HttpRequest& request, net::Reply reply) {
  const std::string done = net::queryParameter(request.query, "done");
  const std::string_view notice = done == "key" ? "密钥已更换：请按下面的新值重新设置手机上的应用。"
                                  : done == "password" ? "密码已修改：收银台请用新密码重新登录。"
                                                       : "";
  signedIn(request, std::move(reply), {}, [this, request, notice](Visit& v, const net::Reply& reply) {
    answerPhone(v, request, reply, 200, notice, "");
  });
}

void Page::counters(const net::HttpRequest& request, net::Reply reply) {
  signedIn(
      request, std::move(reply), [](store::Store& st, Visit& v) { v.counters = st.countersSeen(v.account.id); },
      [this](Visit& v, const net::Reply& reply) {
        reply(html(200,
                   framed({v.account.name, v.csrf, "/counters"}, "收银台", countersPage(settings_.zone, v.counters))));
      });
}

void Page::script(const net::HttpRequest&, net::Reply reply) {
  net::HttpResponse r;
  r.body = kScript;
  r.contentType = "text/javascript; charset=utf-8";
  r.headers = {{"Cache-Control", "no-cache"}, {"X-Content-Type-Options", "nosniff"}};
  reply(std::move(r));
}

void Page::signIn(const net::HttpRequest& request, net::Reply reply) {
  // No session yet, so no token to check: where the form came from is what tells a forged sign-in.
  if (!fromHere(request)) return reply(refused(kFromElsewhere));
  const std::string name = field(request, "account"), password = field(request, "password");
  if (name.empty() || password.empty()) return reply(html(401, signInPage(name, "请输入帐号和密码。")));
  logins_.check(name, password, request.address, "", [=, this](const accounts::Login& login) {
    using Result = accounts::Login::Result;
    if (login.result == Result::unavailable) return reply(unavailable());
    if (login.result == Result::busy) return reply(busy());
    const net::HttpResponse wrong =
        html(401, signInPage(name, login.result == Result::throttled ? kThrottled : kWrongPassword));
    if (login.result != Result::ok) {
      log::info("page sign-in failed", {{"account", text::clipUtf8(name, accounts::kMaxNameBytes)},
                                         {"address", request.address},
                                         {"reason", login.reason}});
      return reply(wrong);
    }
    log::info("page sign-in", {{"account", name}, {"address", request.address}});
    // A password changed or an account disabled while this one was checked makes no session.
    startSession(login.account, request, reply, "/", wrong);
  });
}

void Page::signOut(const net::HttpRequest& request, net::Reply reply) {
  signedIn(
      request, std::move(reply),
      [digest = accounts::digest(cookie(request, kCookie))](store::Store& st, Visit&) { st.endPageSession(digest); },
      [secure = overTls(request)](Visit&, const net::Reply& reply) {
        reply(redirect("/", sessionCookie("", 0, secure)));
      });
}

void Page::newKey(const net::HttpRequest& request, net::Reply reply) {
  signedIn(
      request, std::move(reply),
      [](store::Store& st, Visit& v) {
        v.account.intakeKey = accounts::newIntakeKey();
        st.setIntakeKey(v.account.id, v.account.intakeKey);
      },
      [address = request.address](Visit& v, const net::Reply& reply) {
        log::info("page new key", {{"account", v.account.name}, {"address", address}});
        reply(redirect("/phone?done=key"));
      });
}

void Page::newPassword(const net::HttpRequest& request, net::Reply reply) {
  const std::string old = field(request, "old"), fresh = field(request, "new"), again = field(request, "again");
  signedIn(request, std::move(reply), {}, [=, this](Visit& v, const net::Reply& reply) {
    if (fresh != again) return answerPhone(v, request, reply, 400, "", "两次输入的新密码不一样。");
    if (!counter::protocol::validCredential(fresh))
      return answerPhone(v, request, reply, 400, "", "新密码要 6 到 64 个字节，不能有控制字符。");
    // The old password is checked as a sign-in is, failed-login windows included: a session left open
    // on a shop's PC must not let anyone try passwords faster than the sign-in does.
    logins_.check(v.account.name, old, request.address, "", [=, this, v = v](const accounts::Login& login) {
      using Result = accounts::Login::Result;
      if (login.result == Result::unavailable) return reply(unavailable());
      if (login.result == Result::busy) return reply(busy());
      if (login.result != Result::ok)
        return answerPhone(v, request, reply, 400, "", login.result == Result::throttled ? kThrottled : "原密码不对。");
      hashing_.run([=, this, post = toLoop_] {
        const std::string hash = accounts::hashPassword(fresh);
        post([=, this] {
          log::info("page new password", {{"account", v.account.name}, {"address", request.address}});
          // The new hash ends every session of the account, this one too, in the transaction that starts
          // this browser's next one; the revision it moves logs the account's counters out.
          startSession(login.account, request, reply, "/phone?done=password", refused(kSignInAgain),
                       [id = v.account.id, hash](store::Store& st) { st.setPasswordHash(id, hash); });
        });
      });
    });
  });
}

// A notification no rule counted, counted by the merchant as a payment of the channel and amount the
// merchant confirmed: a bill like any other, pushed to the counters, marked as counted by hand. Its source
// id is the notification's, so a second click (or a second browser) adds nothing.
void Page::countByHand(const net::HttpRequest& request, net::Reply reply) {
  std::int64_t id = 0;
  const std::string idText = field(request, "id");
  std::from_chars(idText.data(), idText.data() + idText.size(), id);
  const auto channel = channelNamed(field(request, "channel"));
  const auto fen = money::parse(field(request, "amount"));
  if (id <= 0 || !channel || !fen)
    return reply(html(400, messagePage("不能计入", "请选择渠道，并填写金额（元，最多两位小数）。")));
  auto bill = std::make_shared<store::Bill>();
  auto fresh = std::make_shared<bool>(false);
  signedIn(
      request, std::move(reply),
      [id, channel = *channel, fen = *fen, bill, fresh](store::Store& st, Visit& v) {
        const auto n = st.unrecognisedById(v.account.id, id);
        if (!n) {
          v.error = "这条通知已不在（只保留 7 天）。";
          return;
        }
        store::NewBill b{.accountId = v.account.id,
                         .channel = channel,
                         .fen = fen,
                         .time = n->receivedAt,
                         .receivedAt = clock::now(),
                         .sourceId = "hand:" + std::to_string(id),
                         .dedupeKey = {},
                         .text = n->title.empty() || n->text.empty() ? n->title + n->text : n->title + " | " + n->text,
                         .byHand = true};
        const store::Stored stored = st.addBill(b, 0);
        *fresh = !stored.duplicate;
        if (*fresh) st.setUnrecognisedBill(id, stored.number);
        *bill = {stored.number, b.accountId, b.channel, b.fen, b.time, b.receivedAt, b.sourceId, b.text, true};
      },
      [this, bill, fresh, address = request.address](Visit& v, const net::Reply& reply) {
        if (!v.error.empty()) return reply(html(404, messagePage("不能计入", v.error)));
        if (*fresh) {
          log::info("page counted by hand", {{"account", v.account.name}, {"address", address},
                                             {"bill", std::to_string(bill->number)},
                                             {"amount", money::format(bill->fen)}});
          billAdded_(*bill);
        }
        reply(redirect("/"));
      });
}

}  // namespace hub::page
