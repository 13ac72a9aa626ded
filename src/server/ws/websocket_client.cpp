#include "server/ws/websocket_client.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "common/codepage.h"
#include "server/ws/frame.h"
#include "server/ws/handshake.h"
#include "server/ws/socket.h"
#include "server/ws/tls.h"

namespace ws {
namespace {

// The clocks come with <thread>; <chrono> itself cannot be included, as its "µs" literal has no GBK form.
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Connecting and the opening handshake together may take this long.
constexpr auto kConnectTime = std::chrono::seconds(10);
// A send that cannot go on for this long (the server stopped reading) fails instead of hanging.
constexpr int kSendTimeoutMs = 10000;
// The I/O thread looks at its stop flag at least this often.
constexpr int kSliceMs = 200;
constexpr size_t kReadChunk = 64 * 1024;
// Messages received but not handled yet are held up to this many bytes; past it the socket is not read
// until the handlers catch up, and TCP holds the rest.
constexpr size_t kMaxQueuedBytes = size_t(32) << 20;

struct Event {
  enum Kind { kMessage, kConnected, kConnectFailed, kDisconnected } kind;
  int32_t messageType = 0;
  std::string data;
};

// One connection, from the first connect attempt to the closed socket.
struct Connection {
  // Set when we end the connection ourselves (Close, BaseRelease, a new Connect): it then ends quietly.
  std::atomic<bool> stopping{false};
  // Whole frames go out one at a time. The owner holds this (and socketLock) while closing the
  // socket, so a sender never uses a closed handle.
  std::mutex sendLock;
  // Guards `socket` against a shutdown from another thread while the owner closes it.
  std::mutex socketLock;
  sock::Handle socket = sock::kNoSocket;
  bool open = false;  // handshake done; under sendLock

  // On a wss link, the TLS session and what it holds, under tlsLock: the records received but not
  // decrypted yet, what the session owes the server (it goes out before the next data), and whether
  // our close_notify has gone.
  std::unique_ptr<tls::Session> tls;
  std::mutex tlsLock;
  std::string tlsReceived;
  std::string tlsOwed;
  bool tlsClosed = false;
};

}  // namespace

struct ClientState {
  mutable std::mutex lock;
  std::condition_variable wake;
  std::deque<Event> events;
  size_t queuedBytes = 0;            // of the messages in `events`
  std::condition_variable drained;   // a message left the queue
  bool released = false;
  std::thread::id eventThread;

  WebSocketClient::MessageHandler onMessage;
  WebSocketClient::EventHandler onConnected, onConnectFailed, onDisconnected;

  // The message whose handler is running, for GetMessageText.
  int32_t lastHandle = 0;
  int32_t currentHandle = 0;
  std::string currentMessage;

  std::shared_ptr<Connection> connection;  // the open connection or the attempt under way
  int status = -1;
  milliseconds pingAfter{30000};
  milliseconds dropAfter{30000};

