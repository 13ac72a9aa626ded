#pragma once
// The operator's command line changes the store from another process (a notice, maintenance, an account
// disabled or given a new password); the hub hears of it by polling the store's revision once a second.
// The same poll is what /healthz answers from, so a health check never costs a store job of its own.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "common/metrics.h"
#include "counter/counters.h"
#include "store/executor.h"
#include "store/store.h"

namespace hub {

class OperatorWatch {
 public:
  // `revision` is the store's as the hub opened it; `notifications` is the PostgreSQL watch, if any,
  // whose silence is a health problem too.
  OperatorWatch(store::Executor& store, counter::Counters& counters, metrics::Metrics& metrics,
                std::int64_t revision, const store::Watch* notifications);

  // Starts a poll unless one is under way; on the loop, once a second.
  void poll();
  // The health problem as of now (empty: none): the last poll's, or a poll that takes too long.
  std::string trouble(clock::Millis now) const;

 private:
  struct Seen {
    std::int64_t revision = 0;
    store::ServerInfo info;
    std::vector<std::pair<std::int64_t, std::string>> stale;  // account, the hash its counters logged in with
  };
  void polled(const Seen& seen, const store::Outcome& job, std::uint64_t attaches);

  store::Executor& store_;
  counter::Counters& counters_;
  metrics::Metrics& metrics_;
  std::int64_t revision_;
  const store::Watch* notifications_;
  clock::Millis pollingSince_ = 0;  // 0: no poll under way
  std::string problem_;
};

}  // namespace hub
