#pragma once
// Limits kept in memory on the event loop: failed logins in a sliding window, and a token bucket per key.
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/clock.h"

namespace hub::accounts {

// After `limit` failures for one key (an account name, an address) within `window`, further attempts are
// refused until the oldest failure leaves the window.
class FailureWindow {
 public:
  FailureWindow(int limit, clock::Millis window) : limit_(limit), window_(window) {}
  bool blocked(const std::string& key, clock::Millis now);
  void failed(const std::string& key, clock::Millis now);
  // Takes back one failure counted at `at` (an attempt counted when it started that then succeeded).
  void forgive(const std::string& key, clock::Millis at);
  void sweep(clock::Millis now);  // forgets keys whose failures have all left the window

 private:
  void prune(std::deque<clock::Millis>& times, clock::Millis now) const;
  int limit_;
  clock::Millis window_;
  std::unordered_map<std::string, std::deque<clock::Millis>> failures_;
};

// `perSecond` requests a second for each key, with bursts up to `burst`.
class RateLimit {
 public:
  RateLimit(double perSecond, int burst) : perSecond_(perSecond), burst_(burst) {}
  bool take(const std::string& key, clock::Millis now);
  void sweep(clock::Millis now);  // forgets keys whose bucket is full again

 private:
  struct Bucket {
    double tokens;
    clock::Millis at;
  };
  double refilled(const Bucket& b, clock::Millis now) const;
  double perSecond_;
  int burst_;
  std::unordered_map<std::string, Bucket> buckets_;
};

}  // namespace hub::accounts
