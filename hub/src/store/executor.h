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

class Executor {
 public:
  // Hands a function to the thread that owns the requests (the event loop), to run there.
  using Post = std::function<void(std::function<void()>)>;

  // `limit`: the most jobs offer() lets wait (0: no limit).
  Executor(std::unique_ptr<Store> store, Post toLoop, std::size_t limit = 0);
  // Finishes the work already queued, then ends the thread.
  ~Executor();

  // Runs work on the store thread inside a transaction (a savepoint of its own within it), then, once
  // that transaction is committed, done(true) through toLoop. When the store is not available, or work
  // throws, nothing work did is kept and done(false) runs instead. Work must not block on anything but
  // the store.
  void run(std::function<void(Store&)> work, std::function<void(bool committed)> done);
  // run() for a client's request, `client` its address group: refused (false, nothing queued, done never
  // called) while the queue holds `limit` jobs, or an eighth of them from this client, so that a flood
  // from one place leaves room for everyone else. The hub's own work (pushes, upkeep) uses run().
  bool offer(const std::string& client, std::function<void(Store&)> work, std::function<void(bool committed)> done);

  // How many transactions have been committed so far: against the jobs run, how well bursts are grouped.
  std::int64_t commits() const { return commits_; }

 private:
  struct Job {
    std::function<void(Store&)> work;
    std::function<void(bool)> done;
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
