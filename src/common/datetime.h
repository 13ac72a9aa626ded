// Date-time as the automation date: days, with fraction, since 30 December 1899 00:00 local time.
#pragma once
#include <string>
#include <string_view>

namespace datetime {

struct Parts {
  int year = 100, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// 1 January 100 00:00:00, what every unreadable time text reads as.
constexpr double kEarliest = -657434.0;
// Two times closer than this (about 8.6 ms) count as equal.
constexpr double kTolerance = 1e-7;

bool isRealDateTime(const Parts& p);
// Automation dates before 1899-12-30 keep a positive time fraction behind a negative day
// (-1.25 is 29 December 1899 06:00), as the platform's conversions do.
double fromParts(const Parts& p);
Parts toParts(double value);  // rounded to the nearest second

// Reads "2020-6-29 09:53:40", "2020/6/29 9:53:40", "2020年6月29日9时53分40秒", "2020-6-29" and the like;
// anything that is not a real date-time from year 100 to 9999 reads as kEarliest.
double readTimeText(std::string_view text);

// "2020-6-29 09:53:40": full year, month and day without leading zeros, 24-hour two-digit time.
std::string formatRowTime(double value);

// The current local date and time, to the whole second (the row times show seconds).
double now();

// Milliseconds since an arbitrary start (the system tick count); wraps around.
unsigned tickCount();

}  // namespace datetime
