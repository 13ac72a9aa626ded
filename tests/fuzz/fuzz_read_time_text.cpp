// Reading untrusted time texts: the result is the earliest time or a real date that writes and reads
// back to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/datetime.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const double t = datetime::readTimeText(std::string_view(reinterpret_cast<const char*>(data), size));
  if (t == datetime::kEarliest) return 0;
  const datetime::Parts p = datetime::toParts(t);
  if (!datetime::isRealDateTime(p)) std::abort();
  if (datetime::fromParts(p) != t) std::abort();
  if (datetime::readTimeText(datetime::formatRowTime(t)) != t) std::abort();
  return 0;
}
