#include "server/machine_id.h"

#include "server/md5.h"

namespace server {

int32_t identityNumberFromWords(const IdentifyWords& w) {
  uint32_t n = (uint32_t(w[6]) + w[3] + w[21] + w[1]) << 16;
  for (int i = 27; i <= 46; ++i) n += w[i];
  for (int i = 23; i <= 26; ++i) n += w[i];
  for (int i = 10; i <= 19; ++i) n += w[i];
  return static_cast<int32_t>(n);
}

int32_t identityNumberFromText(const std::string& text) {
  const std::array<uint8_t, 16> d = md5::digest(text);
  return static_cast<int32_t>(uint32_t(d[0]) | uint32_t(d[1]) << 8 | uint32_t(d[2]) << 16 | uint32_t(d[3]) << 24);
}

int32_t diskIdentityNumber() {
  IdentifyWords words{};
  if (readDiskIdentify(words)) return identityNumberFromWords(words);
  std::string text;
  if (readStorageSerial(text) || readMachineGuid(text)) return identityNumberFromText(text);
  return 0;
}

std::string machineIdFor(int32_t diskNumber) {
  const double salted = diskNumber + kMachineSalt;
  const auto low = static_cast<uint32_t>(static_cast<int64_t>(salted));
  const char bytes[4] = {char(low & 0xFF), char((low >> 8) & 0xFF), char((low >> 16) & 0xFF), char(low >> 24)};
  return md5::upperHex(std::string_view(bytes, 4));
}

std::string machineId() { return machineIdFor(diskIdentityNumber()); }

}  // namespace server
