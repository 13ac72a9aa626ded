#include "phone/intake.h"

#include <boost/json.hpp>

#include <charconv>

#include "accounts/secrets.h"
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
constexpr size_t kMaxTextBytes = 4096;
// Requests with a wrong key from one address, within a minute, before that address is refused.
constexpr int kBadKeysPerMinute = 20;

net::HttpResponse answer(int status, json::object body) { return net::jsonResponse(status, json::serialize(body)); }

net::HttpResponse failure(int status, std::string_view error) {
  return answer(status, {{"ok", false}, {"error", error}});
}

struct BadRequest {
  std::string error;
};

std::string_view textOf(const json::value& v) { return {v.get_string().data(), v.get_string().size()}; }

// An optional text field: absent or null is empty; a number is written as its digits.
std::string optionalText(const json::object& body, std::string_view name, size_t limit) {
  const json::value* v = body.if_contains(name);
  if (!v || v->is_null()) return {};
  std::string text;
  if (v->is_string())
    text = textOf(*v);
  else if (v->is_int64() || v->is_uint64())
    text = json::serialize(*v);
  else
    throw BadRequest{std::string(name) + " must be a text"};
  if (text.size() > limit) throw BadRequest{std::string(name) + " is too long"};
  return text;
}

// An amount as text or as a JSON number: a number is read back in its shortest decimal form, so 12.5
// is "12.5" and then exact fen, never a binary fraction.
money::Fen amountOf(const json::object& body) {
  const json::value* v = body.if_contains("amount");
  std::string text;
  if (v && v->is_string()) {
    text = textOf(*v);
  } else if (v && (v->is_int64() || v->is_uint64())) {
    text = json::serialize(*v);
  } else if (v && v->is_double()) {
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, v->get_double(), std::chars_format::fixed);
    if (end.ec == std::errc()) text.assign(digits, end.ptr);
  }
  if (const auto fen = money::parse(text)) return *fen;
  throw BadRequest{"amount must be a positive number of yuan with at most two decimals"};
}

clock::Millis timeOf(const json::object& body, const clock::Zone& zone, clock::Millis now) {
  const std::string text = optionalText(body, "time", 64);
  if (text.empty()) return now;
  const auto t = clock::readPhoneTime(zone, text);
  if (!t) throw BadRequest{"time must be milliseconds since 1970 or an ISO 8601 time"};
  return (*t < now - kTimePast || *t > now + kTimeFuture) ? now : *t;
}

json::object bodyOf(const net::HttpRequest& request) {
  json::error_code ec;
  json::value v = json::parse(request.body, ec);
  if (ec || !v.is_object()) throw BadRequest{"the body must be a JSON object"};
  return std::move(v.as_object());
}

std::string keyOf(const net::HttpRequest& request) {
  if (const auto it = request.headers.find("authorization"); it != request.headers.end()) {
    constexpr std::string_view kBearer = "Bearer ";
    if (it->second.size() > kBearer.size() && it->second.compare(0, kBearer.size(), kBearer) == 0)
      return it->second.substr(kBearer.size());
  }
  return net::queryParameter(request.query, "key");
}

}  // namespace

