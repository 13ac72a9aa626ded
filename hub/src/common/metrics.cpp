#include "common/metrics.h"

#include <cstdio>

namespace hub::metrics {

void Histogram::observe(double seconds) {
  size_t i = 0;
  while (i < kBounds.size() && seconds > kBounds[i]) ++i;
  ++buckets[i];
  ++count;
  sumMicros += static_cast<std::uint64_t>(seconds > 0 ? seconds * 1e6 : 0);
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

}  // namespace

std::string render(const Metrics& m) {
  std::string out;
  help(out, "kassaro_hub_counters", "gauge", "Open counter connections.");
  line(out, "kassaro_hub_counters", "", m.counters.load());
  help(out, "kassaro_hub_counters_logged_in", "gauge", "Counter connections logged in to an account.");
  line(out, "kassaro_hub_counters_logged_in", "", m.countersLoggedIn.load());
  help(out, "kassaro_hub_logins_total", "counter", "Counter logins by result.");
  line(out, "kassaro_hub_logins_total", "{result=\"ok\"}", m.loginsOk.load());
  line(out, "kassaro_hub_logins_total", "{result=\"failed\"}", m.loginsFailed.load());
  line(out, "kassaro_hub_logins_total", "{result=\"refused\"}", m.loginsRefused.load());
  help(out, "kassaro_hub_registrations_total", "counter", "Accounts registered by counters.");
  line(out, "kassaro_hub_registrations_total", "", m.registrations.load());
  help(out, "kassaro_hub_payments_total", "counter", "Payments taken from phones by result.");
  line(out, "kassaro_hub_payments_total", "{result=\"stored\"}", m.paymentsStored.load());
  line(out, "kassaro_hub_payments_total", "{result=\"duplicate\"}", m.paymentsDuplicate.load());
  help(out, "kassaro_hub_notifications_ignored_total", "counter", "Phone notifications that were no payment.");
  line(out, "kassaro_hub_notifications_ignored_total", "", m.notificationsIgnored.load());
  help(out, "kassaro_hub_store_errors_total", "counter", "Store transactions that failed.");
  line(out, "kassaro_hub_store_errors_total", "", m.storeErrors.load());
  help(out, "kassaro_hub_http_requests_total", "counter", "HTTP requests answered.");
  line(out, "kassaro_hub_http_requests_total", "", m.httpRequests.load());

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
