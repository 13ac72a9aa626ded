// What the limits let through: the failure window's attempts taken back, and the checks on texts from
// outside.
#include <gtest/gtest.h>

#include "accounts/throttle.h"
#include "common/text.h"
#include "counter/protocol.h"

using namespace hub;

TEST(Limits, AFailureWindowBlocksAtItsLimitUntilAnAttemptIsTakenBackOrLeavesTheWindow) {
  accounts::FailureWindow window(2, 1000);
  window.failed("k", 100);
  window.failed("k", 200);
  EXPECT_TRUE(window.blocked("k", 300));
  window.forgive("k", 200);
  EXPECT_FALSE(window.blocked("k", 300));
  window.failed("k", 300);
  EXPECT_TRUE(window.blocked("k", 1099));
  EXPECT_FALSE(window.blocked("k", 1100));
}

TEST(Limits, TextsFromOutsideAreCheckedAsUtf8AndClippedAtACharacter) {
  EXPECT_TRUE(text::validUtf8("收款 ok"));
  for (std::string_view bad : {"\xff", "\xc0\xaf", "\xe6\x94", "\xed\xa0\x80", "\xf4\x90\x80\x80"})
    EXPECT_FALSE(text::validUtf8(bad)) << bad;
  EXPECT_EQ(text::clipUtf8("收款", 5), "收");
  EXPECT_EQ(text::clipUtf8("收款", 6), "收款");
  EXPECT_TRUE(text::hasControl(std::string("a\0b", 3)));
  EXPECT_TRUE(text::hasControl("\u0085"));
  EXPECT_FALSE(text::hasControl("收款¥"));
  EXPECT_TRUE(counter::protocol::validMachineId("4F0B5785AEDBE13EE2B8396DCD9FACA8"));
  EXPECT_FALSE(counter::protocol::validMachineId("4F0B5785AEDBE13EE2B8396DCD9FACAZ"));
  EXPECT_FALSE(counter::protocol::validMachineId(std::string(30000, 'F')));
}
