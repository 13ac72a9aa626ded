#include "common/money.h"

#include <charconv>
#include <cmath>

#include "common/text.h"

namespace money {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// C isspace in the "C" locale, spelled out so the reading does not depend on the process locale.
bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// What atof gives for a number too large or too small for a double, which from_chars leaves to us:
// the decimal exponent of the first significant digit tells overflow from underflow.
double outOfRange(std::string_view mantissa, long long exponent) {
  long long lead = 0;  // digits before the point, not counting leading zeros
  bool seenPoint = false, seenNonZero = false;
  for (char c : mantissa) {
    if (c == '.') {
      seenPoint = true;
    } else if (!seenNonZero && c == '0') {
      if (seenPoint) --lead;
    } else {
      seenNonZero = true;
      if (seenPoint) break;
      ++lead;
    }
  }
  return lead + exponent > 0 ? HUGE_VAL : 0.0;
}

}  // namespace

double readAmount(std::string_view raw) {
  const std::string folded = text::foldFullWidth(raw);
  const std::string_view s = folded;
  size_t i = 0;
  while (i < s.size() && isSpace(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';

  const size_t begin = i;
  size_t digits = 0;
  while (i < s.size() && isDigit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && isDigit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return 0.0;
  const size_t mantissaEnd = i;

  long long exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    bool expNegative = false;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) expNegative = s[j++] == '-';
    if (j < s.size() && isDigit(s[j])) {
      for (; j < s.size() && isDigit(s[j]); ++j)
        if (exponent < 1000000000) exponent = exponent * 10 + (s[j] - '0');
      if (expNegative) exponent = -exponent;
      i = j;
    }  // "1e" or "1e+" leave the exponent unread, as atof does
  }

  double value = 0.0;
  const auto [end, ec] = std::from_chars(s.data() + begin, s.data() + i, value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range)
    value = outOfRange(s.substr(begin, mantissaEnd - begin), exponent);
  else if (ec != std::errc() || end != s.data() + i)
    return 0.0;  // cannot happen for the span scanned above
  return negative ? -value : value;
}

std::string formatMoney(double value) {
  // std::to_chars with the general format and precision 13 is "%.13g" to the digit; only the exponent
  // needs widening to the three digits the program shows (MinGW and glibc both print two).
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 13);
  if (ec != std::errc()) return {};
  std::string out(buf, end);
  const size_t e = out.find('e');
  if (e == std::string::npos || e + 1 >= out.size()) return out;
  size_t digitsAt = e + 1;
  if (out[digitsAt] == '+' || out[digitsAt] == '-')
    ++digitsAt;
  else
    out.insert(digitsAt++, 1, '+');
  const size_t width = out.size() - digitsAt;
  if (width < 3) out.insert(digitsAt, 3 - width, '0');
  return out;
}

}  // namespace money