Intake::Intake(Settings settings, store::Executor& store, counter::Counters& counters, metrics::Metrics& metrics)
    : settings_(settings),
      store_(store),
      counters_(counters),
      metrics_(metrics),
      perKey_(settings.ratePerSecond, settings.rateBurst),
      badKeys_(kBadKeysPerMinute, 60'000) {}

void Intake::handle(net::HttpRequest request, net::Reply reply) {
  ++metrics_.httpRequests;
  using Handler = void (Intake::*)(const net::HttpRequest&, net::Reply);
  struct Route {
    std::string_view method, path;
    Handler handler;
  };
  static constexpr Route kRoutes[] = {
      {"POST", "/api/v1/payments", &Intake::payments},
      {"POST", "/api/v1/notifications", &Intake::notifications},
      {"POST", "/api/v1/heartbeat", &Intake::heartbeat},
      {"GET", "/healthz", &Intake::health},
      {"GET", "/metrics", &Intake::metricsPage},
  };
  for (const Route& route : kRoutes) {
    if (route.path != request.path) continue;
    if (route.method != request.method && !(route.method == "GET" && request.method == "HEAD")) {
      net::HttpResponse r = failure(405, "method not allowed");
      r.headers.emplace_back("Allow", std::string(route.method));
      return reply(std::move(r));
    }
    try {
      return (this->*route.handler)(request, reply);  // a copy: a bad request is answered below
    } catch (const BadRequest& bad) {
      return reply(failure(400, bad.error));
    }
  }
  reply(failure(404, "not found"));
}

void Intake::payments(const net::HttpRequest& request, net::Reply reply) {
  const json::object body = bodyOf(request);
  const json::value* channelField = body.if_contains("channel");
  const auto channel = channelField && channelField->is_string() ? channelNamed(textOf(*channelField)) : std::nullopt;
  if (!channel) throw BadRequest{R"(channel must be "wechat" or "alipay")"};
  const clock::Millis now = clock::now();
  store::NewBill bill;
  bill.channel = *channel;
  bill.fen = amountOf(body);
  bill.sourceId = optionalText(body, "id", kMaxIdBytes);
  bill.time = timeOf(body, settings_.zone, now);
  bill.receivedAt = now;
  take(request, std::move(reply), {bill, {}});
}

void Intake::notifications(const net::HttpRequest& request, net::Reply reply) {
  const json::object body = bodyOf(request);
  const std::string package = optionalText(body, "package", kMaxTextBytes);
  const std::string title = optionalText(body, "title", kMaxTextBytes);
  const std::string text = optionalText(body, "text", kMaxTextBytes);
  const clock::Millis now = clock::now();
  const recognise::Result found = recognise::recognise({package, title, text});
  if (!found.payment) return take(request, std::move(reply), {std::nullopt, found.reason, true});
  store::NewBill bill;
  bill.channel = found.payment->channel;
  bill.fen = found.payment->fen;
  bill.sourceId = optionalText(body, "id", kMaxIdBytes);
  // The same payment posted twice (a group summary, a second listener) is one bill.
  bill.dedupeKey = std::to_string(static_cast<int>(bill.channel)) + ":" + std::to_string(bill.fen) + ":" +
                   found.payment->key;
  bill.text = title.empty() ? text : text.empty() ? title : title + " | " + text;
  bill.time = timeOf(body, settings_.zone, now);
  bill.receivedAt = now;
  take(request, std::move(reply), {bill, {}, true});
}

void Intake::heartbeat(const net::HttpRequest& request, net::Reply reply) {
  take(request, std::move(reply), {});
}

void Intake::health(const net::HttpRequest&, net::Reply reply) {
  store_.run([](store::Store& st) { st.revision(); },
             [reply = std::move(reply), this](bool committed) {
               if (!committed) ++metrics_.storeErrors;
               reply(committed ? answer(200, {{"ok", true}}) : failure(503, "store not available"));
             });
}

void Intake::metricsPage(const net::HttpRequest&, net::Reply reply) {
  net::HttpResponse page;
  page.body = metrics::render(metrics_);
  page.contentType = "text/plain; version=0.0.4";
  reply(std::move(page));
}

void Intake::take(const net::HttpRequest& request, net::Reply reply, Work work) {
  const std::string key = keyOf(request);
  if (key.empty()) return reply(failure(401, "no intake key: send Authorization: Bearer KEY or ?key=KEY"));
  const clock::Millis now = clock::now();
  if (badKeys_.blocked(request.address, now) || !perKey_.take(key, now)) return reply(failure(429, "too many requests"));

  struct Outcome {
    std::optional<store::Account> account;
    store::Stored stored;
    store::Bill bill;
  };
  auto outcome = std::make_shared<Outcome>();
  ++inFlight_;
  store_.run(
      [outcome, key, work, now, window = settings_.dedupeWindow](store::Store& st) {
        outcome->account = st.accountByKey(key);
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
      [this, outcome, work, reply = std::move(reply), address = request.address, now](bool committed) {
        --inFlight_;
        if (!committed) {
          ++metrics_.storeErrors;
          return reply(failure(503, "store not available"));
        }
        if (!outcome->account || outcome->account->disabled) {
          badKeys_.failed(address, now);
          log::info("phone request refused", {{"address", address}, {"reason", outcome->account ? "account disabled" : "wrong key"}});
          return reply(failure(401, outcome->account ? "account disabled" : "wrong intake key"));
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
        if (!duplicate && settings_.pushStored) counters_.paymentStored(outcome->bill);
      });
}

void Intake::tick(clock::Millis now) {
  perKey_.sweep(now);
  badKeys_.sweep(now);
}

}  // namespace hub::phone
