#include "common/money.h"

namespace hub::money {

std::optional<Fen> parse(std::string_view yuan) {
  const size_t point = yuan.find('.');
  const std::string_view whole = yuan.substr(0, point);
  const std::string_view decimals = point == std::string_view::npos ? "" : yuan.substr(point + 1);
  // "12." and "." name no amount clearly enough to take; ".5" is how some phones write half a yuan.
  if (point != std::string_view::npos && decimals.empty()) return std::nullopt;
  if ((whole.empty() && decimals.empty()) || decimals.size() > 2) return std::nullopt;

  Fen fen = 0;
  for (char c : whole) {
    if (c < '0' || c > '9') return std::nullopt;
    fen = fen * 10 + (c - '0');
    if (fen > kMaxFen / 100) return std::nullopt;  // stop before the multiplication below can overflow
  }
  fen *= 100;
  Fen scale = 10;
  for (char c : decimals) {
    if (c < '0' || c > '9') return std::nullopt;
    fen += (c - '0') * scale;
    scale /= 10;
  }
  if (fen <= 0 || fen > kMaxFen) return std::nullopt;
  return fen;
}

std::string format(Fen fen) {
  std::string text = fen < 0 ? "-" : "";
  const std::uint64_t magnitude = fen < 0 ? 0 - std::uint64_t(fen) : std::uint64_t(fen);
  const std::uint64_t cents = magnitude % 100;
  text += std::to_string(magnitude / 100);
  text += '.';
  text += char('0' + cents / 10);
  text += char('0' + cents % 10);
  return text;
}

}  // namespace hub::money
