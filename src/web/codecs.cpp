#include "web/codecs.h"

#include <cstdlib>

#include "common/codepage.h"
#include "common/datetime.h"

namespace codecs {

namespace {

std::string_view upToZero(std::string_view s) { return s.substr(0, s.find('\0')); }

bool isUnreserved(unsigned char c) {
  return c == '-' || c == '.' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

constexpr std::string_view kDigitPool = "0123456789";
constexpr std::string_view kLowerPool = "abcdefghijklmnopqrstuvwxyz";
constexpr std::string_view kUpperPool = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
// Every printable ASCII character that is neither letter nor digit, in code order, space first.
constexpr std::string_view kSymbolPool = " !\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";

// Added to each seed and moved on after it, so that two calls in the same millisecond seed differently.
unsigned seedCounter = 0;

}  // namespace

std::string utf8ToGbk(const text::Bytes& utf8) {
  // A zero byte in UTF-8 is always the character U+0000 itself, so cutting before converting gives the
  // same text as converting and then ending at the first zero character.
  return codepage::utf8ToGbk(upToZero(utf8));
}

std::string gbkToUtf8(std::string_view gbk) { return codepage::gbkToUtf8(upToZero(gbk)); }

std::string urlEncode(std::string_view text, bool keepUnreserved, bool asUtf8) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  if (text.empty()) return {};
  const std::string bytes = asUtf8 ? gbkToUtf8(text) : std::string(text);
  std::string out;
  out.reserve(bytes.size() * 3);
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (keepUnreserved && isUnreserved(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

std::string base64Encode(const text::Bytes& bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t left = bytes.size() - i;
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    const auto b1 = left > 1 ? static_cast<unsigned char>(bytes[i + 1]) : 0u;
    const auto b2 = left > 2 ? static_cast<unsigned char>(bytes[i + 2]) : 0u;
    out.push_back(kAlphabet[b0 >> 2]);
    out.push_back(kAlphabet[((b0 & 3) << 4) | (b1 >> 4)]);
    out.push_back(left > 1 ? kAlphabet[((b1 & 15) << 2) | (b2 >> 6)] : '=');
    out.push_back(left > 2 ? kAlphabet[b2 & 63] : '=');
  }
  return out;
}

std::string randomText(int count, int classes) {
  const unsigned tick = datetime::tickCount();
  std::srand(tick + seedCounter);
  seedCounter += (tick + seedCounter) % 256 + 100;

  std::string pool;
  if (classes & kDigits) pool += kDigitPool;
  if (classes & kLower) pool += kLowerPool;
  if (classes & kUpper) pool += kUpperPool;
  if (classes & kSymbols) pool += kSymbolPool;
  if (pool.empty()) pool = kDigitPool;

  std::string out;
  for (int i = 0; i < count; ++i) out.push_back(pool[static_cast<size_t>(std::rand()) % pool.size()]);
  return out;
}

}  // namespace codecs
