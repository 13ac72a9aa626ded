#include "server/ws/frame.h"

#include "common/codepage.h"

namespace ws {
namespace {

bool isControl(uint8_t opcode) { return opcode & 0x8; }

bool isKnownOpcode(uint8_t opcode) {
  switch (opcode) {
    case kContinuation:
    case kText:
    case kBinary:
    case kClose:
    case kPing:
    case kPong:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool isSendableCloseCode(uint16_t code) {
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
}

FrameStatus readFrame(std::string_view data, Frame& frame, uint64_t maxPayload) {
  if (data.size() < 2) return FrameStatus::kNeedMore;
  auto byte = [&](size_t i) { return uint8_t(data[i]); };
  uint8_t first = byte(0), second = byte(1);
  if (first & 0x70) return FrameStatus::kProtocolError;  // no extension was negotiated
  uint8_t opcode = first & 0x0F;
  if (!isKnownOpcode(opcode)) return FrameStatus::kProtocolError;
  if (second & 0x80) return FrameStatus::kProtocolError;  // a server must not mask
  bool fin = first & 0x80;

  uint64_t length = second & 0x7F;
  size_t header = 2;
  if (length == 126) {
    if (data.size() < 4) return FrameStatus::kNeedMore;
    length = uint64_t(byte(2)) << 8 | byte(3);
    header = 4;
  } else if (length == 127) {
    if (data.size() < 10) return FrameStatus::kNeedMore;
    length = 0;
    for (size_t i = 2; i < 10; ++i) length = length << 8 | byte(i);
    if (length >> 63) return FrameStatus::kProtocolError;
    header = 10;
  }
  if (isControl(opcode) && (!fin || length > 125)) return FrameStatus::kProtocolError;
  if (length > maxPayload) return FrameStatus::kTooBig;
  if (data.size() - header < length) return FrameStatus::kNeedMore;

  frame.fin = fin;
  frame.opcode = opcode;
  frame.payload = data.substr(header, size_t(length));
  frame.frameSize = header + size_t(length);
  return FrameStatus::kFrame;
}

std::string buildFrame(uint8_t opcode, std::string_view payload, const uint8_t mask[4], bool fin) {
  std::string out;
  out.reserve(payload.size() + 14);
  out.push_back(char((fin ? 0x80 : 0) | (opcode & 0x0F)));
  uint64_t length = payload.size();
  if (length < 126) {
    out.push_back(char(0x80 | length));
  } else if (length <= 0xFFFF) {
    out.push_back(char(0x80 | 126));
    out.push_back(char(length >> 8));
    out.push_back(char(length));
  } else {
    out.push_back(char(0x80 | 127));
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(char(length >> shift));
  }
  out.append(reinterpret_cast<const char*>(mask), 4);
  size_t start = out.size();
  out.append(payload);
  for (size_t i = 0; i < payload.size(); ++i) out[start + i] = char(out[start + i] ^ mask[i % 4]);
  return out;
}

std::string closePayload(uint16_t code) { return {char(code >> 8), char(code & 0xFF)}; }

FrameAction takeFrame(Assembly& assembly, const Frame& frame, uint64_t maxMessage) {
  FrameAction action;
  auto fail = [&](uint16_t code) {
    action.kind = FrameAction::kFail;
    action.failCode = code;
    assembly = Assembly{};
    return action;
  };

  switch (frame.opcode) {
    case kPing:
      action.kind = FrameAction::kPing;
      action.data.assign(frame.payload);
      return action;
    case kPong:
      action.kind = FrameAction::kPong;
      return action;
    case kClose:
      // A one-byte close payload cannot hold a code.
      if (frame.payload.size() == 1) return fail(kCloseProtocolError);
      if (frame.payload.size() >= 2) {
        const uint16_t code = uint16_t(uint8_t(frame.payload[0]) << 8 | uint8_t(frame.payload[1]));
        if (!isSendableCloseCode(code)) return fail(kCloseProtocolError);
        if (!codepage::isUtf8(frame.payload.substr(2))) return fail(kCloseInvalidData);
      }
      action.kind = FrameAction::kClose;
      action.data.assign(frame.payload);
      return action;
    case kText:
    case kBinary:
      if (assembly.inMessage) return fail(kCloseProtocolError);  // the previous message is unfinished
      assembly.inMessage = true;
      assembly.type = frame.opcode;
      assembly.data.clear();
      break;
    case kContinuation:
      if (!assembly.inMessage) return fail(kCloseProtocolError);
      break;
    default:
      return fail(kCloseProtocolError);
  }

  if (assembly.data.size() + frame.payload.size() > maxMessage) return fail(kCloseTooBig);
  assembly.data.append(frame.payload);
  if (frame.fin) {
    action.kind = FrameAction::kMessage;
    action.messageType = assembly.type;
    action.data = std::move(assembly.data);
    assembly = Assembly{};
  }
  return action;
}

}  // namespace ws
