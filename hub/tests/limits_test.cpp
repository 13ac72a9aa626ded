// What the limits count by and what they let through: address groups, the failure window's attempts taken
// back, and the checks on texts from outside.
#include <gtest/gtest.h>

#include "accounts/throttle.h"
#include "common/text.h"
#include "counter/protocol.h"

using namespace hub;

TEST(Limits, AddressesGroupIPv6ByItsSlash64AndIPv4ByItself) {
  EXPECT_EQ(accounts::addressGroup("203.0.113.7"), "203.0.113.7");
  EXPECT_EQ(accounts::addressGroup("::ffff:203.0.113.7"), "203.0.113.7");
  EXPECT_EQ(accounts::addressGroup("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
  EXPECT_EQ(accounts::addressGroup("[2001:db8:1:2:ffff:ffff:ffff:ffff]"), "2001:db8:1:2::/64");
  EXPECT_NE(accounts::addressGroup("2001:db8:1:3::1"), accounts::addressGroup("2001:db8:1:2::1"));
  EXPECT_EQ(accounts::addressGroup("not an address"), "not an address");
}

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
