#pragma once
// The store's own thread. Every request's store work runs here, one at a time, so the engine has one
// writer; the work that queues up while a commit is on its way is grouped into the next transaction, so a
// burst of payments costs a few durable commits, not one each.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "store/store.h"

namespace hub::store {

// What became of one job's work: kept by a committed transaction, or not, and then why, in the words of
// whatever failed. Only the engine's own failures (Unavailable) are the store being unavailable; anything
// else a job threw is a defect of ours.
struct Outcome {
  enum class Ended { committed, unavailable, defect };
  Ended ended = Ended::committed;
  std::string reason;  // unavailable: the engine's words; defect: what the job threw

  bool committed() const { return ended == Ended::committed; }
  bool unavailable() const { return ended == Ended::unavailable; }
};

class Executor {
 public:
  // Hands a function to the thread that owns the requests (the event loop), to run there.
  using Post = std::function<void(std::function<void()>)>;

  // `limit`: the most jobs offer() lets wait (0: no limit).
  Executor(std::unique_ptr<Store> store, Post toLoop, std::size_t limit = 0);
  // Finishes the work already queued, then ends the thread.
  ~Executor();

  using Work = std::function<void(Store&)>;
  using Done = std::function<void(const Outcome&)>;

  // Runs work on the store thread inside a transaction (a savepoint of its own within it), then, once
  // that transaction is committed, done with a committed outcome through toLoop. When the store is not
  // available, or work throws, nothing work did is kept and done hears why. A batch the engine failed is
  // logged once, with the engine's words; a job that threw anything else is logged as a defect. Work must
  // not block on anything but the store.
  void run(Work work, Done done);
  // run() for a client's request, `client` its address group: refused (false, nothing queued, done never
  // called) while the queue holds `limit` jobs, or an eighth of them from this client, so that a flood
  // from one place leaves room for everyone else. The hub's own work (pushes, upkeep) uses run().
  bool offer(const std::string& client, Work work, Done done);

  // How many transactions have been committed so far: against the jobs run, how well bursts are grouped.
  std::int64_t commits() const { return commits_; }

 private:
  struct Job {
    Work work;
    Done done;
    std::string client;
    bool offered = false;  // counted against its client's share
  };
  void loop();

  std::unique_ptr<Store> store_;
  Post toLoop_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> queue_;
  std::size_t limit_;
  std::unordered_map<std::string, std::size_t> waiting_;  // queued client jobs by client
  bool stopping_ = false;
  std::atomic<std::int64_t> commits_ = 0;
  std::thread thread_;
};

}  // namespace hub::store
