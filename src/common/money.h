// Money: amounts stay text as received; sums are doubles, read and written the same on every platform.
#pragma once
#include <string>
#include <string_view>

namespace money {

// Full-width folding, then the rules of atof: leading white space, a sign, decimal digits with one
// optional point and an optional exponent; stops at the first other character; no number reads as 0.
// Hex, "inf" and "nan" are not numbers here.
double readAmount(std::string_view text);

// "%.13g" with a three-digit exponent, as the program shows it on every platform
// (1.234567890123e+013, 1e-005, 0.3, 10).
std::string formatMoney(double value);

}  // namespace money
