#include "common/money.h"

#include <gtest/gtest.h>

namespace hub::money {
namespace {

TEST(Money, ReadsOnlyPlainPositiveYuanAndWritesTwoDecimals) {
  struct Case {
    std::string_view text;
    std::optional<Fen> fen;
    std::string_view written;  // how format writes it back
  };
  const Case cases[] = {
      {"12", 1200, "12.00"},
      {"12.5", 1250, "12.50"},
      {"12.50", 1250, "12.50"},
      {"0.01", 1, "0.01"},
      {".5", 50, "0.50"},
      {"007.10", 710, "7.10"},
      {"100000000", kMaxFen, "100000000.00"},
      {"100000000.01", std::nullopt, ""},
      {"99999999999999999999", std::nullopt, ""},
      {"0", std::nullopt, ""},
      {"0.00", std::nullopt, ""},
      {"", std::nullopt, ""},
      {".", std::nullopt, ""},
      {"12.", std::nullopt, ""},
      {"1.234", std::nullopt, ""},
      {"-1.00", std::nullopt, ""},
      {"+1.00", std::nullopt, ""},
      {"1e2", std::nullopt, ""},
      {" 1.00", std::nullopt, ""},
      {"1.00 ", std::nullopt, ""},
      {"1,000.00", std::nullopt, ""},
      {"1.0.0", std::nullopt, ""},
      {"１.00", std::nullopt, ""},  // full-width digit
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse(c.text), c.fen);
    if (c.fen) {
      EXPECT_EQ(format(*c.fen), c.written);
    }
  }
}

}  // namespace
}  // namespace hub::money
