// Fuzzes what the WebSocket client reads from the server: frames, their assembly into messages, and
// the handshake answer. Whatever the bytes, reading must stay inside the buffer and end.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "server/ws/frame.h"
#include "server/ws/handshake.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  // A small limit, so that the too-big paths are reached with small inputs.
  constexpr uint64_t kLimit = 4096;
  ws::Assembly assembly;
  size_t offset = 0;
  while (offset < input.size()) {
    ws::Frame frame;
    if (ws::readFrame(input.substr(offset), frame, kLimit) != ws::FrameStatus::kFrame) break;
    const char* start = input.data() + offset;
    if (frame.frameSize < 2 || frame.frameSize > input.size() - offset || frame.payload.data() < start ||
        frame.payload.data() + frame.payload.size() > start + frame.frameSize)
      __builtin_trap();
    offset += frame.frameSize;
    ws::FrameAction action = ws::takeFrame(assembly, frame, kLimit);
    if (action.kind == ws::FrameAction::kMessage && action.data.size() > kLimit) __builtin_trap();
    if (action.kind == ws::FrameAction::kFail || action.kind == ws::FrameAction::kClose) break;
  }

  size_t headerSize = 0;
  if (ws::checkResponse(input, "dGhlIHNhbXBsZSBub25jZQ==", headerSize) == ws::ResponseStatus::kAccepted &&
      headerSize > input.size())
    __builtin_trap();
  ws::parseUrl(input);
  return 0;
}
