#pragma once
// A few threads for slow work that must stay off the event loop (password hashing).
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace hub {

class WorkPool {
 public:
  explicit WorkPool(int threads);
  ~WorkPool();  // finishes the queued work, then joins
  void run(std::function<void()> work);

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace hub
