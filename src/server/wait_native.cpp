// Natively there are no window messages to process: the wait is a plain sleep.
#include <chrono>
#include <thread>

#include "server/wait.h"

namespace server {

void waitPumping(int milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace server
