#include "common/metrics.h"

#include <cstdio>

#include "common/log.h"

namespace hub::metrics {

void Histogram::observe(double seconds) {
  size_t i = 0;
  while (i < kBounds.size() && seconds > kBounds[i]) ++i;
  ++buckets[i];
  ++count;
  sumMicros += static_cast<std::uint64_t>(seconds > 0 ? seconds * 1e6 : 0);
}

void NotificationCounts::add(const std::string& package, const char* result) {
  std::lock_guard hold(lock_);
  ++counts_[{package, result}];
}

std::map<std::pair<std::string, std::string>, std::uint64_t> NotificationCounts::snapshot() const {
  std::lock_guard hold(lock_);
  return counts_;
}

namespace {

void line(std::string& out, const char* name, const char* labels, double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", value);
  out += name;
  out += labels;
  out += ' ';
  out += text;
  out += '\n';
}

void help(std::string& out, const char* name, const char* type, const char* text) {
  out += std::string("# HELP ") + name + " " + text + "\n# TYPE " + name + " " + type + "\n";
}

struct Series {
  const char* labels;
  double value;
};

void family(std::string& out, const char* name, const char* type, const char* text,
            std::initializer_list<Series> series) {
  help(out, name, type, text);
  for (const Series& s : series) line(out, name, s.labels, s.value);
}

}  // namespace

std::string render(const Metrics& m) {
  std::string out;
  auto v = [](const auto& atomic) { return static_cast<double>(atomic.load()); };
  family(out, "kassaro_hub_counters", "gauge", "Open counter connections.", {{"", v(m.counters)}});
  family(out, "kassaro_hub_counters_logged_in", "gauge", "Counter connections logged in to an account.",
         {{"", v(m.countersLoggedIn)}});
  family(out, "kassaro_hub_logins_total", "counter", "Counter logins and page sign-ins by result.",
         {{"{result=\"ok\"}", v(m.loginsOk)},
          {"{result=\"failed\"}", v(m.loginsFailed)},
          {"{result=\"refused\"}", v(m.loginsRefused)},
          {"{result=\"busy\"}", v(m.loginsBusy)}});
  family(out, "kassaro_hub_registrations_total", "counter", "Accounts registered by counters.",
         {{"", v(m.registrations)}});
  family(out, "kassaro_hub_payments_total", "counter", "Payments taken from phones by result.",
         {{"{result=\"stored\"}", v(m.paymentsStored)}, {"{result=\"duplicate\"}", v(m.paymentsDuplicate)}});
  family(out, "kassaro_hub_notifications_ignored_total", "counter", "Phone notifications that were no payment.",
         {{"", v(m.notificationsIgnored)}});
  help(out, "kassaro_hub_notifications_total", "counter",
       "Phone notifications by app and result: payment, not_counted (looked like money in, no rule counted "
       "it), ignored.");
  for (const auto& [key, count] : m.notifications.snapshot())
    line(out, "kassaro_hub_notifications_total",
         ("{package=\"" + key.first + "\",result=\"" + key.second + "\"}").c_str(), static_cast<double>(count));
  family(out, "kassaro_hub_store_errors_total", "counter", "Store transactions that failed.",
         {{"", v(m.storeErrors)}});
  family(out, "kassaro_hub_http_requests_total", "counter", "HTTP requests answered.", {{"", v(m.httpRequests)}});
  family(out, "kassaro_hub_speech_answers_total", "counter", "Synthesis requests answered, by source.",
         {{"{source=\"cache\"}", v(m.speechCache)},
          {"{source=\"engine\"}", v(m.speechEngine)},
          {"{source=\"error\"}", v(m.speechError)}});
  family(out, "kassaro_hub_connections_refused_total", "counter", "Connections and upgrades refused, by reason.",
         {{"{reason=\"all_full\"}", v(m.refusedAllFull)},
          {"{reason=\"address_full\"}", v(m.refusedAddressFull)},
          {"{reason=\"origin\"}", v(m.refusedOrigin)}});
  family(out, "kassaro_hub_counters_dropped_total", "counter", "Counter connections the hub closed, by reason.",
         {{"{reason=\"slow\"}", v(m.droppedSlow)},
          {"{reason=\"no_login\"}", v(m.droppedNoLogin)},
          {"{reason=\"too_large\"}", v(m.droppedTooLarge)}});
  family(out, "kassaro_hub_counter_floods_total", "counter",
         "Counter connections that sent more texts than may wait; the excess was ignored.", {{"", v(m.floods)}});
  family(out, "kassaro_hub_log_lines_dropped_total", "counter", "Log lines dropped while the log writer lagged.",
         {{"", static_cast<double>(log::droppedLines())}});

  help(out, "kassaro_hub_push_seconds", "histogram", "From a payment's commit to its frame written to a counter.");
  std::uint64_t cumulative = 0;
  for (size_t i = 0; i <= Histogram::kBounds.size(); ++i) {
    cumulative += m.push.buckets[i].load();
    char labels[48];
    if (i < Histogram::kBounds.size())
      std::snprintf(labels, sizeof labels, "{le=\"%g\"}", Histogram::kBounds[i]);
    else
      std::snprintf(labels, sizeof labels, "{le=\"+Inf\"}");
    line(out, "kassaro_hub_push_seconds_bucket", labels, static_cast<double>(cumulative));
  }
  line(out, "kassaro_hub_push_seconds_sum", "", m.push.sumMicros.load() / 1e6);
  line(out, "kassaro_hub_push_seconds_count", "", static_cast<double>(m.push.count.load()));
  return out;
}

}  // namespace hub::metrics
