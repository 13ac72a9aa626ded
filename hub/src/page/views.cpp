// The reports and the set-up views: a day, a month, the phone's set-up, the counters seen, the script.
#include <algorithm>
#include <charconv>

#include "page/answers.h"
#include "page/html.h"
#include "page/page.h"
#include "page/setup.h"

namespace hub::page {

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

}  // namespace hub::page
