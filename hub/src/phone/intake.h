#pragma once
// The phone side: HTTP requests from the app on the merchant's phone, in our own JSON or in a forwarder
// app's format (phone/forwarders.h), each naming the account by its intake key or a sign made with it. A
// payment is committed to the store before it is answered or pushed.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

#include "accounts/throttle.h"
#include "common/clock.h"
#include "common/metrics.h"
#include "counter/counters.h"
#include "net/edge.h"
#include "phone/forwarders.h"
#include "recognise/recogniser.h"
#include "store/executor.h"

namespace hub::phone {

struct Settings {
  clock::Zone zone;
  clock::Millis dedupeWindow = 10'000;
  double ratePerSecond = 20;
  int rateBurst = 100;
};

class Intake {
 public:
  // `paymentStored` is told of every new bill once it is committed.
  Intake(Settings settings, store::Executor& store, counter::Counters& counters,
         std::function<void(const store::Bill&)> paymentStored, metrics::Metrics& metrics, recognise::Rules rules);

  // The recogniser's rules from the next notification on (on SIGHUP); requests in flight keep theirs.
  void setRules(recognise::Rules rules);

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
    std::optional<store::Unrecognised> unrecognised;  // kept for the merchant to see
    std::string package;                 // for the metrics: the app, or "other" when no rule names it
    const char* result = "ignored";      // for the metrics: "payment", "not_counted" or "ignored"
  };
  // What a report asks of the store: a notice recognised, the bill it makes.
  Work workFor(const Report& report, clock::Millis now) const;
  // Checks the caller and the rate, then stores the work for the caller's account and answers.
  void take(const net::HttpRequest& request, net::Reply reply, Caller caller, Work work, clock::Millis now);
  // A request taken, from its store job (on the store's thread) to its answer (on the loop).
  struct Taken;
  static void keep(store::Store& st, Taken& request, clock::Millis dedupeWindow);
  void taken(const Taken& request, const store::Outcome& job, const net::Reply& reply);
  void answerReport(const Taken& request, const net::Reply& reply);
  void answerPayment(const Taken& request, const net::Reply& reply);

  Settings settings_;
  store::Executor& store_;
  counter::Counters& counters_;
  std::function<void(const store::Bill&)> paymentStored_;
  metrics::Metrics& metrics_;
  // The payment monitors' accounts whose sign checked out lately, with the account's key to check the
  // next sign against before its rate bucket is charged. By bucketOf(): "a:" and the account's name.
  struct Proven {
    std::string key;
    clock::Millis at = 0;
  };
  bool proven(const Caller& caller, clock::Millis now) const;
  void remember(const Caller& caller, const store::Account& account, clock::Millis now);
  static std::string bucketOf(const Caller& caller);

  accounts::RateLimit perKey_;
  std::unordered_map<std::string, Proven> proven_;
  std::size_t inFlight_ = 0;
  std::shared_ptr<const recognise::Rules> rules_;
};

}  // namespace hub::phone
