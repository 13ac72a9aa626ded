#include "server/wait.h"

namespace server {

long long waitMilliseconds(int count, WaitUnit unit) {
  if (count < 1) return 0;
  switch (unit) {
    case WaitUnit::Seconds: return count * 1000LL;
    case WaitUnit::Minutes: return count * 60000LL;
    case WaitUnit::Hours: return count * 3600000LL;
    case WaitUnit::Milliseconds: break;
  }
  return count;
}

}  // namespace server
