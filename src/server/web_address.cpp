#include "server/web_address.h"

namespace server {
namespace {

// Longer than any download page, and than some browsers accept.
constexpr size_t kLongestAddress = 2048;

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

bool isOpenableAddress(std::string_view address) {
  std::string_view rest;
  if (startsWith(address, "http://"))
    rest = address.substr(7);
  else if (startsWith(address, "https://"))
    rest = address.substr(8);
  else
    return false;
  if (rest.empty() || address.size() > kLongestAddress) return false;
  for (size_t i = 0; i < address.size(); ++i) {
    const auto c = static_cast<unsigned char>(address[i]);
    if (c < 0x20 || c == 0x7F || c == ' ' || c == '"' || c == '\'') return false;
    // The full-width space, skipping over the second byte of every double-byte character.
    if (c >= 0x80) {
      if (i + 1 >= address.size()) return false;  // a lead byte without its second byte
      if (c == 0xA1 && static_cast<unsigned char>(address[i + 1]) == 0xA1) return false;
      ++i;
    }
  }
  return true;
}

}  // namespace server
