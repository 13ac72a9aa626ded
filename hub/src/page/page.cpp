// The page's routes, and what every route goes through: the session's check and its start.
#include "page/page.h"

#include <algorithm>
#include <span>

#include "accounts/secrets.h"
#include "common/address.h"
#include "common/log.h"
#include "page/answers.h"
#include "page/html.h"

namespace hub::page {
namespace {
// A week: the shop's PC stays signed in over the days it is used; signing out, a new password or a
// disabled account ends it sooner.
constexpr clock::Millis kSessionLife = 7LL * 24 * 3600 * 1000;
constexpr std::string_view kNoToken = "表单已过期或不完整，请回到页面刷新后再试。";
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
  // Not a page's address: answered as the hub answers any address it does not know.
  reply(net::notFound());
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

PhoneState Page::phoneState(const store::Account& account, clock::Millis now) const {
  return {account.phoneSeenAt, account.phoneSeenAt > 0 && now - account.phoneSeenAt < settings_.offlineAfter};
}

}  // namespace hub::page
