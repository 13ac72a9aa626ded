// Code pages natively, imitating what MultiByteToWideChar and WideCharToMultiByte do on Windows, so that
// native and Windows tests agree: invalid UTF-8 becomes U+FFFD (one per maximal invalid subpart) and any
// character GBK cannot hold becomes "?".
#include <iconv.h>

#include <cerrno>
#include <string>
#include <utility>

#include "common/codepage.h"

namespace codepage {

namespace {

constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";  // U+FFFD

// The UTF-8 text with every invalid subpart replaced by U+FFFD, so iconv only ever sees valid input.
std::string cleanUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    size_t invalid;
    const size_t n = utf8SequenceAt(s, i, invalid);
    if (n) {
      out.append(s.substr(i, n));
      i += n;
    } else {
      out.append(kReplacementUtf8);
      i += invalid;
    }
  }
  return out;
}

struct Converter {
  iconv_t cd;
  Converter(const char* to, const char* from) : cd(iconv_open(to, from)) {}
  ~Converter() {
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd != reinterpret_cast<iconv_t>(-1); }
};

// Converts the whole buffer in as few iconv calls as possible. When iconv stops at input it cannot
// take, `skip` says how many input bytes to pass over and what to write in their place.
template <typename Skip>
std::string convert(const char* to, const char* from, std::string_view input, Skip skip) {
  Converter conv(to, from);
  if (!conv.ok()) return {};
  std::string out;
  std::string chunk(input.size() * 2 + 16, '\0');
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  while (inLeft > 0) {
    char* dst = chunk.data();
    size_t dstLeft = chunk.size();
    const size_t rc = iconv(conv.cd, &in, &inLeft, &dst, &dstLeft);
    out.append(chunk.data(), chunk.size() - dstLeft);
    if (rc != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    if (errno != EILSEQ && errno != EINVAL) return {};
    const auto [bytes, replacement] = skip(std::string_view(in, inLeft));
    out.append(replacement);
    in += bytes;
    inLeft -= bytes;
    iconv(conv.cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state after the gap
  }
  return out;
}

}  // namespace

std::string utf8ToGbk(std::string_view utf8) {
  if (utf8.empty()) return {};
  const std::string clean = cleanUtf8(utf8);
  return convert("CP936", "UTF-8", clean, [](std::string_view rest) -> std::pair<size_t, std::string_view> {
    // Windows converts UTF-16 unit by unit: a character beyond U+FFFF is a surrogate pair, two "?".
    const auto c = static_cast<unsigned char>(rest[0]);
    const size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    return {len < rest.size() ? len : rest.size(), len == 4 ? "??" : "?"};
  });
}

std::string gbkToUtf8(std::string_view gbk) {
  if (gbk.empty()) return {};
  return convert("UTF-8", "CP936", gbk, [](std::string_view) -> std::pair<size_t, std::string_view> {
    return {1, "?"};
  });
}

}  // namespace codepage
