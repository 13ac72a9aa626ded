#include "common/clock.h"

#include <date/date.h>
#include <gtest/gtest.h>

namespace hub::clock {
namespace {

// A UTC instant written the way the cases read, computed apart from the code under test.
Millis utc(int y, unsigned mo, unsigned d, int h = 0, int mi = 0, int s = 0) {
  const auto day = date::sys_days{date::year{y} / date::month{mo} / date::day{d}};
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             (day + std::chrono::hours{h} + std::chrono::minutes{mi} + std::chrono::seconds{s}).time_since_epoch())
      .count();
}

Zone zone(std::string_view name) {
  const auto found = zoneNamed(name);
  EXPECT_TRUE(found) << name;
  return found.value_or(Zone{});
}

constexpr Millis kHour = 3'600'000;

TEST(Clock, DaysAndCounterTimesInTheZone) {
  struct Case {
    std::string_view zone;
    Millis t;
    Millis dayStart;
    Millis dayLength;
    std::string_view counter;
    std::string_view iso;
  };
  const Case cases[] = {
      {"Asia/Shanghai", utc(2020, 6, 29, 1, 53, 40), utc(2020, 6, 28, 16), 24 * kHour, "2020-6-29 09:53:40",
       "2020-06-29T09:53:40+08:00"},
      {"Asia/Shanghai", utc(2020, 12, 31, 16), utc(2020, 12, 31, 16), 24 * kHour, "2021-1-1 00:00:00",
       "2021-01-01T00:00:00+08:00"},
      // New York springs forward on 14 March 2021 (a 23-hour day) and falls back on 7 November, when
      // 01:30 comes twice, an hour apart.
      {"America/New_York", utc(2021, 3, 14, 12), utc(2021, 3, 14, 5), 23 * kHour, "2021-3-14 08:00:00",
       "2021-03-14T08:00:00-04:00"},
      {"America/New_York", utc(2021, 11, 7, 5, 30), utc(2021, 11, 7, 4), 25 * kHour, "2021-11-7 01:30:00",
       "2021-11-07T01:30:00-04:00"},
      {"America/New_York", utc(2021, 11, 7, 6, 30), utc(2021, 11, 7, 4), 25 * kHour, "2021-11-7 01:30:00",
       "2021-11-07T01:30:00-05:00"},
      {"Europe/Berlin", utc(2021, 3, 27, 23, 30), utc(2021, 3, 27, 23), 23 * kHour, "2021-3-28 00:30:00",
       "2021-03-28T00:30:00+01:00"},
      {"Europe/Berlin", utc(2021, 10, 31, 12), utc(2021, 10, 30, 22), 25 * kHour, "2021-10-31 13:00:00",
       "2021-10-31T13:00:00+01:00"},
      // Havana skips from 23:59:59 to 01:00: that day starts at 01:00.
      {"America/Havana", utc(2021, 3, 14, 12), utc(2021, 3, 14, 5), 23 * kHour, "2021-3-14 08:00:00",
       "2021-03-14T08:00:00-04:00"},
      // A default zone is UTC rather than a failure.
      {"", utc(2020, 6, 29, 1, 53, 40), utc(2020, 6, 29), 24 * kHour, "2020-6-29 01:53:40",
       "2020-06-29T01:53:40+00:00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + std::string(c.counter));
    const Zone z = c.zone.empty() ? Zone{} : zone(c.zone);
    const auto [start, end] = dayOf(z, c.t);
    EXPECT_EQ(start, c.dayStart);
    EXPECT_EQ(end - start, c.dayLength);
    EXPECT_EQ(counterTime(z, c.t), c.counter);
    EXPECT_EQ(isoTime(z, c.t), c.iso);
    EXPECT_EQ(dayNamed(z, isoTime(z, c.t).substr(0, 10)), std::make_pair(start, end));
  }
}

TEST(Clock, NamesOnlyRealZonesAndDays) {
  EXPECT_FALSE(zoneNamed("Nowhere/Town"));
  EXPECT_FALSE(zoneNamed(""));
  const Zone shanghai = zone("Asia/Shanghai");
  for (std::string_view bad : {"2021-3-14", "2021-02-29", "2021-13-01", "2021-03-14 ", "20210314", ""})
    EXPECT_FALSE(dayNamed(shanghai, bad)) << bad;
}

TEST(Clock, MonthsInTheZone) {
  const Zone shanghai = zone("Asia/Shanghai");
  // A leap February in Shanghai, from its first instant to the last millisecond of the 29th.
  const std::pair feb2024{utc(2024, 1, 31, 16), utc(2024, 2, 29, 16)};
  EXPECT_EQ(monthOf(shanghai, utc(2024, 1, 31, 16)), feb2024);
  EXPECT_EQ(monthOf(shanghai, utc(2024, 2, 29, 16) - 1), feb2024);
  EXPECT_EQ(monthNamed(shanghai, "2024-02"), feb2024);
  // December runs into the next year; New York's March is an hour short.
  EXPECT_EQ(monthNamed(shanghai, "2020-12"), std::make_pair(utc(2020, 11, 30, 16), utc(2020, 12, 31, 16)));
  EXPECT_EQ(monthNamed(zone("America/New_York"), "2021-03"), std::make_pair(utc(2021, 3, 1, 5), utc(2021, 4, 1, 4)));
  for (std::string_view bad : {"2024-2", "2024-13", "2024-00", "202402", "2024-02-01", ""})
    EXPECT_FALSE(monthNamed(shanghai, bad)) << bad;
}

TEST(Clock, ReadsTheTimesPhonesSend) {
  const Zone shanghai = zone("Asia/Shanghai");
  const Zone newYork = zone("America/New_York");
  const Millis t = utc(2020, 6, 29, 1, 53, 40);
  struct Case {
    const Zone& zone;
    std::string_view text;
    std::optional<Millis> t;
  };
  const Case cases[] = {
      {shanghai, "1593395620", t},
      {shanghai, "1593395620123", t + 123},
      {shanghai, "0", 0},
      {shanghai, "2020-06-29T01:53:40Z", t},
      {shanghai, "2020-06-29T09:53:40+08:00", t},
      {shanghai, "2020-06-28T21:53:40-04:00", t},
      {shanghai, "2020-06-29T09:53:40.123+08:00", t + 123},
      {shanghai, "2020-06-29T01:53:40.5Z", t + 500},
      {shanghai, "2020-06-29 09:53:40", t},
      {newYork, "2020-06-28 21:53:40", t},
      // 02:30 does not exist in New York on 14 March 2021: it is read as the moment the clocks jump.
      {newYork, "2021-03-14 02:30:00", utc(2021, 3, 14, 7)},
      // 01:30 comes twice on 7 November 2021: the first is taken.
      {newYork, "2021-11-07 01:30:00", utc(2021, 11, 7, 5, 30)},
      {shanghai, "", std::nullopt},
      {shanghai, "yesterday", std::nullopt},
      {shanghai, "-1593395620", std::nullopt},
      {shanghai, " 1593395620", std::nullopt},
      {shanghai, "15933956201234", std::nullopt},
      {shanghai, "2020-06-29T09:53:40", std::nullopt},
      {shanghai, "2020-06-29T09:53:40+0800", std::nullopt},
      {shanghai, "2020-06-29T09:53:40.Z", std::nullopt},
      {shanghai, "2020-06-29 09:53:40Z", std::nullopt},
      {shanghai, "2020-6-29 09:53:40", std::nullopt},
      {shanghai, "2020-02-30 09:53:40", std::nullopt},
      {shanghai, "2020-06-29 24:00:00", std::nullopt},
      {shanghai, "2020-06-29 09:60:00", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(readPhoneTime(c.zone, c.text), c.t) << c.text;
}

}  // namespace
}  // namespace hub::clock
