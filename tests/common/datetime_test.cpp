#include "common/datetime.h"

#include <gtest/gtest.h>

using datetime::fromParts;
using datetime::kEarliest;
using datetime::Parts;
using datetime::readTimeText;
using datetime::toParts;

namespace {

constexpr double k20200629 = 44011.0;  // the automation date of 29 June 2020
constexpr double kTime095340 = (9 * 3600 + 53 * 60 + 40) / 86400.0;

void expectParts(const Parts& p, int y, int mo, int d, int h, int mi, int s) {
  EXPECT_EQ(p.year, y);
  EXPECT_EQ(p.month, mo);
  EXPECT_EQ(p.day, d);
  EXPECT_EQ(p.hour, h);
  EXPECT_EQ(p.minute, mi);
  EXPECT_EQ(p.second, s);
}

}  // namespace

TEST(DateTime, AutomationDateAnchors) {
  EXPECT_EQ(fromParts({1899, 12, 30, 0, 0, 0}), 0.0);
  EXPECT_EQ(fromParts({2020, 6, 29, 0, 0, 0}), k20200629);
  EXPECT_EQ(fromParts({100, 1, 1, 0, 0, 0}), kEarliest);
  EXPECT_EQ(fromParts({9999, 12, 31, 0, 0, 0}), 2958465.0);
  EXPECT_DOUBLE_EQ(fromParts({2020, 6, 29, 9, 53, 40}), k20200629 + kTime095340);
}

TEST(DateTime, BeforeTheEpochTheTimeFractionStaysPositive) {
  EXPECT_EQ(fromParts({1899, 12, 29, 6, 0, 0}), -1.25);
  expectParts(toParts(-1.25), 1899, 12, 29, 6, 0, 0);
  expectParts(toParts(-0.25), 1899, 12, 30, 6, 0, 0);  // -0.25 and 0.25 name the same time
  expectParts(toParts(kEarliest), 100, 1, 1, 0, 0, 0);
  expectParts(toParts(fromParts({1000, 3, 1, 23, 59, 59})), 1000, 3, 1, 23, 59, 59);
}

TEST(DateTime, ToPartsRoundsToTheNearestSecond) {
  expectParts(toParts(k20200629 + 40.4 / 86400), 2020, 6, 29, 0, 0, 40);
  expectParts(toParts(k20200629 + 40.6 / 86400), 2020, 6, 29, 0, 0, 41);
  expectParts(toParts(k20200629 + 86399.6 / 86400), 2020, 6, 30, 0, 0, 0);
}

TEST(DateTime, IsRealDateTimeUsesGregorianLeapYears) {
  EXPECT_TRUE(datetime::isRealDateTime({2000, 2, 29, 23, 59, 59}));
  EXPECT_FALSE(datetime::isRealDateTime({1900, 2, 29, 0, 0, 0}));
  EXPECT_FALSE(datetime::isRealDateTime({2020, 4, 31, 0, 0, 0}));
  EXPECT_FALSE(datetime::isRealDateTime({99, 12, 31, 0, 0, 0}));
  EXPECT_FALSE(datetime::isRealDateTime({2020, 1, 1, 24, 0, 0}));
}

TEST(DateTime, ReadTimeTextAcceptsTheThreeForms) {
  const double expected = fromParts({2020, 6, 29, 9, 53, 40});
  EXPECT_EQ(readTimeText("2020-6-29 09:53:40"), expected);
  EXPECT_EQ(readTimeText("2020/6/29 9:53:40"), expected);
  EXPECT_EQ(readTimeText("2020年6月29日9时53分40秒"), expected);
  EXPECT_EQ(readTimeText("2020.06.29-09.53.40"), expected);
  EXPECT_EQ(readTimeText("\xA3\xB2\xA3\xB0\xA3\xB2\xA3\xB0\xA3\xAD\xA3\xB6-29\xA1\xA1" "9:53:40"), expected);  // full width
  EXPECT_EQ(readTimeText("2020年6月29日9时53分40秒以后"), expected);  // whatever follows 秒 is ignored
}

TEST(DateTime, ReadTimeTextMissingPartsCountAsZero) {
  EXPECT_EQ(readTimeText("2020-6-29"), k20200629);
  EXPECT_EQ(readTimeText("2020-6-29 "), k20200629);
  EXPECT_EQ(readTimeText("2020-6-29 9"), k20200629 + 9 / 24.0);
  EXPECT_EQ(readTimeText("2020-6-29 9:53"), fromParts({2020, 6, 29, 9, 53, 0}));
}

TEST(DateTime, ReadTimeTextRejectsUnrealDatesAndBrokenText) {
  EXPECT_EQ(readTimeText("2020-13-1 00:00:00"), kEarliest);
  EXPECT_EQ(readTimeText("2020-2-29"), fromParts({2020, 2, 29, 0, 0, 0}));
  EXPECT_EQ(readTimeText("2019-2-29"), kEarliest);
  EXPECT_EQ(readTimeText("99-1-1"), kEarliest);
  EXPECT_EQ(readTimeText("10000-1-1"), kEarliest);
  EXPECT_EQ(readTimeText("9999-12-31 23:59:59"), fromParts({9999, 12, 31, 23, 59, 59}));
  EXPECT_EQ(readTimeText("2020-6-29 24:00:00"), kEarliest);
  EXPECT_EQ(readTimeText("2020-6-29 9:53:40x"), kEarliest);
  EXPECT_EQ(readTimeText("2020-6-29 9:53:400"), kEarliest);
  EXPECT_EQ(readTimeText("2020--6-29"), kEarliest);
  EXPECT_EQ(readTimeText(""), kEarliest);
  EXPECT_EQ(readTimeText("昨天"), kEarliest);
}

TEST(DateTime, FormatRowTime) {
  EXPECT_EQ(datetime::formatRowTime(fromParts({2020, 6, 29, 9, 53, 40})), "2020-6-29 09:53:40");
  EXPECT_EQ(datetime::formatRowTime(fromParts({2021, 12, 1, 23, 5, 0})), "2021-12-1 23:05:00");
  EXPECT_EQ(datetime::formatRowTime(kEarliest), "100-1-1 00:00:00");
  const double t = fromParts({1987, 10, 3, 17, 1, 2});
  EXPECT_EQ(readTimeText(datetime::formatRowTime(t)), t);
}

TEST(DateTime, NowIsARealLocalTimeInWholeSeconds) {
  const double t = datetime::now();
  const Parts p = toParts(t);
  EXPECT_TRUE(datetime::isRealDateTime(p));
  EXPECT_GE(p.year, 2024);
  EXPECT_EQ(fromParts(p), t);
}
