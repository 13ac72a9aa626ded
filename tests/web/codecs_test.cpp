#include "web/codecs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

using namespace std::string_literals;

TEST(Codecs, Utf8ToGbkEndsAtTheFirstZeroByte) {
  EXPECT_EQ(codecs::utf8ToGbk("\xE5\xBE\xAE\x00\xE4\xBF\xA1"s), "微");
  EXPECT_EQ(codecs::utf8ToGbk("\x00" "abc"s), "");
  EXPECT_EQ(codecs::utf8ToGbk(""), "");
}

TEST(Codecs, GbkToUtf8StopsAtTheFirstZeroByte) {
  EXPECT_EQ(codecs::gbkToUtf8("微\0信"s), "\xE5\xBE\xAE");
  EXPECT_EQ(codecs::gbkToUtf8(""), "");
}

TEST(Codecs, UrlEncode) {
  EXPECT_EQ(codecs::urlEncode("100.00", false, true), "%31%30%30%2E%30%30");
  EXPECT_EQ(codecs::urlEncode("100.00", true), "100.00");
  EXPECT_EQ(codecs::urlEncode("微", false, true), "%E5%BE%AE");
  EXPECT_EQ(codecs::urlEncode("微"), "%CE%A2");
  EXPECT_EQ(codecs::urlEncode("a\n"), "%61%0A");
  EXPECT_EQ(codecs::urlEncode("A-z. /_~", true), "A-z.%20%2F%5F%7E");
  EXPECT_EQ(codecs::urlEncode(""), "");
}

TEST(Codecs, Base64Encode) {
  EXPECT_EQ(codecs::base64Encode("abc"), "YWJj");
  EXPECT_EQ(codecs::base64Encode("ab"), "YWI=");
  EXPECT_EQ(codecs::base64Encode("a"), "YQ==");
  EXPECT_EQ(codecs::base64Encode(""), "");
  EXPECT_EQ(codecs::base64Encode("\x00\xFF\xFE\x01"s), "AP/+AQ==");
  const std::string longer = codecs::base64Encode(std::string(300, 'x'));
  EXPECT_EQ(longer.size(), 400u);
  EXPECT_EQ(longer.find('\n'), std::string::npos);
}

TEST(Codecs, RandomTextDrawsFromTheChosenClasses) {
  const std::string digits = codecs::randomText(10);
  EXPECT_EQ(digits.size(), 10u);
  EXPECT_TRUE(std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) << digits;

  const std::string upper = codecs::randomText(200, codecs::kUpper);
  EXPECT_TRUE(std::all_of(upper.begin(), upper.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) << upper;

  const std::string symbols = codecs::randomText(500, codecs::kSymbols);
  EXPECT_TRUE(std::all_of(symbols.begin(), symbols.end(), [](char c) {
    return c >= 0x20 && c <= 0x7E && !std::isalnum(static_cast<unsigned char>(c));
  })) << symbols;
  EXPECT_NE(symbols.find(' '), std::string::npos);  // space belongs to the symbols

  EXPECT_EQ(codecs::randomText(0), "");
  EXPECT_EQ(codecs::randomText(-3, codecs::kLower), "");
}

TEST(Codecs, RandomTextCallsInARowDiffer) {
  const std::string first = codecs::randomText(10), second = codecs::randomText(10);
  EXPECT_NE(first, second);
}
