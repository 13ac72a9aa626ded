#include "operator_watch.h"

#include <memory>

namespace hub {
namespace {

// A poll of the store under way for longer than this makes /healthz answer "not available".
constexpr clock::Millis kPollLate = 3000;

}  // namespace

OperatorWatch::OperatorWatch(store::Executor& store, counter::Counters& counters, metrics::Metrics& metrics,
                             std::int64_t revision, const store::Watch* notifications)
    : store_(store), counters_(counters), metrics_(metrics), revision_(revision), notifications_(notifications) {}

// A moved revision says to read the server information and the logged-in accounts again (disabled, or
// given a new password).
void OperatorWatch::poll() {
  if (pollingSince_ != 0) return;
  pollingSince_ = clock::now();
  auto seen = std::make_shared<Seen>();
  const std::uint64_t attaches = counters_.attaches();
  store_.run(
      [seen, loggedIn = counters_.loggedInAccounts(), known = revision_](store::Store& st) {
        seen->revision = st.revision();
        if (seen->revision == known) return;
        seen->info = st.serverInfo();
        for (const auto& [id, hash] : loggedIn) {
          const auto account = st.accountById(id);
          if (!account || account->disabled || account->passwordHash != hash) seen->stale.emplace_back(id, hash);
        }
      },
      [this, seen, attaches](const store::Outcome& job) { polled(*seen, job, attaches); });
}

void OperatorWatch::polled(const Seen& seen, const store::Outcome& job, std::uint64_t attaches) {
  pollingSince_ = 0;
  const bool committed = job.committed();
  if (job.unavailable()) ++metrics_.storeErrors;
  problem_ = !committed                                       ? "store not available"
             : notifications_ && !notifications_->listening() ? "store notifications not listening"
                                                              : "";
  if (!committed || seen.revision == revision_) return;
  counters_.serverInfoChanged(seen.info);
  for (const auto& [id, hash] : seen.stale) counters_.logOut(id, hash);
  // A counter that logged in while this poll was under way was not in its list: the next poll looks
  // again rather than take this revision as seen.
  if (counters_.attaches() == attaches) revision_ = seen.revision;
}

std::string OperatorWatch::trouble(clock::Millis now) const {
  if (pollingSince_ != 0 && now - pollingSince_ > kPollLate) return "store not answering";
  return problem_;
}

}  // namespace hub
