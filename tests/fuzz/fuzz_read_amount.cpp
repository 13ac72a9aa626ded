// Reading untrusted amounts: never a NaN, and a finite amount survives being written and read back
// to the 13 digits the program shows.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/money.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const double value = money::readAmount(std::string_view(reinterpret_cast<const char*>(data), size));
  if (std::isnan(value)) std::abort();
  if (!std::isfinite(value) || std::fabs(value) < 1e-300) return 0;  // subnormals carry fewer digits
  const std::string shown = money::formatMoney(value);
  if (shown.empty() || shown.size() > 24) std::abort();
  const double back = money::readAmount(shown);
  if (back != 0 && std::fabs(back - value) > std::fabs(value) * 1e-12) std::abort();
  return 0;
}
