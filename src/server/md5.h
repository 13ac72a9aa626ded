// The MD5 digest (RFC 1321), for the machine identifier.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace md5 {

std::array<uint8_t, 16> digest(std::string_view bytes);

// The digest as 32 hexadecimal digits, upper case.
std::string upperHex(std::string_view bytes);

}  // namespace md5
