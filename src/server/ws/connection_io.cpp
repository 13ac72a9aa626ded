// The connection's I/O: the bytes on the wire (through TLS on a wss link), frames sent from any
// thread, and the I/O thread that reads frames, answers pings and runs the keepalive clock.
#include <algorithm>
#include <utility>
#include <vector>

#include "common/codepage.h"
#include "server/ws/client_state.h"
#include "server/ws/frame.h"

namespace ws {
namespace {

constexpr size_t kReadChunk = 64 * 1024;

// A client frame masked with a fresh key from the system's random source, as a key that can be
// predicted would let a page on the path forge what the server reads; empty when there is no source.
std::string clientFrame(uint8_t opcode, std::string_view payload) {
  uint8_t mask[4];
  if (!sock::randomBytes(mask, sizeof mask)) return {};
  return buildFrame(opcode, payload, mask);
}

// The bytes that carry `data` on the wire: itself on a ws link; on a wss link, its records after what the
// session owes the server, and the close_notify after them when `last`. Empty when the session refuses.
std::string onTheWire(Connection& c, std::string_view data, bool last = false) {
  if (!c.tls) return std::string(data);
  std::string wire;
  std::lock_guard<std::mutex> guard(c.tlsLock);
  if (c.tlsClosed) return wire;
  wire.swap(c.tlsOwed);
  if (!data.empty() && !c.tls->encrypt(data, wire)) return {};
  if (last) {
    wire += c.tls->closeNotify();
    c.tlsClosed = true;
  }
  return wire;
}

bool sendFrame(Connection& c, uint8_t opcode, std::string_view payload) {
  const std::string frame = clientFrame(opcode, payload);
  if (frame.empty()) return false;
  std::lock_guard<std::mutex> guard(c.sendLock);
  if (!c.open || c.socket == sock::kNoSocket) return false;
  return sendBytes(c, frame);
}

// A last word that goes only if it fits into the socket's buffer now: on a wss link with our
// close_notify after it. Caller holds sendLock.
void sendLastWord(Connection& c, std::string_view data) {
  if (c.socket == sock::kNoSocket || (data.empty() && !c.tls)) return;
  const std::string wire = onTheWire(c, data, true);
  if (!wire.empty()) sock::sendWithoutWaiting(c.socket, wire.data(), wire.size());
}

// Acts on every whole frame at the front of `buffer` and drops them from it; false when the connection
// is to end (the server closed it, or broke the protocol and has been told why).
bool actOnFrames(ClientState& state, Connection& c, Assembly& assembly, std::string& buffer) {
  size_t offset = 0;
  for (;;) {
    Frame frame;
    const FrameStatus status = readFrame(std::string_view(buffer).substr(offset), frame);
    if (status == FrameStatus::kNeedMore) break;
    if (status != FrameStatus::kFrame) {
      sendFrame(c, kClose, closePayload(status == FrameStatus::kTooBig ? kCloseTooBig : kCloseProtocolError));
      return false;
    }
    offset += frame.frameSize;
    FrameAction action = takeFrame(assembly, frame);
    switch (action.kind) {
      case FrameAction::kMessage:
        queueMessage(state, c, action.messageType, std::move(action.data));
        break;
      case FrameAction::kPing:
        sendFrame(c, kPong, action.data);
        break;
      case FrameAction::kClose:
        // Answer with the server's own code (a code a peer may send, or none), as the closing
        // handshake asks.
        sendFrame(c, kClose, std::string_view(action.data).substr(0, 2));
        return false;
      case FrameAction::kFail:
        sendFrame(c, kClose, closePayload(action.failCode));
        return false;
      case FrameAction::kPong:
      case FrameAction::kNothing:
        break;
    }
  }
  buffer.erase(0, offset);
  return true;
}

// The keepalive clock: anything received restarts it; silence first earns a ping, then a drop.
struct Keepalive {
  milliseconds pingAfter, dropAfter;
  Clock::time_point lastHeard = Clock::now();
  bool pingSent = false;
  Clock::time_point pingSentAt{};

  void heard() {
    lastHeard = Clock::now();
    pingSent = false;
  }
  Clock::time_point due() const { return pingSent ? pingSentAt + dropAfter : lastHeard + pingAfter; }
};

// The I/O thread's last word on its connection: forgotten by the client, and reported as a disconnect
// unless we ended it ourselves.
void connectionEnded(ClientState& state, const ConnectionPtr& c) {
  closeOwned(*c);
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.connection == c) {
    state.connection.reset();
    state.status = -1;
  }
  if (!state.released && !c->stopping) queueEvent(state, Event{Event::kDisconnected, 0, {}});
}

}  // namespace