  // One connect attempt at a time.
  std::mutex connectLock;
};

namespace {

using StatePtr = std::shared_ptr<ClientState>;
using ConnectionPtr = std::shared_ptr<Connection>;

// Caller holds state.lock.
void queueEvent(ClientState& state, Event event) {
  state.events.push_back(std::move(event));
  state.wake.notify_one();
}

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

// Sends everything or fails. Callers hold sendLock once the connection is open, so records leave in the
// order they were sealed.
bool sendBytes(Connection& c, std::string_view data) {
  const std::string wire = onTheWire(c, data);
  return !wire.empty() && sock::sendAll(c.socket, wire.data(), wire.size());
}

// Reads what the socket has and appends the server's data to `into` (on a wss link, whatever whole
// records brought, which may be nothing yet); false when the connection has ended or broken.
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

// From any thread: wakes the owner and any blocked sender; the owner then closes the socket.
void shutDown(Connection& c) {
  std::lock_guard<std::mutex> guard(c.socketLock);
  if (c.socket != sock::kNoSocket) sock::shutdownBoth(c.socket);
}

// Only the thread that owns the connection (the attempt, then the I/O thread) closes the socket.
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

// Ends a connection of ours quietly. The close frame is a courtesy sent only if it goes without
// waiting: the caller may be ending the program.
void stopConnection(Connection& c) {
  c.stopping = true;
  if (c.sendLock.try_lock()) {
    const std::string frame = clientFrame(kClose, closePayload(kCloseNormal));
    if (c.open && !frame.empty()) sendLastWord(c, frame);
    c.sendLock.unlock();
  }
  shutDown(c);
}

void runEvents(StatePtr state) {
  std::unique_lock<std::mutex> lock(state->lock);
  for (;;) {
    state->wake.wait(lock, [&] { return state->released || !state->events.empty(); });
    if (state->released) return;
    Event event = std::move(state->events.front());
    state->events.pop_front();
    if (event.kind == Event::kMessage) {
      state->queuedBytes -= event.data.size();
      state->drained.notify_all();
    }

    // The handler runs from a copy, so BaseRelease may drop the stored ones while it runs.
    std::function<void()> call;
    switch (event.kind) {
      case Event::kMessage: {
        int32_t handle = state->lastHandle = state->lastHandle == INT32_MAX ? 1 : state->lastHandle + 1;
        state->currentHandle = handle;
        state->currentMessage = std::move(event.data);
        if (auto handler = state->onMessage) call = [handler, type = event.messageType, handle] { handler(type, handle); };
        break;
      }
      case Event::kConnected:
        call = state->onConnected;
        break;
      case Event::kConnectFailed:
        call = state->onConnectFailed;
        break;
      case Event::kDisconnected:
        call = state->onDisconnected;
        break;
    }
    lock.unlock();
    if (call) call();
    call = nullptr;
    lock.lock();
    state->currentHandle = 0;
    state->currentMessage.clear();
  }
}

// While the queue holds its bound of messages, waits until the handlers have taken some (or the
// connection or the client ends); true when it had to wait.
bool waitForRoom(ClientState& state, const Connection& c) {
  std::unique_lock<std::mutex> lock(state.lock);
  if (state.queuedBytes < kMaxQueuedBytes) return false;
  while (state.queuedBytes >= kMaxQueuedBytes && !state.released && !c.stopping)
    state.drained.wait_for(lock, milliseconds(kSliceMs));
  return true;
}

// The I/O thread of one open connection.
void runConnection(StatePtr state, ConnectionPtr c, std::string buffer, milliseconds pingAfter,
                   milliseconds dropAfter) {
  Assembly assembly;
  auto lastHeard = Clock::now();
  bool pingSent = false;
  Clock::time_point pingSentAt;
  std::vector<char> chunk(kReadChunk);

  while (!c->stopping) {
    // Act on every whole frame received so far.
    bool end = false;
    size_t offset = 0;
    while (!end) {
      Frame frame;
      FrameStatus status = readFrame(std::string_view(buffer).substr(offset), frame);
      if (status == FrameStatus::kNeedMore) break;
      if (status != FrameStatus::kFrame) {
        sendFrame(*c, kClose, closePayload(status == FrameStatus::kTooBig ? kCloseTooBig : kCloseProtocolError));
        end = true;
        break;
      }
      offset += frame.frameSize;
      FrameAction action = takeFrame(assembly, frame);
      switch (action.kind) {
        case FrameAction::kMessage: {
          std::lock_guard<std::mutex> guard(state->lock);
          if (!state->released && !c->stopping) {
            state->queuedBytes += action.data.size();
            queueEvent(*state, Event{Event::kMessage, action.messageType, std::move(action.data)});
          }
          break;
        }
        case FrameAction::kPing:
          sendFrame(*c, kPong, action.data);
          break;
        case FrameAction::kClose:
          // Answer with the server's own code (a code a peer may send, or none), as the closing
          // handshake asks.
          sendFrame(*c, kClose, std::string_view(action.data).substr(0, 2));
          end = true;
          break;
        case FrameAction::kFail:
          sendFrame(*c, kClose, closePayload(action.failCode));
          end = true;
          break;
        case FrameAction::kPong:
        case FrameAction::kNothing:
          break;
      }
    }
    if (end) break;
    buffer.erase(0, offset);

    // The time spent waiting for room is not silence of the server's.
    if (waitForRoom(*state, *c)) {
      lastHeard = Clock::now();
      pingSent = false;
      continue;
    }

    // Keepalive: anything received restarts the clock; silence first earns a ping, then a drop.
    auto now = Clock::now();
    auto due = pingSent ? pingSentAt + dropAfter : lastHeard + pingAfter;
    if (now >= due) {
      if (pingSent) break;
      pingSent = true;
      pingSentAt = now;
      if (!sendFrame(*c, kPing, {})) break;
      continue;
    }
    auto untilDue = std::chrono::duration_cast<milliseconds>(due - now).count() + 1;
    sock::Wait wait = sock::waitReadable(c->socket, int(std::min<long long>(untilDue, kSliceMs)));
    if (wait == sock::Wait::kFailed) break;
    if (wait == sock::Wait::kTimeout) continue;
    if (!receiveInto(*c, buffer, chunk.data(), chunk.size())) break;
    lastHeard = Clock::now();
    pingSent = false;
  }

  closeOwned(*c);
  std::lock_guard<std::mutex> guard(state->lock);
  if (state->connection == c) {
    state->connection.reset();
    state->status = -1;
  }
  if (!state->released && !c->stopping) queueEvent(*state, Event{Event::kDisconnected, 0, {}});
}

// Waits, while connecting, until the server has sent something; false with the reason when the attempt
// is stopped, runs out of time or the socket fails.
bool awaitServer(Connection& c, Clock::time_point deadline, std::string& why) {
  for (;;) {
    if (c.stopping) {
      why = "closed while connecting";
      return false;
    }
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      why = "the handshake timed out";
      return false;
    }
    sock::Wait wait = sock::waitReadable(c.socket, int(std::min<long long>(left, kSliceMs)));
    if (wait == sock::Wait::kFailed) {
      why = "waiting for the handshake failed";
      return false;
    }
    if (wait == sock::Wait::kReady) return true;
  }
}

// Reads the server's handshake answer; on success `rest` holds what came after it (early frames).
bool handshake(Connection& c, const Url& url, Clock::time_point deadline, std::string& rest, std::string& why) {
  uint8_t nonce[16];
  if (!sock::randomBytes(nonce, sizeof nonce)) {
    why = "no random source for the handshake";
    return false;
  }
  std::string key = handshakeKey(nonce);
  std::string request = buildRequest(url, key);
  if (!sendBytes(c, request)) {
    why = "sending the handshake failed";
    return false;
  }
  std::string received;
  char chunk[4096];
  for (;;) {
    size_t headerSize = 0;
    switch (checkResponse(received, key, headerSize, &why)) {
      case ResponseStatus::kAccepted:
        rest = received.substr(headerSize);
        return true;
      case ResponseStatus::kRejected:
        return false;
      case ResponseStatus::kNeedMore:
        break;
    }
    if (!awaitServer(c, deadline, why)) return false;
    if (!receiveInto(c, received, chunk, sizeof chunk)) {
      why = "the server closed the connection during the handshake";
      return false;
    }
  }
}

// The TLS handshake of a wss link: nothing of ours goes out before it is through, and it is through only
// when the server's certificate checks out.
bool secure(Connection& c, const Url& url, Clock::time_point deadline, std::string& why) {
  c.tls = tls::Session::create(url.host, &why);
  if (!c.tls) return false;
  char chunk[16 * 1024];
  for (;;) {
    std::string out;
    const tls::Session::Step step = c.tls->handshake(c.tlsReceived, out, &why);
    // A failed handshake's alert goes too, as a courtesy.
    const bool sent = out.empty() || sock::sendAll(c.socket, out.data(), out.size());
    if (step == tls::Session::Step::kFailed) return false;
    if (!sent) {
      why = "sending the TLS handshake failed";
      return false;
    }
    if (step == tls::Session::Step::kDone) return true;
    if (!awaitServer(c, deadline, why)) return false;
    const long n = sock::receiveSome(c.socket, chunk, sizeof chunk);
    if (n <= 0) {
      why = "the server closed the connection during the TLS handshake";
      return false;
    }
    c.tlsReceived.append(chunk, size_t(n));
  }
}

bool attemptConnect(const StatePtr& state, const std::string& urlText, std::string* reason, bool raiseFailure) {
  std::lock_guard<std::mutex> one(state->connectLock);
  auto c = std::make_shared<Connection>();
  ConnectionPtr old;
  milliseconds pingAfter, dropAfter;
  {
    std::lock_guard<std::mutex> guard(state->lock);
    if (state->released) {
      if (reason) *reason = "the client was released";
      return false;
    }
    old = std::exchange(state->connection, c);
    state->status = 0;
    pingAfter = state->pingAfter;
    dropAfter = state->dropAfter;
  }
  if (old) stopConnection(*old);

  std::string why;
  std::string rest;
  bool made = false;
  if (auto url = parseUrl(urlText, &why)) {
    auto deadline = Clock::now() + kConnectTime;
    int connectMs = int(std::chrono::duration_cast<milliseconds>(kConnectTime).count());
    sock::Handle socket = sock::connectTcp(url->host, url->port, connectMs, c->stopping, kSendTimeoutMs, &why);
    if (socket != sock::kNoSocket) {
      {
        std::lock_guard<std::mutex> guard(c->socketLock);
        c->socket = socket;
      }
      // A stop that came before the handle was stored did not shut it down: look again.
      made = !c->stopping && (!url->secure || secure(*c, *url, deadline, why)) &&
             handshake(*c, *url, deadline, rest, why);
      if (c->stopping && why.empty()) why = "closed while connecting";
    }
  }

  if (made) {
    std::lock_guard<std::mutex> sendGuard(c->sendLock);
    c->open = true;
  }

  {
    std::lock_guard<std::mutex> guard(state->lock);
    if (made && !state->released && !c->stopping && state->connection == c) {
      state->status = 1;
      // Queued before the I/O thread starts, so connected comes before any message or disconnect.
      queueEvent(*state, Event{Event::kConnected, 0, {}});
      std::thread(runConnection, state, c, std::move(rest), pingAfter, dropAfter).detach();
      return true;
    }
    if (state->connection == c) {
      state->connection.reset();
      state->status = -1;
    }
    if (raiseFailure && !state->released && !c->stopping)
      queueEvent(*state, Event{Event::kConnectFailed, 0, {}});
  }
  closeOwned(*c);
  if (why.empty()) why = "closed while connecting";
  if (reason) *reason = why;
  return false;
}

}  // namespace

