#include "common/datetime.h"

#include <cmath>
#include <cstdio>

#include "common/text.h"

namespace datetime {

namespace {

constexpr int kSecondsPerDay = 86400;

bool isLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeapYear(y) ? 29 : kDays[m - 1];
}

// Days since 1 January 1970 in the proleptic Gregorian calendar (H. Hinnant's civil-day algorithms).
constexpr long long daysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civilFromDays(long long z, int& y, int& m, int& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (m <= 2));
}

constexpr long long kEpochDay = daysFromCivil(1899, 12, 30);

// Reads up to `maxDigits` digits at `pos`; none at all reads as 0.
int readNumber(std::string_view s, size_t& pos, int maxDigits) {
  int value = 0;
  for (int n = 0; n < maxDigits && pos < s.size() && s[pos] >= '0' && s[pos] <= '9'; ++n)
    value = value * 10 + (s[pos++] - '0');
  return value;
}

// Skips one of the separators allowed after a part, if one is there.
void skipSeparator(std::string_view s, size_t& pos, std::string_view word, bool blank) {
  if (pos >= s.size()) return;
  const char c = s[pos];
  if (c == '-' || c == '.' || c == '/' || c == ':' || (blank && c == ' ')) {
    ++pos;
  } else if (s.substr(pos, word.size()) == word) {
    pos += word.size();
  }
}

}  // namespace

bool isRealDateTime(const Parts& p) {
  return p.year >= 100 && p.year <= 9999 && p.month >= 1 && p.month <= 12 && p.day >= 1 &&
         p.day <= daysInMonth(p.year, p.month) && p.hour >= 0 && p.hour <= 23 && p.minute >= 0 &&
         p.minute <= 59 && p.second >= 0 && p.second <= 59;
}

double fromParts(const Parts& p) {
  const auto day = static_cast<double>(daysFromCivil(p.year, static_cast<unsigned>(p.month),
                                                     static_cast<unsigned>(p.day)) - kEpochDay);
  const double fraction = (p.hour * 3600 + p.minute * 60 + p.second) / static_cast<double>(kSecondsPerDay);
  // Before the epoch the time still runs forward from the day's midnight: -1.25 is 29 December 06:00.
  return day < 0 ? day - fraction : day + fraction;
}

Parts toParts(double value) {
  // Outside year 100 to 9999 (with a day's slack for rounding) there is no date to show.
  if (!std::isfinite(value) || value < kEarliest - 1 || value > 2958466.0 + 1) return Parts{};
  const double whole = std::trunc(value);
  long long day = static_cast<long long>(whole);
  long long seconds = std::llround(std::fabs(value - whole) * kSecondsPerDay);
  day += seconds / kSecondsPerDay;  // 23:59:59.6 rounds into the next day
  seconds %= kSecondsPerDay;
  Parts p;
  civilFromDays(day + kEpochDay, p.year, p.month, p.day);
  p.hour = static_cast<int>(seconds / 3600);
  p.minute = static_cast<int>(seconds / 60 % 60);
  p.second = static_cast<int>(seconds % 60);
  return p;
}

double readTimeText(std::string_view raw) {
  const std::string folded = text::foldFullWidth(raw);
  const std::string_view s = folded;
  size_t pos = 0;
  Parts p;
  p.year = readNumber(s, pos, 4);
  skipSeparator(s, pos, "年", false);
  p.month = readNumber(s, pos, 2);
  skipSeparator(s, pos, "月", false);
  p.day = readNumber(s, pos, 2);
  skipSeparator(s, pos, "日", true);
  p.hour = readNumber(s, pos, 2);
  skipSeparator(s, pos, "时", false);
  p.minute = readNumber(s, pos, 2);
  skipSeparator(s, pos, "分", false);
  p.second = readNumber(s, pos, 2);
  constexpr std::string_view kSecondWord = "秒";
  if (pos < s.size() && s.substr(pos, kSecondWord.size()) != kSecondWord) return kEarliest;
  return isRealDateTime(p) ? fromParts(p) : kEarliest;
}

std::string formatRowTime(double value) {
  const Parts p = toParts(value);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%d-%d-%d %02d:%02d:%02d", p.year, p.month, p.day, p.hour, p.minute, p.second);
  return buf;
}

}  // namespace datetime
