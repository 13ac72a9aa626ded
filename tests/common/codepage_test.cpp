#include "common/codepage.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

using codepage::gbkToUtf8;
using codepage::utf8ToGbk;

#ifdef _WIN32
TEST(CodePage, WindowsAnsiCodePageIs936) {
  ASSERT_EQ(GetACP(), 936u) << "\n*** The ANSI code page is not 936 (GBK): run Wine with LC_ALL=zh_CN.UTF-8 "
                               "(locale generated with locale-gen), or every GBK text test is meaningless. ***\n";
}
#endif

TEST(CodePage, RoundTripsChineseAndAscii) {
  EXPECT_EQ(utf8ToGbk("\xE5\xBE\xAE\xE4\xBF\xA1\xE6\x94\xB6\xE6\xAC\xBE 25.80\xEF\xBC\x81"), "微信收款 25.80！");
  EXPECT_EQ(gbkToUtf8("微信收款 25.80！"), "\xE5\xBE\xAE\xE4\xBF\xA1\xE6\x94\xB6\xE6\xAC\xBE 25.80\xEF\xBC\x81");
  EXPECT_EQ(utf8ToGbk(""), "");
  EXPECT_EQ(gbkToUtf8(""), "");
}

TEST(CodePage, InvalidUtf8BecomesQuestionMarks) {
  EXPECT_EQ(utf8ToGbk("a\xFF" "b"), "a?b");
  EXPECT_EQ(utf8ToGbk("\xE5\xBE" "x"), "?x");  // a cut-off character is one replacement
  EXPECT_EQ(utf8ToGbk("\xC0\xAF"), "??");       // an overlong form is two invalid bytes
}

TEST(CodePage, CharactersGbkCannotHoldBecomeQuestionMarks) {
  EXPECT_EQ(utf8ToGbk("x\xD8\xA8y"), "x?y");  // ARABIC LETTER BEH
  // A character beyond U+FFFF is two UTF-16 units, and each becomes a default character.
  EXPECT_EQ(utf8ToGbk("\xF0\x9F\x98\x80\xE5\xBE\xAE"), "??微");
}

TEST(CodePage, LargeMixedTextConvertsWhole) {
  std::string utf8, expected;
  for (int i = 0; i < 50000; ++i) {
    utf8 += "\xE5\xBE\xAE\xD8\xA8" "a\xFF";
    expected += "微?a?";
  }
  EXPECT_EQ(utf8ToGbk(utf8), expected);
  std::string gbk(1 << 20, '\0');
  for (size_t i = 0; i + 1 < gbk.size(); i += 2) gbk.replace(i, 2, "款");
  EXPECT_EQ(gbkToUtf8(gbk).size(), gbk.size() / 2 * 3);
}

#ifndef _WIN32
// Windows writes its own default character for broken GBK; the native stand-in writes "?" and goes on.
TEST(CodePage, NativeInvalidGbkBecomesQuestionMark) {
  EXPECT_EQ(gbkToUtf8("a\xFF" "b"), "a?b");
  EXPECT_EQ(gbkToUtf8("a\x81"), "a?");
}
#endif
