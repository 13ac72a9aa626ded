#include "common/address.h"

#include <gtest/gtest.h>

namespace hub::address {
namespace {

TEST(Address, GroupsIpv4AsItIsAndIpv6ByItsSlash64) {
  EXPECT_EQ(groupOf("203.0.113.5"), "203.0.113.5");
  EXPECT_EQ(groupOf("::ffff:203.0.113.5"), "203.0.113.5");
  EXPECT_EQ(groupOf("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
  EXPECT_EQ(groupOf("2001:db8:1:2:ffff:ffff:ffff:ffff"), "2001:db8:1:2::/64");
  EXPECT_NE(groupOf("2001:db8:1:3::1"), groupOf("2001:db8:1:2::1"));
  EXPECT_EQ(groupOf("not an address"), "not an address");
}

TEST(Address, BlocksMatchTheirAddressesOnly) {
  const std::vector<Block> trusted = {*parseBlock("127.0.0.1"), *parseBlock("10.0.0.0/8"),
                                      *parseBlock("2001:db8::/32")};
  EXPECT_TRUE(inAny(trusted, "127.0.0.1"));
  EXPECT_TRUE(inAny(trusted, "::ffff:127.0.0.1"));
  EXPECT_FALSE(inAny(trusted, "127.0.0.2"));
  EXPECT_TRUE(inAny(trusted, "10.255.1.2"));
  EXPECT_FALSE(inAny(trusted, "11.0.0.1"));
  EXPECT_TRUE(inAny(trusted, "2001:db8:ffff::1"));
  EXPECT_FALSE(inAny(trusted, "2001:db9::1"));
  EXPECT_FALSE(inAny(trusted, "garbage"));
  for (const char* bad : {"10.0.0.0/33", "10.0.0.0/", "10.0.0/8", "::1/129", "", "1.2.3.4/x"})
    EXPECT_FALSE(parseBlock(bad)) << bad;
  EXPECT_TRUE(isLoopback("127.8.0.1"));
  EXPECT_TRUE(isLoopback("::1"));
  EXPECT_FALSE(isLoopback("192.0.2.1"));
}

}  // namespace
}  // namespace hub::address
