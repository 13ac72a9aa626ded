#include "common/address.h"

#include <arpa/inet.h>

#include <algorithm>

namespace hub::address {
namespace {

constexpr Ip kMappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

}  // namespace

std::optional<Ip> parse(std::string_view text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  if (text.empty() || text.size() > 45) return std::nullopt;
  const std::string copy(text);
  Ip ip = kMappedPrefix;
  if (inet_pton(AF_INET, copy.c_str(), ip.data() + 12) == 1) return ip;
  if (inet_pton(AF_INET6, copy.c_str(), ip.data()) == 1) return ip;
  return std::nullopt;
}

bool isV4(const Ip& ip) { return std::equal(kMappedPrefix.begin(), kMappedPrefix.begin() + 12, ip.begin()); }

std::optional<Block> parseBlock(std::string_view text) {
  const auto slash = text.find('/');
  const auto ip = parse(text.substr(0, slash));
  if (!ip) return std::nullopt;
  Block block{*ip, 128};
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3) return std::nullopt;
    int bits = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return std::nullopt;
      bits = bits * 10 + (c - '0');
    }
    const bool v4 = isV4(*ip) && text.find(':') == std::string_view::npos;
    if (bits > (v4 ? 32 : 128)) return std::nullopt;
    block.bits = v4 ? 96 + bits : bits;
  }
  return block;
}

bool contains(const Block& block, const Ip& ip) {
  for (int bit = 0; bit < block.bits; ++bit) {
    const int mask = 0x80 >> (bit % 8);
    if ((block.base[bit / 8] & mask) != (ip[bit / 8] & mask)) return false;
  }
  return true;
}

bool inAny(const std::vector<Block>& blocks, std::string_view address) {
  const auto ip = parse(address);
  if (!ip) return false;
  for (const Block& block : blocks)
    if (contains(block, *ip)) return true;
  return false;
}

std::string groupOf(std::string_view address) {
  const auto ip = parse(address);
  if (!ip) return std::string(address);
  char text[INET6_ADDRSTRLEN];
  if (isV4(*ip)) {
    inet_ntop(AF_INET, ip->data() + 12, text, sizeof text);
    return text;
  }
  Ip prefix{};
  std::copy(ip->begin(), ip->begin() + 8, prefix.begin());
  inet_ntop(AF_INET6, prefix.data(), text, sizeof text);
  return std::string(text) + "/64";
}

bool isLoopback(std::string_view address) {
  static const std::vector<Block> loopback = {*parseBlock("127.0.0.0/8"), *parseBlock("::1")};
  return inAny(loopback, address);
}

}  // namespace hub::address
