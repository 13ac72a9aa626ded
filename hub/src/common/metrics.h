#pragma once
// What the hub counts, for GET /metrics in the Prometheus text format. Updated from any thread.
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace hub::metrics {

struct Histogram {
  // Upper bounds in seconds; the last bucket is +Inf.
  static constexpr std::array<double, 10> kBounds = {0.0005, 0.001, 0.002, 0.005, 0.01,
                                                     0.02,   0.05,  0.1,   0.5,   1.0};
  std::array<std::atomic<std::uint64_t>, kBounds.size() + 1> buckets{};
  std::atomic<std::uint64_t> count{0};
  std::atomic<std::uint64_t> sumMicros{0};
  void observe(double seconds);
};

// Phone notifications by the app that posted them and what the recogniser made of them ("payment",
// "not_counted", "ignored"). Apps no rule names count as "other", so a phone cannot grow the series.
struct NotificationCounts {
  void add(const std::string& package, const char* result);
  std::map<std::pair<std::string, std::string>, std::uint64_t> snapshot() const;

 private:
  mutable std::mutex lock_;
  std::map<std::pair<std::string, std::string>, std::uint64_t> counts_;
};

struct Metrics {
  std::atomic<std::int64_t> counters{0};          // open counter connections
  std::atomic<std::int64_t> countersLoggedIn{0};  // of them, logged in
  std::atomic<std::uint64_t> loginsOk{0}, loginsFailed{0}, loginsRefused{0}, loginsBusy{0};
  std::atomic<std::uint64_t> registrations{0};
  std::atomic<std::uint64_t> paymentsStored{0}, paymentsDuplicate{0};
  std::atomic<std::uint64_t> notificationsIgnored{0};
  NotificationCounts notifications;
  std::atomic<std::uint64_t> storeErrors{0};
  std::atomic<std::uint64_t> httpRequests{0};
  // Synthesis answers by where the audio came from; errors are every answer without audio.
  std::atomic<std::uint64_t> speechCache{0}, speechEngine{0}, speechError{0};
  Histogram push;  // from a payment's commit to its frame written to each counter's socket

  // The network edge: connections refused, and counters dropped, by reason.
  std::atomic<std::uint64_t> refusedAllFull{0}, refusedAddressFull{0}, refusedOrigin{0};
  std::atomic<std::uint64_t> droppedSlow{0}, droppedNoLogin{0}, droppedTooLarge{0};
  std::atomic<std::uint64_t> floods{0};  // connections that sent more texts than may wait
};

std::string render(const Metrics& m);

}  // namespace hub::metrics
