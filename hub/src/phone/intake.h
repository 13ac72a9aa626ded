#pragma once
// The phone side: HTTP requests with JSON bodies from the app on the merchant's phone, each carrying the
// account's intake key. A payment is committed to the store before it is answered or pushed.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "accounts/throttle.h"
#include "common/clock.h"
#include "common/metrics.h"
#include "counter/counters.h"
#include "net/edge.h"
#include "store/executor.h"

namespace hub::phone {

struct Settings {
  clock::Zone zone;
  clock::Millis dedupeWindow = 10'000;
  double ratePerSecond = 20;
  int rateBurst = 100;
  // Whether a stored bill is pushed to the counters from here; not when the store's engine brings every
  // stored bill back to every node (PostgreSQL), so that each is pushed once.
  bool pushStored = true;
};

class Intake {
 public:
  Intake(Settings settings, store::Executor& store, counter::Counters& counters, metrics::Metrics& metrics);

  void handle(net::HttpRequest request, net::Reply reply);
  void tick(clock::Millis now);  // the limits' upkeep

  // Requests taken and not yet answered, for a clean end.
  std::size_t inFlight() const { return inFlight_; }

 private:
  // What a phone request asks of the store once its key has named the account.
  struct Work {
    std::optional<store::NewBill> bill;  // none: a report only (heartbeat, a notification that is no payment)
    std::string reason;                  // for a notification that is no payment
    bool notification = false;           // the answer then says whether it was a payment
  };
  void payments(const net::HttpRequest& request, net::Reply reply);
  void notifications(const net::HttpRequest& request, net::Reply reply);
  void heartbeat(const net::HttpRequest& request, net::Reply reply);
  void health(const net::HttpRequest& request, net::Reply reply);
  void metricsPage(const net::HttpRequest& request, net::Reply reply);
  // Checks the key and the rate, then stores the work for the key's account and answers.
  void take(const net::HttpRequest& request, net::Reply reply, Work work);

  Settings settings_;
  store::Executor& store_;
  counter::Counters& counters_;
  metrics::Metrics& metrics_;
  accounts::RateLimit perKey_;
  accounts::FailureWindow badKeys_;
  std::size_t inFlight_ = 0;
};

}  // namespace hub::phone
