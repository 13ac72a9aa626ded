#include <gtest/gtest.h>

#include "common/text.h"
#include "net/edge.h"

namespace hub {
namespace {

TEST(PercentDecode, DecodesEscapesAndLeavesBrokenOnesAsTheyAre) {
  EXPECT_EQ(text::percentDecode("%E5%BA%97%2f%2B"), "店/+");
  EXPECT_EQ(text::percentDecode("a+b"), "a+b");  // a path's '+' is itself
  EXPECT_EQ(text::formDecode("a+b%2B"), "a b+");  // a form's is a blank
  // Too short, not hexadecimal, at the very end: kept byte for byte.
  EXPECT_EQ(text::percentDecode("%4"), "%4");
  EXPECT_EQ(text::percentDecode("%zz%"), "%zz%");
  EXPECT_EQ(text::percentDecode("100%"), "100%");
  EXPECT_EQ(text::percentDecode("%41%00"), std::string("A\0", 2));
  EXPECT_TRUE(text::hasPercentEscape("x%2Fy"));
  EXPECT_FALSE(text::hasPercentEscape("100% %g1 %a"));
}

TEST(PercentDecode, QueryParameterDecodesNamesAndValues) {
  EXPECT_EQ(net::queryParameter("a=1&key=X%2BY+Z&b", "key"), "X+Y Z");
  EXPECT_EQ(net::queryParameter("k%65y=v", "key"), "v");
  EXPECT_EQ(net::queryParameter("t=a=b", "t"), "a=b");  // only the first '=' separates
  EXPECT_EQ(net::queryParameter("flag&x=1", "flag"), "");
  EXPECT_EQ(net::queryParameter("x=1", "key"), "");
}

}  // namespace
}  // namespace hub
