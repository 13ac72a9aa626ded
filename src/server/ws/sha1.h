// SHA-1 (FIPS 180-4), needed only to check the server's answer to the WebSocket opening handshake.
#pragma once
#include <array>
#include <cstdint>
#include <string_view>

namespace ws {

using Sha1Digest = std::array<uint8_t, 20>;

Sha1Digest sha1(std::string_view bytes);

}  // namespace ws
