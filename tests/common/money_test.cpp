#include "common/money.h"

#include <gtest/gtest.h>

#include <cmath>

using money::formatMoney;
using money::readAmount;

TEST(Money, FormatMoneyIsPercent13gWithThreeExponentDigits) {
  EXPECT_EQ(formatMoney(12345678901234.5), "1.234567890123e+013");
  EXPECT_EQ(formatMoney(0.00001), "1e-005");
  EXPECT_EQ(formatMoney(0.0001), "0.0001");
  EXPECT_EQ(formatMoney(1234567890123.0), "1234567890123");
  EXPECT_EQ(formatMoney(0.1 + 0.2), "0.3");
  EXPECT_EQ(formatMoney(10.0), "10");
  EXPECT_EQ(formatMoney(12.5), "12.5");
  EXPECT_EQ(formatMoney(0.0), "0");
  EXPECT_EQ(formatMoney(-25.8), "-25.8");
  EXPECT_EQ(formatMoney(-1.5e-7), "-1.5e-007");
  EXPECT_EQ(formatMoney(1e300), "1e+300");
}

TEST(Money, ReadAmountFoldsFullWidthForms) {
  EXPECT_DOUBLE_EQ(readAmount("\xA3\xB1\xA3\xB2.\xA3\xB5"), 12.5);          // １２.５
  EXPECT_DOUBLE_EQ(readAmount("\xA1\xA1\xA3\xAD\xA3\xB3\xA3\xAE\xA3\xB5"), -3.5);  // ideographic space, －３．５
}

TEST(Money, ReadAmountReadsTheLeadingNumberLikeAtof) {
  EXPECT_EQ(readAmount("12.50"), 12.5);
  EXPECT_EQ(readAmount("1,200"), 1.0);
  EXPECT_EQ(readAmount("abc"), 0.0);
  EXPECT_EQ(readAmount(""), 0.0);
  EXPECT_EQ(readAmount("  -3.5e2x"), -350.0);
  EXPECT_EQ(readAmount("\t\n+7元"), 7.0);
  EXPECT_EQ(readAmount("2E-1"), 0.2);
  EXPECT_EQ(readAmount(".5"), 0.5);
  EXPECT_EQ(readAmount("5."), 5.0);
  EXPECT_EQ(readAmount("1.2.3"), 1.2);
  EXPECT_EQ(readAmount("- 1"), 0.0);
  EXPECT_EQ(readAmount("."), 0.0);
}

TEST(Money, ReadAmountLeavesAnIncompleteExponentUnread) {
  EXPECT_EQ(readAmount("1e"), 1.0);
  EXPECT_EQ(readAmount("1e+"), 1.0);
  EXPECT_EQ(readAmount("1E-x"), 1.0);
}

TEST(Money, ReadAmountKnowsNoHexInfinityOrNan) {
  EXPECT_EQ(readAmount("0x10"), 0.0);
  EXPECT_EQ(readAmount("inf"), 0.0);
  EXPECT_EQ(readAmount("-infinity"), 0.0);
  EXPECT_EQ(readAmount("nan"), 0.0);
}

TEST(Money, ReadAmountOutOfRange) {
  EXPECT_EQ(readAmount("1e400"), HUGE_VAL);
  EXPECT_EQ(readAmount("-123456e99999999999999"), -HUGE_VAL);
  EXPECT_EQ(readAmount("1e-400"), 0.0);
  EXPECT_EQ(readAmount("0.000e999999"), 0.0);
}

TEST(Money, SumsReadAndWrittenBack) {
  double sum = 0;
  for (const char* amount : {"25.80", "0.01", "100.00", "3.3"}) sum += readAmount(amount);
  EXPECT_EQ(formatMoney(sum), "129.11");
}
