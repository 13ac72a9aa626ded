#include "store/executor.h"

#include <algorithm>
#include <vector>

namespace hub::store {
namespace {

// The most jobs one transaction takes: enough to swallow a burst, few enough that the first job's answer
// does not wait behind a long one.
constexpr size_t kBatch = 256;

struct Outcome {
  bool committed = false;
  std::vector<bool> kept;  // whose work the commit holds
};

// Runs the batch in one transaction, each job in a savepoint of its own.
Outcome runBatch(Store& store, const std::vector<std::function<void(Store&)>*>& work) {
  const Outcome lost{.committed = false, .kept = std::vector<bool>(work.size(), false)};
  try {
    store.begin();
  } catch (const Unavailable&) {
    return lost;
  }
  Outcome outcome = lost;
  for (size_t i = 0; i < work.size(); ++i) {
    try {
      store.savepoint();
      (*work[i])(store);
      store.releaseSavepoint();
      outcome.kept[i] = true;
    } catch (...) {
      try {
        store.rollbackToSavepoint();
      } catch (const Unavailable&) {
        // The engine gave up the whole transaction (SQLite does on some disk errors): the jobs before this
        // one went with it, and the ones after it must not run outside a transaction.
        return lost;
      }
    }
  }
  try {
    store.commit();
    outcome.committed = true;
    return outcome;
  } catch (const Unavailable&) {
    try {
      store.rollback();
    } catch (const Unavailable&) {
      // The engine rolled it back already.
    }
    return lost;
  }
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

void Executor::run(std::function<void(Store&)> work, std::function<void(bool committed)> done) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back({std::move(work), std::move(done), {}, false});
  }
  wake_.notify_one();
}

bool Executor::offer(const std::string& client, std::function<void(Store&)> work,
                     std::function<void(bool committed)> done) {
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
    std::vector<std::function<void(Store&)>*> work;
    for (Job& job : batch) work.push_back(&job.work);
    const Outcome outcome = runBatch(*store_, work);
    if (outcome.committed) ++commits_;
    // Only now, with the transaction durable (or gone), may anyone be told.
    for (size_t i = 0; i < batch.size(); ++i)
      if (batch[i].done) toLoop_([done = std::move(batch[i].done), ok = outcome.kept[i]] { done(ok); });
  }
}

}  // namespace hub::store
