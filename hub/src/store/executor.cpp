#include "store/executor.h"

#include <algorithm>
#include <vector>

#include "common/log.h"

namespace hub::store {
namespace {

// The most jobs one transaction takes: enough to swallow a burst, few enough that the first job's answer
// does not wait behind a long one.
constexpr size_t kBatch = 256;

// What a batch came to: each job's outcome, and the engine's words for the first failure it had.
struct Batch {
  std::vector<Outcome> outcomes;
  std::string failure;  // empty: the engine failed nothing
  bool committed = false;
};

Outcome defect(std::string what) { return {.ended = Outcome::Ended::defect, .reason = std::move(what)}; }

// A job the engine failed, alone (the transaction went on) or with the whole batch.
void failed(Batch& batch, Outcome& outcome, const Unavailable& e) {
  if (batch.failure.empty()) batch.failure = e.what();
  outcome = {.ended = Outcome::Ended::unavailable, .reason = batch.failure};
}

// The engine gave up the transaction: every job not already failed by a defect of its own goes with it.
Batch& lost(Batch& batch, const Unavailable& e) {
  for (Outcome& outcome : batch.outcomes)
    if (outcome.ended != Outcome::Ended::defect) failed(batch, outcome, e);
  return batch;
}

// Runs the batch in one transaction, each job in a savepoint of its own.
Batch runBatch(Store& store, const std::vector<Executor::Work*>& work) {
  Batch batch;
  batch.outcomes.resize(work.size());
  try {
    store.begin();
  } catch (const Unavailable& e) {
    return lost(batch, e);
  }
  for (size_t i = 0; i < work.size(); ++i) {
    try {
      store.savepoint();
      (*work[i])(store);
      store.releaseSavepoint();
      continue;
    } catch (const Unavailable& e) {
      failed(batch, batch.outcomes[i], e);
    } catch (const std::exception& e) {
      batch.outcomes[i] = defect(e.what());
    } catch (...) {
      batch.outcomes[i] = defect("something that is not a std::exception");
    }
    try {
      store.rollbackToSavepoint();
    } catch (const Unavailable& e) {
      // The engine gave up the whole transaction (SQLite does on some disk errors): the jobs before this
      // one went with it, and the ones after it must not run outside a transaction.
      return lost(batch, e);
    }
  }
  try {
    store.commit();
    batch.committed = true;
  } catch (const Unavailable& e) {
    lost(batch, e);
    try {
      store.rollback();
    } catch (const Unavailable&) {
      // The engine rolled it back already.
    }
  }
  return batch;
}

// One line for a batch the engine failed, whatever the number of jobs it took; one for each defect.
void logFailures(const Batch& batch) {
  size_t unavailable = 0;
  for (const Outcome& outcome : batch.outcomes) {
    if (outcome.unavailable()) ++unavailable;
    if (outcome.ended == Outcome::Ended::defect) log::error("defect in a store job", {{"what", outcome.reason}});
  }
  if (batch.failure.empty()) return;
  const std::string jobs = std::to_string(unavailable) + " of " + std::to_string(batch.outcomes.size());
  log::error("store unavailable", {{"reason", batch.failure}, {"jobs", jobs}});
}

}  // namespace

Executor::Executor(std::unique_ptr<Store> store, Post toLoop, std::size_t limit)
    : store_(std::move(store)), toLoop_(std::move(toLoop)), limit_(limit), thread_([this] { loop(); }) {}

Executor::~Executor() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void Executor::run(Work work, Done done) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back({std::move(work), std::move(done), {}, false});
  }
  wake_.notify_one();
}

bool Executor::offer(const std::string& client, Work work, Done done) {
  {
    std::lock_guard lock(mutex_);
    if (limit_ > 0) {
      const auto it = waiting_.find(client);
      const std::size_t mine = it == waiting_.end() ? 0 : it->second;
      if (queue_.size() >= limit_ || mine >= std::max<std::size_t>(limit_ / 8, 1)) return false;
    }
    ++waiting_[client];
    queue_.push_back({std::move(work), std::move(done), client, true});
  }
  wake_.notify_one();
  return true;
}

void Executor::loop() {
  for (;;) {
    std::vector<Job> batch;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, and nothing left to do
      while (!queue_.empty() && batch.size() < kBatch) {
        Job& job = queue_.front();
        if (job.offered)
          if (const auto it = waiting_.find(job.client); it != waiting_.end() && --it->second == 0) waiting_.erase(it);
        batch.push_back(std::move(job));
        queue_.pop_front();
      }
    }
    std::vector<Work*> work;
    for (Job& job : batch) work.push_back(&job.work);
    Batch ran = runBatch(*store_, work);
    if (ran.committed) ++commits_;
    logFailures(ran);
    // Only now, with the transaction durable (or gone), may anyone be told.
    for (size_t i = 0; i < batch.size(); ++i)
      if (batch[i].done)
        toLoop_([done = std::move(batch[i].done), outcome = std::move(ran.outcomes[i])] { done(outcome); });
  }
}

}  // namespace hub::store
