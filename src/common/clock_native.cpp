// The clock natively: local time from the C library, ticks from the monotonic clock. (Not <chrono>:
// its "µs" literal cannot be written in the GBK execution character set.)
#include <time.h>

#include "common/datetime.h"

namespace datetime {

double now() {
  const time_t t = time(nullptr);
  tm local{};
  localtime_r(&t, &local);
  Parts p;
  p.year = local.tm_year + 1900;
  p.month = local.tm_mon + 1;
  p.day = local.tm_mday;
  p.hour = local.tm_hour;
  p.minute = local.tm_min;
  p.second = local.tm_sec > 59 ? 59 : local.tm_sec;  // a leap second has no place in the date-time
  return fromParts(p);
}

unsigned tickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<unsigned>(static_cast<unsigned long long>(ts.tv_sec) * 1000u +
                               static_cast<unsigned long long>(ts.tv_nsec) / 1000000u);
}

}  // namespace datetime
