#pragma once
// Amounts are kept exactly, as whole fen (hundredths of a yuan), never as floating point.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hub::money {

using Fen = std::int64_t;

// The largest amount the hub takes: 100 million yuan. Anything above is a mistake or an attack.
inline constexpr Fen kMaxFen = 10'000'000'000;

// Reads a positive amount in yuan written as decimal digits with at most two decimals ("12", "12.5",
// "12.50", "0.01", ".5"). Anything else (sign, exponent, blanks, a third decimal, zero, more than kMaxFen)
// is no amount.
std::optional<Fen> parse(std::string_view yuan);

// The amount with two decimals, as the counter shows and speaks it: "12.50".
std::string format(Fen fen);

}  // namespace hub::money
