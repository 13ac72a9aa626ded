#pragma once
// Client addresses as the hub's limits see them: parsing, CIDR blocks (the trusted proxies) and the group
// a limit counts an address in. Plain text in, plain text out; no network library needed.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hub::address {

// An IPv4 address is kept as its IPv4-mapped IPv6 form, so "::ffff:10.0.0.1" and "10.0.0.1" are one.
using Ip = std::array<std::uint8_t, 16>;

std::optional<Ip> parse(std::string_view text);
bool isV4(const Ip& ip);

struct Block {
  Ip base{};
  int bits = 128;  // of the 128; an IPv4 "/8" is 96 + 8
};
// "10.0.0.0/8", "2001:db8::/32", or one address ("127.0.0.1": a block of one).
std::optional<Block> parseBlock(std::string_view text);
bool contains(const Block& block, const Ip& ip);
bool inAny(const std::vector<Block>& blocks, std::string_view address);

// The key a per-address limit counts under: an IPv4 address as it is, an IPv6 address by its /64 (a
// household or a server gets a whole /64, so one client has that many addresses); text that is no
// address, as it is.
std::string groupOf(std::string_view address);

bool isLoopback(std::string_view address);

}  // namespace hub::address