WebSocketClient::~WebSocketClient() { BaseRelease(); }

void WebSocketClient::BaseCreate() {
  if (state_) return;
  state_ = std::make_shared<ClientState>();
  std::lock_guard<std::mutex> guard(state_->lock);
  std::thread events(runEvents, state_);
  state_->eventThread = events.get_id();
  events.detach();
}

void WebSocketClient::Init(MessageHandler onMessage, EventHandler onConnected, EventHandler onConnectFailed,
                           EventHandler onDisconnected) {
  if (!state_) return;
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->onMessage = std::move(onMessage);
  state_->onConnected = std::move(onConnected);
  state_->onConnectFailed = std::move(onConnectFailed);
  state_->onDisconnected = std::move(onDisconnected);
}

bool WebSocketClient::Connect(std::string_view url, bool blocking, std::string* errorReason) {
  if (!state_) {
    if (errorReason) *errorReason = "the client was not created";
    return false;
  }
  StatePtr state = state_;
  if (!blocking) {
    std::thread([state, text = std::string(url)] { attemptConnect(state, text, nullptr, true); }).detach();
    return true;
  }
  bool inHandler;
  {
    std::lock_guard<std::mutex> guard(state->lock);
    inHandler = std::this_thread::get_id() == state->eventThread;
  }
  return attemptConnect(state, std::string(url), errorReason, !inHandler);
}