// Callers hold sendLock once the connection is open, so records leave in the order they were sealed.
bool sendBytes(Connection& c, std::string_view data) {
  const std::string wire = onTheWire(c, data);
  return !wire.empty() && sock::sendAll(c.socket, wire.data(), wire.size());
}

// On a wss link, `into` gets whatever whole records brought, which may be nothing yet, and what the
// session owes the server goes out at once.
bool receiveInto(Connection& c, std::string& into, char* chunk, size_t size) {
  const long n = sock::receiveSome(c.socket, chunk, size);
  if (n <= 0) return false;
  if (!c.tls) {
    into.append(chunk, size_t(n));
    return true;
  }
  bool owes;
  {
    std::lock_guard<std::mutex> guard(c.tlsLock);
    c.tlsReceived.append(chunk, size_t(n));
    if (c.tls->decrypt(c.tlsReceived, into, c.tlsOwed) != tls::Session::Read::kOpen) return false;
    owes = !c.tlsOwed.empty();
  }
  if (!owes) return true;
  std::lock_guard<std::mutex> guard(c.sendLock);
  return sendBytes(c, {});
}

void shutDown(Connection& c) {
  std::lock_guard<std::mutex> guard(c.socketLock);
  if (c.socket != sock::kNoSocket) sock::shutdownBoth(c.socket);
}

void closeOwned(Connection& c) {
  if (c.open && c.sendLock.try_lock()) {
    sendLastWord(c, {});
    c.sendLock.unlock();
  }
  shutDown(c);  // a sender blocked on a full buffer lets go of sendLock
  std::scoped_lock guard(c.sendLock, c.socketLock);
  if (c.socket != sock::kNoSocket) sock::closeSocket(c.socket);
  c.socket = sock::kNoSocket;
  c.open = false;
}

// The close frame is a courtesy sent only if it goes without waiting: the caller may be ending the
// program.
void stopConnection(Connection& c) {
  c.stopping = true;
  if (c.sendLock.try_lock()) {
    const std::string frame = clientFrame(kClose, closePayload(kCloseNormal));
    if (c.open && !frame.empty()) sendLastWord(c, frame);
    c.sendLock.unlock();
  }
  shutDown(c);
}

void runConnection(StatePtr state, ConnectionPtr c, std::string buffer, milliseconds pingAfter,
                   milliseconds dropAfter) {
  Assembly assembly;
  Keepalive clock{pingAfter, dropAfter};
  std::vector<char> chunk(kReadChunk);

  while (!c->stopping) {
    if (!actOnFrames(*state, *c, assembly, buffer)) break;

    // The time spent waiting for room is not silence of the server's.
    if (waitForRoom(*state, *c)) {
      clock.heard();
      continue;
    }

    const auto now = Clock::now();
    const auto due = clock.due();
    if (now >= due) {
      if (clock.pingSent) break;
      clock.pingSent = true;
      clock.pingSentAt = now;
      if (!sendFrame(*c, kPing, {})) break;
      continue;
    }
    const auto untilDue = std::chrono::duration_cast<milliseconds>(due - now).count() + 1;
    const sock::Wait wait = sock::waitReadable(c->socket, int(std::min<long long>(untilDue, kSliceMs)));
    if (wait == sock::Wait::kFailed) break;
    if (wait == sock::Wait::kTimeout) continue;
    if (!receiveInto(*c, buffer, chunk.data(), chunk.size())) break;
    clock.heard();
  }
  connectionEnded(*state, c);
}

bool WebSocketClient::SendTextTo(std::string_view gbkText) {
  if (!state_) return false;
  ConnectionPtr c;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->status != 1) return false;
    c = state_->connection;
  }
  if (!c) return false;
  if (sendFrame(*c, kText, codepage::gbkToUtf8(gbkText))) return true;
  // Half a frame may have gone out: the connection is no use any more, and its I/O thread reports it.
  shutDown(*c);
  return false;
}

void WebSocketClient::Close() {
  if (!state_) return;
  ConnectionPtr c;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    c = std::move(state_->connection);
    state_->status = -1;
  }
  if (c) stopConnection(*c);
}

}  // namespace ws
