// Code pages on Windows: through UTF-16 with the platform's own tables, no special flags, so a character
// GBK cannot hold becomes the default character "?" and invalid UTF-8 becomes U+FFFD.
#include <windows.h>

#include "common/codepage.h"
#include "common/codepage_win32.h"

namespace codepage {

namespace {

constexpr UINT kUtf8 = 65001;
constexpr UINT kGbk = 936;

std::wstring toWide(UINT codePage, std::string_view s) {
  const int n = MultiByteToWideChar(codePage, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, s.data(), static_cast<int>(s.size()), wide.data(), n);
  return wide;
}

std::string fromWide(UINT codePage, std::wstring_view wide) {
  if (wide.empty()) return {};
  const int n =
      WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

std::wstring gbkToWide(std::string_view gbk) { return toWide(kGbk, gbk); }

std::string wideToGbk(std::wstring_view wide) { return fromWide(kGbk, wide); }

std::string utf8ToGbk(std::string_view utf8) {
  if (utf8.empty()) return {};
  return fromWide(kGbk, toWide(kUtf8, utf8));
}

std::string gbkToUtf8(std::string_view gbk) {
  if (gbk.empty()) return {};
  return fromWide(kUtf8, toWide(kGbk, gbk));
}

}  // namespace codepage
