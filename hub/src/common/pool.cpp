#include "common/pool.h"

namespace hub {

WorkPool::WorkPool(int threads) {
  for (int i = 0; i < threads; ++i)
    threads_.emplace_back([this] {
      for (;;) {
        std::function<void()> work;
        {
          std::unique_lock lock(mutex_);
          wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
          if (queue_.empty()) return;
          work = std::move(queue_.front());
          queue_.pop_front();
        }
        work();
      }
    });
}

WorkPool::~WorkPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_) t.join();
}

void WorkPool::run(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(work));
  }
  wake_.notify_one();
}

}  // namespace hub
