// Natively there are no window messages to process: the wait is a plain sleep.
#include <chrono>
#include <thread>

#include "server/wait.h"

namespace server {

int waitPumping(int count, WaitUnit unit) {
  std::this_thread::sleep_for(std::chrono::milliseconds(waitMilliseconds(count, unit)));
  return 1;
}

}  // namespace server
