// Well-formed UTF-8, for the native code-page conversion and the WebSocket client's close frames.
#include "common/codepage.h"

namespace codepage {

size_t utf8SequenceAt(std::string_view s, size_t i, size_t& invalidLength) {
  const auto c = static_cast<unsigned char>(s[i]);
  invalidLength = 1;
  if (c < 0x80) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    need = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 3;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 4;
    if (c == 0xF0) lo = 0x90;  // no overlong forms
    if (c == 0xF4) hi = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  for (size_t k = 1; k < need; ++k) {
    if (i + k >= s.size()) return 0;
    const auto b = static_cast<unsigned char>(s[i + k]);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return 0;
    invalidLength = k + 1;
  }
  return need;
}

bool isUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    size_t invalid;
    const size_t n = utf8SequenceAt(s, i, invalid);
    if (!n) return false;
    i += n;
  }
  return true;
}

}  // namespace codepage
