#include "phone/intake.h"

#include <boost/json.hpp>

#include "common/log.h"
#include "recognise/recogniser.h"

namespace hub::phone {
namespace json = boost::json;
namespace {

// A phone's own time for a payment is taken when it is near the hub's; a phone whose clock is off by
// more than this gets the hub's time instead, so its payments still land on the right day.
constexpr clock::Millis kTimePast = 24 * 3600 * 1000;
constexpr clock::Millis kTimeFuture = 5 * 60 * 1000;
constexpr size_t kMaxIdBytes = 128;
// Requests with a wrong key from one address, within a minute, before that address is refused.
constexpr int kBadKeysPerMinute = 20;

net::HttpResponse answer(int status, json::object body) { return net::jsonResponse(status, json::serialize(body)); }

net::HttpResponse failure(int status, std::string_view error) {
  return answer(status, {{"ok", false}, {"error", error}});
}

// A phone's own time for a payment, as it writes it; empty is the hub's clock.
clock::Millis timeOf(std::string_view text, const clock::Zone& zone, clock::Millis now) {
  if (text.empty()) return now;
  const auto t = clock::readPhoneTime(zone, text);
  if (!t) throw Refused{400, "time must be milliseconds since 1970 or an ISO 8601 time"};
  return (*t < now - kTimePast || *t > now + kTimeFuture) ? now : *t;
}

// Our own format: JSON bodies, the key in the Authorization header or the query.
Reading ownPayment(const net::HttpRequest& request, clock::Millis) {
  const Fields fields = jsonFields(request.body);
  const auto channel = channelNamed(field(fields, "channel", 64));
  if (!channel) throw Refused{400, R"(channel must be "wechat" or "alipay")"};
  const auto fen = money::parse(field(fields, "amount", 64));
  if (!fen) throw Refused{400, "amount must be a positive number of yuan with at most two decimals"};
  Report report;
  report.paid = Paid{*channel, *fen};
  report.sourceId = field(fields, "id", kMaxIdBytes);
  report.time = field(fields, "time", 64);
  return {{keyOf(request), "", {}}, std::move(report)};
}

Reading ownNotification(const net::HttpRequest& request, clock::Millis) {
  const Fields fields = jsonFields(request.body);
  Report report;
  report.notice = Notice{field(fields, "package"), field(fields, "title"), field(fields, "text")};
  report.sourceId = field(fields, "id", kMaxIdBytes);
  report.time = field(fields, "time", 64);
  report.notification = true;
  return {{keyOf(request), "", {}}, std::move(report)};
}

Reading ownHeartbeat(const net::HttpRequest& request, clock::Millis) { return {{keyOf(request), "", {}}, {}}; }

// Whether a path is the route's; "*" stands for any one segment.
bool pathMatches(std::string_view pattern, std::string_view path) {
  for (;;) {
    const size_t a = pattern.find('/'), b = path.find('/');
    const std::string_view want = pattern.substr(0, a), got = path.substr(0, b);
    if (want == "*" ? got.empty() : want != got) return false;
    if (a == std::string_view::npos || b == std::string_view::npos) return a == b;
    pattern.remove_prefix(a + 1);
    path.remove_prefix(b + 1);
  }
}

}  // namespace

Intake::Intake(Settings settings, store::Executor& store, counter::Counters& counters,
               std::function<void(const store::Bill&)> paymentStored, metrics::Metrics& metrics)
    : settings_(settings),
      store_(store),
      counters_(counters),
      paymentStored_(std::move(paymentStored)),
      metrics_(metrics),
      perKey_(settings.ratePerSecond, settings.rateBurst),
      badKeys_(kBadKeysPerMinute, 60'000) {}

void Intake::handle(net::HttpRequest request, net::Reply reply) {
  ++metrics_.httpRequests;
  using Handler = void (Intake::*)(const net::HttpRequest&, net::Reply);
  using Reader = Reading (*)(const net::HttpRequest&, clock::Millis now);
  using Dress = net::HttpResponse (*)(net::HttpResponse);
  struct Route {
    std::string_view method, path;
    Handler handler;
    Reader read = nullptr;    // a phone request, read and then taken
    Dress dress = nullptr;    // how its app wants every answer written
  };
  static constexpr Route kRoutes[] = {
      {"POST", "/api/v1/payments", nullptr, ownPayment},
      {"POST", "/api/v1/notifications", nullptr, ownNotification},
      {"POST", "/api/v1/heartbeat", nullptr, ownHeartbeat},
      {"POST", "/hook/smsforwarder", nullptr, smsForwarder},
      {"POST", "/hook/receiptnotice", nullptr, receiptNotice},
      // The payment monitors' paths, szvone's and a fork's, under the account the address names.
      {"GET", "/vmq/*/appHeart", nullptr, vmqHeart, vmqAnswer},
      {"GET", "/vmq/*/appPush", nullptr, vmqPush, vmqAnswer},
      {"GET", "/vmq/*/api/monitor/heart", nullptr, vmqHeart, vmqAnswer},
      {"GET", "/vmq/*/api/monitor/push", nullptr, vmqPush, vmqAnswer},
      {"GET", "/healthz", &Intake::health},
      {"GET", "/metrics", &Intake::metricsPage},
  };
  for (const Route& route : kRoutes) {
    if (!pathMatches(route.path, request.path)) continue;
    if (route.dress)
      reply = [reply = std::move(reply), dress = route.dress](net::HttpResponse r) { reply(dress(std::move(r))); };
    if (route.method != request.method) {
      net::HttpResponse r = failure(405, "method not allowed");
      r.headers.emplace_back("Allow", std::string(route.method));
      return reply(std::move(r));
    }
    if (!route.read) return (this->*route.handler)(request, reply);
    const clock::Millis now = clock::now();
    try {
      Reading reading = route.read(request, now);
      Work work = workFor(reading.report, now);
      return take(request, std::move(reply), std::move(reading.caller), std::move(work), now);
    } catch (const Refused& refused) {
      if (refused.status == 401) badKeys_.failed(request.address, now);  // a bad sign or clock, as a wrong key
      return reply(failure(refused.status, refused.error));
    }
  }
  reply(failure(404, "not found"));
}

Intake::Work Intake::workFor(const Report& report, clock::Millis now) const {
  if (!report.notice && !report.paid) return {std::nullopt, report.ignored, report.notification};
  store::NewBill bill;
  if (report.notice) {
    const Notice& n = *report.notice;
    const recognise::Result found = recognise::recognise({n.package, n.title, n.text});
    if (!found.payment) return {std::nullopt, found.reason, true};
    bill.channel = found.payment->channel;
    bill.fen = found.payment->fen;
    // The same payment posted twice (a group summary, a second listener) is one bill.
    bill.dedupeKey = std::to_string(static_cast<int>(bill.channel)) + ":" + std::to_string(bill.fen) + ":" +
                     found.payment->key;
    bill.text = n.title.empty() ? n.text : n.text.empty() ? n.title : n.title + " | " + n.text;
  } else {
    bill.channel = report.paid->channel;
    bill.fen = report.paid->fen;
    bill.text = report.words;
  }
  bill.sourceId = report.sourceId;
  bill.time = timeOf(report.time, settings_.zone, now);
  bill.receivedAt = now;
  return {bill, {}, report.notification};
}

void Intake::health(const net::HttpRequest&, net::Reply reply) {
  store_.run([](store::Store& st) { st.revision(); },
             [reply = std::move(reply), this](bool committed) {
               if (!committed) ++metrics_.storeErrors;
               reply(committed ? answer(200, {{"ok", true}}) : failure(503, "store not available"));
             });
}

void Intake::metricsPage(const net::HttpRequest& request, net::Reply reply) {
  // Every account's volume: the operator's alone.
  if (!request.fromOperator) return reply(failure(404, "not found"));
  net::HttpResponse page;
  page.body = metrics::render(metrics_);
  page.contentType = "text/plain; version=0.0.4";
  reply(std::move(page));
}

void Intake::take(const net::HttpRequest& request, net::Reply reply, Caller caller, Work work, clock::Millis now) {
  if (caller.key.empty() && caller.account.empty())
    return reply(failure(401, "no intake key: send Authorization: Bearer KEY or ?key=KEY"));
  const std::string bucket = caller.key.empty() ? "account:" + caller.account : caller.key;
  if (badKeys_.blocked(request.address, now) || !perKey_.take(bucket, now))
    return reply(failure(429, "too many requests"));

  struct Outcome {
    std::optional<store::Account> account;
    store::Stored stored;
    store::Bill bill;
  };
  auto outcome = std::make_shared<Outcome>();
  ++inFlight_;
  store_.run(
      [outcome, caller, work, now, window = settings_.dedupeWindow](store::Store& st) {
        outcome->account = caller.key.empty() ? st.accountByName(caller.account) : st.accountByKey(caller.key);
        // An account without a key has nothing a request could be signed with.
        if (outcome->account && caller.signedWith &&
            (outcome->account->intakeKey.empty() || !caller.signedWith(outcome->account->intakeKey)))
          outcome->account.reset();
        if (!outcome->account || outcome->account->disabled) return;
        const std::int64_t accountId = outcome->account->id;
        st.setPhoneSeen(accountId, now);
        if (!work.bill) return;
        store::NewBill bill = *work.bill;
        bill.accountId = accountId;
        outcome->stored = st.addBill(bill, window);
        outcome->bill = {outcome->stored.number, accountId, bill.channel, bill.fen, bill.time, bill.receivedAt,
                         bill.sourceId, bill.text};
      },
      [this, outcome, work, reply = std::move(reply), address = request.address, now,
       wrong = caller.signedWith ? "wrong account or sign" : "wrong intake key"](bool committed) {
        --inFlight_;
        if (!committed) {
          ++metrics_.storeErrors;
          return reply(failure(503, "store not available"));
        }
        if (!outcome->account || outcome->account->disabled) {
          badKeys_.failed(address, now);
          const std::string_view why = outcome->account ? "account disabled" : wrong;
          log::info("phone request refused", {{"address", address}, {"reason", std::string(why)}});
          return reply(failure(401, why));
        }
        counters_.phoneReported(outcome->account->id, now);
        if (!work.bill) {
          if (!work.notification) return reply(answer(200, {{"ok", true}}));
          ++metrics_.notificationsIgnored;
          return reply(answer(200, {{"ok", true}, {"payment", false}, {"reason", work.reason}}));
        }
        const bool duplicate = outcome->stored.duplicate;
        ++(duplicate ? metrics_.paymentsDuplicate : metrics_.paymentsStored);
        json::object body{{"ok", true}};
        if (work.notification) body["payment"] = true;
        body["bill"] = outcome->stored.number;
        body["duplicate"] = duplicate;
        reply(answer(200, std::move(body)));
        log::info(duplicate ? "payment duplicate" : "payment stored",
                  {{"account", outcome->account->name}, {"bill", std::to_string(outcome->stored.number)},
                   {"amount", money::format(outcome->bill.fen)}});
        if (!duplicate) paymentStored_(outcome->bill);
      });
}

void Intake::tick(clock::Millis now) {
  perKey_.sweep(now);
  badKeys_.sweep(now);
}

}  // namespace hub::phone
