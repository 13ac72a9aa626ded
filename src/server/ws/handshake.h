// The WebSocket opening handshake and the addresses it goes to, as pure functions over text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ws {

struct Url {
  std::string host;  // a name or an IPv4 address; an IPv6 address without its brackets
  uint16_t port = 80;  // 443 by default for wss
  std::string target;  // path and query, at least "/"
  bool secure = false;  // wss: the connection goes through TLS
};

// Reads "ws://host[:port][/path][?query]" or the same with "wss://". Anything else gives no address and
// a reason.
std::optional<Url> parseUrl(std::string_view url, std::string* reason = nullptr);

// The Sec-WebSocket-Key for 16 random bytes.
std::string handshakeKey(const uint8_t nonce[16]);

// The Sec-WebSocket-Accept a server must answer to `key`.
std::string acceptFor(std::string_view key);

std::string buildRequest(const Url& url, std::string_view key);

enum class ResponseStatus { kNeedMore, kAccepted, kRejected };

// Checks the server's answer in `received` (which may hold frames after it). On kAccepted,
// headerSize is where the first frame starts; on kRejected, reason says why.
ResponseStatus checkResponse(std::string_view received, std::string_view key, size_t& headerSize,
                             std::string* reason = nullptr);

// A response header longer than this is refused rather than buffered without end.
inline constexpr size_t kMaxResponseHeader = 16 * 1024;

}  // namespace ws
