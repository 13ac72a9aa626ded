// Connecting: the TCP connection, the TLS handshake of a wss link, the opening handshake, and the
// connection handed to its I/O thread once it is made.
#include <algorithm>
#include <utility>

#include "server/ws/client_state.h"
#include "server/ws/handshake.h"

namespace ws {
namespace {

// Connecting and the opening handshake together may take this long.
constexpr auto kConnectTime = std::chrono::seconds(10);
// A send that cannot go on for this long (the server stopped reading) fails instead of hanging.
constexpr int kSendTimeoutMs = 10000;

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

// One connect attempt: the connection it makes, the keepalive clock it was begun with, what came after
// the handshake (early frames) and, when it fails, why.
struct Attempt {
  ConnectionPtr c = std::make_shared<Connection>();
  milliseconds pingAfter{}, dropAfter{};
  std::string rest;
  std::string why;
};

// Makes the attempt's connection the client's, stopping the one before quietly; false when the client
// was released.
bool begin(ClientState& state, Attempt& a) {
  ConnectionPtr old;
  {
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.released) return false;
    old = std::exchange(state.connection, a.c);
    state.status = 0;
    a.pingAfter = state.pingAfter;
    a.dropAfter = state.dropAfter;
  }
  if (old) stopConnection(*old);
  return true;
}

// Opens the socket and runs the handshakes; true when the connection is open.
bool open(const std::string& urlText, Attempt& a) {
  Connection& c = *a.c;
  auto url = parseUrl(urlText, &a.why);
  if (!url) return false;
  auto deadline = Clock::now() + kConnectTime;
  int connectMs = int(std::chrono::duration_cast<milliseconds>(kConnectTime).count());
  sock::Handle socket = sock::connectTcp(url->host, url->port, connectMs, c.stopping, kSendTimeoutMs, &a.why);
  if (socket == sock::kNoSocket) return false;
  {
    std::lock_guard<std::mutex> guard(c.socketLock);
    c.socket = socket;
  }
  // A stop that came before the handle was stored did not shut it down: look again.
  const bool made = !c.stopping && (!url->secure || secure(c, *url, deadline, a.why)) &&
                    handshake(c, *url, deadline, a.rest, a.why);
  if (c.stopping && a.why.empty()) a.why = "closed while connecting";
  if (made) {
    std::lock_guard<std::mutex> sendGuard(c.sendLock);
    c.open = true;
  }
  return made;
}

// The attempt's outcome told to the client: a connection made (and still wanted) is the client's, its
// connected event queued and its I/O thread started; otherwise it is forgotten, and its failure raised
// as an event when `raiseFailure`. True when the connection was handed on.
bool settle(const StatePtr& state, Attempt& a, bool made, bool raiseFailure) {
  std::lock_guard<std::mutex> guard(state->lock);
  if (made && !state->released && !a.c->stopping && state->connection == a.c) {
    state->status = 1;
    // Queued before the I/O thread starts, so connected comes before any message or disconnect.
    queueEvent(*state, Event{Event::kConnected, 0, {}});
    std::thread(runConnection, state, a.c, std::move(a.rest), a.pingAfter, a.dropAfter).detach();
    return true;
  }
  if (state->connection == a.c) {
    state->connection.reset();
    state->status = -1;
  }
  if (raiseFailure && !state->released && !a.c->stopping)
    queueEvent(*state, Event{Event::kConnectFailed, 0, {}});
  return false;
}

bool attemptConnect(const StatePtr& state, const std::string& urlText, std::string* reason, bool raiseFailure) {
  std::lock_guard<std::mutex> one(state->connectLock);
  Attempt a;
  if (!begin(*state, a)) {
    if (reason) *reason = "the client was released";
    return false;
  }
  const bool made = open(urlText, a);
  if (settle(state, a, made, raiseFailure)) return true;
  closeOwned(*a.c);
  if (a.why.empty()) a.why = "closed while connecting";
  if (reason) *reason = a.why;
  return false;
}

}  // namespace

bool WebSocketClient::Connect(std::string_view url, std::string* errorReason) {
  if (!state_) {
    if (errorReason) *errorReason = "the client was not created";
    return false;
  }
  StatePtr state = state_;
  bool inHandler;
  {
    std::lock_guard<std::mutex> guard(state->lock);
    inHandler = std::this_thread::get_id() == state->eventThread;
  }
  return attemptConnect(state, std::string(url), errorReason, !inHandler);
}

}  // namespace ws