std::string WebSocketClient::GetMessageText(int32_t handle) const {
  if (!state_) return {};
  std::lock_guard<std::mutex> guard(state_->lock);
  if (handle == 0 || handle != state_->currentHandle) return {};
  return codepage::utf8ToGbk(state_->currentMessage);
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

int WebSocketClient::GetConnectStatus() const {
  if (!state_) return -1;
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->status;
}

void WebSocketClient::BaseRelease() {
  // state_ itself stays: another thread may be calling in at this moment, and the released flag
  // turns it away.
  StatePtr state = state_;
  if (!state) return;
  ConnectionPtr c;
  MessageHandler onMessage;
  EventHandler onConnected, onConnectFailed, onDisconnected;
  std::deque<Event> events;
  {
    std::lock_guard<std::mutex> guard(state->lock);
    if (state->released) return;
    state->released = true;
    c = std::move(state->connection);
    state->status = -1;
    events.swap(state->events);
    state->queuedBytes = 0;
    // Destroyed below, outside the lock; a handler that is running has its own copy.
    onMessage = std::move(state->onMessage);
    onConnected = std::move(state->onConnected);
    onConnectFailed = std::move(state->onConnectFailed);
    onDisconnected = std::move(state->onDisconnected);
  }
  state->wake.notify_all();
  if (c) stopConnection(*c);
}

void WebSocketClient::SetKeepalive(int pingAfterMs, int dropAfterMs) {
  if (!state_) return;
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->pingAfter = milliseconds(pingAfterMs);
  state_->dropAfter = milliseconds(dropAfterMs);
}

}  // namespace ws
