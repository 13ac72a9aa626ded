#include "common/text.h"

#include <gtest/gtest.h>

#include <string>

#include "server/protocol.h"

using text::find;
using text::replace;
using text::splitFields;
using Pieces = std::vector<std::string>;

TEST(Text, SourceLiteralsAreGbk) {
  EXPECT_EQ(std::string("微信收款"), "\xCE\xA2\xD0\xC5\xCA\xD5\xBF\xEE");
  EXPECT_EQ(std::string(protocol::kFieldSeparator), "\xA1\xBE\xD7\xD6\xB6\xCE\xB7\xD6\xB8\xF4\xB7\xFB\xA1\xBF");
}

TEST(Text, FindPositionsAreOneBasedBytes) {
  EXPECT_EQ(find("abcabc", "bc"), 2);
  EXPECT_EQ(find("abcabc", "bc", 3), 5);
  EXPECT_EQ(find("abcabc", "bc", 6), -1);
  EXPECT_EQ(find("微信收款", "收款"), 5);
  EXPECT_EQ(find("abc", ""), -1);
  EXPECT_EQ(find("abc", "a", 0), -1);
  EXPECT_EQ(find("abc", "a", 4), -1);
  EXPECT_EQ(find("", "a"), -1);
}

TEST(Text, FindNeverStartsOnASecondByte) {
  // 啊啊 is B0 A1 B0 A1: the bytes A1 B0 straddle two characters.
  EXPECT_EQ(find("啊啊", "\xA1\xB0"), -1);
  EXPECT_EQ(find("啊啊", "啊", 3), 3);
  EXPECT_EQ(find("x啊收", "\xA1\xCA"), -1);  // also across a single-byte start
}

TEST(Text, FindIgnoringCaseFoldsOnlyAsciiLetters) {
  EXPECT_EQ(find("xxHeLLo", "hello", 1, true), 3);
  EXPECT_EQ(find("xxHeLLo", "hello"), -1);
  // 81 41 and 81 61 are two different double-byte characters whose second bytes look like A and a.
  EXPECT_EQ(find("\x81\x61", "\x81\x41", 1, true), -1);
  EXPECT_EQ(find("\x81\x41Q", "\x81\x41q", 1, true), 1);
}

TEST(Text, Replace) {
  EXPECT_EQ(replace("a-b-c", "-", "+"), "a+b+c");
  EXPECT_EQ(replace("a-b-c", "-", "+", 3), "a-b+c");
  EXPECT_EQ(replace("a-b-c", "-", "+", 1, 1), "a+b-c");
  EXPECT_EQ(replace("a-b-c", "-", "+", 1, 0), "a-b-c");
  EXPECT_EQ(replace("ABab", "ab", "x", 1, -1, true), "xx");
  EXPECT_EQ(replace("aaa", "a", "aa"), "aaaaaa");
  EXPECT_EQ(replace("啊啊", "\xA1\xB0", "x"), "啊啊");
  EXPECT_EQ(replace("收款100元", "收款", ""), "100元");
}

TEST(Text, SplitFieldsKeepsInnerEmptyPiecesButNoEmptyRest) {
  EXPECT_EQ(splitFields("a,,b", ","), (Pieces{"a", "", "b"}));
  EXPECT_EQ(splitFields("a,b,", ","), (Pieces{"a", "b"}));
  EXPECT_EQ(splitFields(",a", ","), (Pieces{"", "a"}));
  EXPECT_EQ(splitFields(",", ","), (Pieces{""}));
  EXPECT_EQ(splitFields("", ","), Pieces{});
  EXPECT_EQ(splitFields("abc", ""), (Pieces{"abc"}));
  EXPECT_EQ(splitFields("abc", ";"), (Pieces{"abc"}));
}

TEST(Text, SplitFieldsAtTheRealSeparator) {
  const std::string sep = protocol::kFieldSeparator;
  EXPECT_EQ(splitFields("收到收款" + sep + "微信收款" + sep + "25.80", sep),
            (Pieces{"收到收款", "微信收款", "25.80"}));
  // 啊 is B0 A1 and 款 is BF EE, so B0 + separator + EE is a run of whole characters in which the
  // separator's bytes begin on a second byte: it is no separator there.
  const std::string disguised = "\xB0" + sep + "\xEE";
  EXPECT_EQ(splitFields(disguised, sep), Pieces{disguised});
  EXPECT_EQ(splitFields(disguised + sep + "b", sep), (Pieces{disguised, "b"}));
}

TEST(Text, TrimRemovesBlanksAndFullWidthSpacesOnly) {
  EXPECT_EQ(text::trim("  \xA1\xA1 x y \xA1\xA1 "), "x y");
  EXPECT_EQ(text::trim("\tx\r\n"), "\tx\r\n");
  EXPECT_EQ(text::trim(" \xA1\xA1 "), "");
  // The second byte of 啊 (B0 A1) and a following A1 are not a full-width space.
  EXPECT_EQ(text::trim("\xA1\xA1啊\xA1\xA1"), "啊");
}

TEST(Text, LeftRightMidCountBytesAndClamp) {
  EXPECT_EQ(text::left("abc", 2), "ab");
  EXPECT_EQ(text::left("abc", 9), "abc");
  EXPECT_EQ(text::left("abc", 0), "");
  EXPECT_EQ(text::right("abc", 2), "bc");
  EXPECT_EQ(text::right("abc", 9), "abc");
  EXPECT_EQ(text::right("abc", -1), "");
  EXPECT_EQ(text::mid("abcdef", 2, 3), "bcd");
  EXPECT_EQ(text::mid("abc", 3, 10), "c");
  EXPECT_EQ(text::mid("abc", 4, 1), "");
  EXPECT_EQ(text::mid("abc", 2, 0), "");
  EXPECT_EQ(text::left("微信收款", 4), "微信");
}

TEST(Text, FoldFullWidthIsDoubleByteAware) {
  EXPECT_EQ(text::foldFullWidth("\xA3\xB1\xA3\xB2\xA1\xA1\xA3\xAE\xA3\xA1\xA3\xFE"), "12 .!~");
  // B0 A3 is one character; the A3 that follows starts the next one (A3 B1, a full-width 1).
  EXPECT_EQ(text::foldFullWidth("\xB0\xA3\xA3\xB1"), "\xB0\xA3" "1");
  EXPECT_EQ(text::foldFullWidth("微信x\xA3"), "微信x\xA3");
}
