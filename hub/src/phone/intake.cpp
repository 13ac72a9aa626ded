#include "phone/intake.h"

#include <boost/json.hpp>

#include "accounts/secrets.h"
#include "common/address.h"
#include "common/log.h"
#include "common/text.h"

namespace hub::phone {
namespace json = boost::json;
namespace {

// A phone's own time for a payment is taken when it is near the hub's; a phone whose clock is off by
// more than this gets the hub's time instead, so its payments still land on the right day.
constexpr clock::Millis kTimePast = 24 * 3600 * 1000;
constexpr clock::Millis kTimeFuture = 5 * 60 * 1000;
constexpr size_t kMaxIdBytes = 128;
// How long a payment monitor's key that checked out is remembered, and how many are.
constexpr clock::Millis kProvenFor = 3600 * 1000;
constexpr size_t kMaxProven = 100'000;
// A notification kept for the merchant keeps this much of each of its texts.
constexpr size_t kKeptTextBytes = 512;

net::HttpResponse answer(int status, json::object body) { return net::jsonResponse(status, json::serialize(body)); }

net::HttpResponse failure(int status, std::string_view error) { return net::jsonFailure(status, error); }

// A phone's own time for a payment, as it writes it; empty is the hub's clock.
clock::Millis timeOf(std::string_view text, const clock::Zone& zone, clock::Millis now) {
  if (text.empty()) return now;
  const auto t = clock::readPhoneTime(zone, text);
  if (!t) throw Refused{400, "time must be milliseconds since 1970 or an ISO 8601 time"};
  return (*t < now - kTimePast || *t > now + kTimeFuture) ? now : *t;
}

// The same payment posted twice (a group summary, a second listener, a second app) is one bill.
std::string dedupeKeyOf(const recognise::Payment& payment) {
  return std::to_string(static_cast<int>(payment.channel)) + ":" + std::to_string(payment.fen) + ":" + payment.key;
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
               std::function<void(const store::Bill&)> paymentStored, metrics::Metrics& metrics,
               recognise::Rules rules)
    : settings_(settings),
      store_(store),
      counters_(counters),
      paymentStored_(std::move(paymentStored)),
      metrics_(metrics),
      perKey_(settings.ratePerSecond, settings.rateBurst),
      rules_(std::make_shared<const recognise::Rules>(std::move(rules))) {}

void Intake::setRules(recognise::Rules rules) { rules_ = std::make_shared<const recognise::Rules>(std::move(rules)); }

void Intake::handle(net::HttpRequest request, net::Reply reply) {
  ++metrics_.httpRequests;
  using Reader = Reading (*)(const net::HttpRequest&, clock::Millis now);
  using Dress = net::HttpResponse (*)(net::HttpResponse);
  struct Route {
    std::string_view method, path;
    Reader read;            // the phone request, read and then taken
    Dress dress = nullptr;  // how its app wants every answer written
  };
  static constexpr Route kRoutes[] = {
      {"POST", "/api/v1/payments", ownPayment},
      {"POST", "/api/v1/notifications", ownNotification},
      {"POST", "/api/v1/heartbeat", ownHeartbeat},
      {"POST", "/hook/smsforwarder", smsForwarder},
      {"POST", "/hook/receiptnotice", receiptNotice},
      // The payment monitors' paths, szvone's and a fork's, under the account the address names.
      {"GET", "/vmq/*/appHeart", vmqHeart, vmqAnswer},
      {"GET", "/vmq/*/appPush", vmqPush, vmqAnswer},
      {"GET", "/vmq/*/api/monitor/heart", vmqHeart, vmqAnswer},
      {"GET", "/vmq/*/api/monitor/push", vmqPush, vmqAnswer},
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
    const clock::Millis now = clock::now();
    try {
      Reading reading = route.read(request, now);
      Work work = workFor(reading.report, now);
      return take(request, std::move(reply), std::move(reading.caller), std::move(work), now);
    } catch (const Refused& refused) {
      return reply(failure(refused.status, refused.what()));
    }
  }
  reply(failure(404, "not found"));
}

Intake::Work Intake::workFor(const Report& report, clock::Millis now) const {
  if (!report.notice && !report.paid) return {std::nullopt, report.ignored, report.notification, std::nullopt, "", "ignored"};
  store::NewBill bill;
  if (report.notice) {
    const Notice& n = *report.notice;
    const recognise::Result found = recognise::recognise(*rules_, {n.package, n.title, n.text});
    const std::string package = found.reason == "not a payment app" ? "other" : n.package;
    if (!found.payment) {
      Work work{std::nullopt, found.reason, true, std::nullopt, package, "ignored"};
      if (found.notCounted) {
        work.result = "not_counted";
        work.unrecognised = store::Unrecognised{.receivedAt = now,
                                                .package = text::clipUtf8(n.package, kKeptTextBytes),
                                                .title = text::clipUtf8(n.title, kKeptTextBytes),
                                                .text = text::clipUtf8(n.text, kKeptTextBytes),
                                                .reason = found.reason};
      }
      return work;
    }
    bill.channel = found.payment->channel;
    bill.fen = found.payment->fen;
    // The same payment posted twice (a group summary, a second listener) is one bill.
    bill.dedupeKey = dedupeKeyOf(*found.payment);
    bill.text = n.title.empty() ? n.text : n.text.empty() ? n.title : n.title + " | " + n.text;
  } else {
    bill.channel = report.paid->channel;
    bill.fen = report.paid->fen;
    bill.text = report.words;
    // The notification the app recognised it in, posted by another app of the phone too, is this bill.
    if (report.shown) {
      const recognise::Result found =
          recognise::recognise(*rules_, {report.shown->package, report.shown->title, report.shown->text});
      if (found.payment && found.payment->channel == bill.channel && found.payment->fen == bill.fen)
        bill.dedupeKey = dedupeKeyOf(*found.payment);
    }
  }
  bill.sourceId = report.sourceId;
  bill.time = timeOf(report.time, settings_.zone, now);
  bill.receivedAt = now;
  return {bill, {}, report.notification, std::nullopt, report.notice ? report.notice->package : "", "payment"};
}

std::string Intake::bucketOf(const Caller& caller) {
  return caller.key.empty() ? "a:" + caller.account : "k:" + accounts::digest(caller.key);
}

bool Intake::proven(const Caller& caller, clock::Millis now) const {
  const auto it = proven_.find(bucketOf(caller));
  return it != proven_.end() && now - it->second.at < kProvenFor && caller.signedWith(it->second.key);
}

void Intake::remember(const Caller& caller, const store::Account& account, clock::Millis now) {
  if (proven_.size() >= kMaxProven && !proven_.contains(bucketOf(caller))) return;
  if (!account.intakeKey.empty()) proven_[bucketOf(caller)] = {account.intakeKey, now};
}

struct Intake::Taken {
  Caller caller;
  Work work;
  clock::Millis now = 0;
  bool chargeNow = false;  // the rate bucket was charged before the store job
  std::string address;
  // What the store job found and did.
  std::optional<store::Account> account;
  store::Stored stored;
  store::Bill bill;
};

void Intake::take(const net::HttpRequest& request, net::Reply reply, Caller caller, Work work, clock::Millis now) {
  if (caller.key.empty() && caller.account.empty())
    return reply(failure(401, "no intake key: send Authorization: Bearer KEY or ?key=KEY"));
  // The key decides: no request is refused for other clients' wrong keys from its address, which behind a
  // proxy or a carrier's NAT is everyone's. What bounds a flood of wrong keys is the address's share of
  // the store queue. A key's rate bucket is its own (by its digest, so a long key costs no more); a payment
  // monitor's is its account's, which anyone can name, so it is charged only for a sign that checks out:
  // here against the account's key when a request proved it lately, else once the store has.
  const std::string group = address::groupOf(request.address);
  const bool chargeNow = !caller.signedWith || proven(caller, now);
  if (chargeNow && !perKey_.take(bucketOf(caller), now)) return reply(failure(429, "too many requests"));

  auto t = std::make_shared<Taken>();
  t->caller = std::move(caller);
  t->work = std::move(work);
  t->now = now;
  t->chargeNow = chargeNow;
  t->address = request.address;
  const bool queued = store_.offer(
      group, [t, window = settings_.dedupeWindow](store::Store& st) { keep(st, *t, window); },
      [this, t, reply](const store::Outcome& job) { taken(*t, job, reply); });
  if (!queued) return reply(failure(503, "busy, try again shortly"));
  ++inFlight_;
}

void Intake::keep(store::Store& st, Taken& t, clock::Millis dedupeWindow) {
  t.account = t.caller.key.empty() ? st.accountByName(t.caller.account) : st.accountByKey(t.caller.key);
  // An account without a key has nothing a request could be signed with.
  if (t.account && t.caller.signedWith && (t.account->intakeKey.empty() || !t.caller.signedWith(t.account->intakeKey)))
    t.account.reset();
  if (!t.account || t.account->disabled) return;
  const std::int64_t accountId = t.account->id;
  st.setPhoneSeen(accountId, t.now);
  if (t.work.unrecognised) {
    store::Unrecognised kept = *t.work.unrecognised;
    kept.accountId = accountId;
    st.addUnrecognised(kept);
  }
  if (!t.work.bill) return;
  store::NewBill bill = *t.work.bill;
  bill.accountId = accountId;
  t.stored = st.addBill(bill, dedupeWindow);
  t.bill = {t.stored.number, accountId, bill.channel, bill.fen, bill.time, bill.receivedAt, bill.sourceId, bill.text};
}

void Intake::taken(const Taken& t, const store::Outcome& job, const net::Reply& reply) {
  --inFlight_;
  if (!job.committed()) {
    if (!job.unavailable()) return reply(failure(500, "internal error"));  // a defect, logged as one
    ++metrics_.storeErrors;
    return reply(failure(503, "store not available"));
  }
  if (!t.account || t.account->disabled) {
    const std::string_view why = t.account              ? "account disabled"
                                 : t.caller.signedWith ? "wrong account or sign"
                                                       : "wrong intake key";
    log::info("phone request refused", {{"address", t.address}, {"reason", std::string(why)}});
    return reply(failure(401, why));
  }
  if (t.caller.signedWith) remember(t.caller, *t.account, t.now);
  if (!t.chargeNow) perKey_.take(bucketOf(t.caller), t.now);
  counters_.phoneReported(t.account->id, t.now);
  if (t.work.notification && !t.work.package.empty()) metrics_.notifications.add(t.work.package, t.work.result);
  if (t.work.bill)
    answerPayment(t, reply);
  else
    answerReport(t, reply);
}

// A heartbeat, or a notification that is no payment.
void Intake::answerReport(const Taken& t, const net::Reply& reply) {
  if (!t.work.notification) return reply(answer(200, {{"ok", true}}));
  ++metrics_.notificationsIgnored;
  json::object body{{"ok", true}, {"payment", false}, {"reason", t.work.reason}};
  if (t.work.unrecognised) {
    body["not_counted"] = true;
    log::info("notification not counted",
              {{"account", t.account->name}, {"package", t.work.unrecognised->package}, {"reason", t.work.reason}});
  }
  reply(answer(200, std::move(body)));
}

void Intake::answerPayment(const Taken& t, const net::Reply& reply) {
  const bool duplicate = t.stored.duplicate;
  ++(duplicate ? metrics_.paymentsDuplicate : metrics_.paymentsStored);
  json::object body{{"ok", true}};
  if (t.work.notification) body["payment"] = true;
  body["bill"] = t.stored.number;
  body["duplicate"] = duplicate;
  reply(answer(200, std::move(body)));
  log::info(duplicate ? "payment duplicate" : "payment stored",
            {{"account", t.account->name}, {"bill", std::to_string(t.stored.number)},
             {"amount", money::format(t.bill.fen)}});
  if (!duplicate) paymentStored_(t.bill);
}

void Intake::tick(clock::Millis now) {
  perKey_.sweep(now);
  std::erase_if(proven_, [now](const auto& p) { return now - p.second.at >= kProvenFor; });
}

}  // namespace hub::phone
