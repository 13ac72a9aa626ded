// WebSocket framing (RFC 6455) as pure functions over byte buffers, so that the reader can be tested
// and fuzzed without a socket: read one server frame, collect frames into messages, build client frames.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ws {

enum Opcode : uint8_t {
  kContinuation = 0x0,
  kText = 0x1,
  kBinary = 0x2,
  kClose = 0x8,
  kPing = 0x9,
  kPong = 0xA,
};

// Close codes we send.
inline constexpr uint16_t kCloseNormal = 1000;
inline constexpr uint16_t kCloseProtocolError = 1002;
inline constexpr uint16_t kCloseInvalidData = 1007;
inline constexpr uint16_t kCloseTooBig = 1009;

// A whole message, however it was fragmented, may not exceed this: no message of the protocol comes
// near it, and a bigger one closes the connection with 1009.
inline constexpr uint64_t kMaxMessageSize = uint64_t(16) << 20;

// Whether a peer may send this close code: 1000 to 1003, 1007 to 1014, and 3000 to 4999 for
// registered and private use. The others are reserved, or only for reporting (1005, 1006, 1015).
bool isSendableCloseCode(uint16_t code);

struct Frame {
  bool fin = false;
  uint8_t opcode = 0;
  std::string_view payload;  // points into the buffer that was read; server frames are never masked
  size_t frameSize = 0;      // header plus payload: how far the next frame starts
};

enum class FrameStatus { kFrame, kNeedMore, kProtocolError, kTooBig };

// Reads the frame at the front of `data`. A server frame that is masked, sets a reserved bit, uses a
// reserved opcode, has a length with the top bit set, or is a control frame that is fragmented or
// longer than 125 bytes is a protocol error.
FrameStatus readFrame(std::string_view data, Frame& frame, uint64_t maxPayload = kMaxMessageSize);

// A client frame: always masked with `mask`, as servers must reject unmasked ones.
std::string buildFrame(uint8_t opcode, std::string_view payload, const uint8_t mask[4], bool fin = true);

// The payload of a close frame carrying `code`.
std::string closePayload(uint16_t code);

// The message being collected from its fragments.
struct Assembly {
  bool inMessage = false;
  uint8_t type = 0;  // kText or kBinary
  std::string data;
};

// What the connection has to do after a frame.
struct FrameAction {
  enum Kind { kNothing, kMessage, kPing, kPong, kClose, kFail } kind = kNothing;
  uint8_t messageType = 0;  // for kMessage: kText or kBinary
  std::string data;         // the message, the ping payload or the close payload (a code and a UTF-8 reason, or nothing)
  uint16_t failCode = 0;    // for kFail: the close code to send before dropping the connection
};

// Feeds one frame read by readFrame into the assembly.
FrameAction takeFrame(Assembly& assembly, const Frame& frame, uint64_t maxMessage = kMaxMessageSize);

}  // namespace ws
