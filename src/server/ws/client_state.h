// Inside the WebSocket client: the state its three parts share. The event queue (client_events.cpp)
// runs the handlers one event at a time on the event thread; the connection's I/O (connection_io.cpp)
// reads frames, answers pings, runs the keepalive clock and sends; connecting (connect.cpp) opens the
// socket, runs the TLS and opening handshakes and starts the I/O thread.
//
// Lock order. Five mutexes, taken only in this order, never the other way:
//   1. ClientState::connectLock  one connect attempt at a time; held for the whole attempt, so it
//                                comes before every other lock.
//   2. ClientState::lock         the queue, the handlers, the status, the current connection; held
//                                only for short bookkeeping, never while a handler runs, and never
//                                together with a connection's lock (a connection's locks are let go
//                                before it is taken, and it is let go before they are taken).
//   3. Connection::sendLock      whole frames go out one at a time; guards `open`.
//   4. Connection::socketLock    the handle, against a shutdown from another thread while it closes;
//      Connection::tlsLock       the TLS session's records. 4 and 4' come after sendLock and are never
//                                held together. closeOwned takes sendLock and socketLock at once with
//                                std::scoped_lock.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "server/ws/socket.h"
#include "server/ws/tls.h"
#include "server/ws/websocket_client.h"

namespace ws {

// The clocks come with <thread>; <chrono> itself cannot be included, as its "µs" literal has no GBK form.
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The I/O thread and a connect attempt look at their stop flag at least this often.
inline constexpr int kSliceMs = 200;

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

using StatePtr = std::shared_ptr<ClientState>;
using ConnectionPtr = std::shared_ptr<Connection>;

// The event queue (client_events.cpp).
// Caller holds state.lock.
void queueEvent(ClientState& state, Event event);
// A whole message received on `c`, queued unless the client or the connection is ending.
void queueMessage(ClientState& state, const Connection& c, int32_t type, std::string data);
// While the queue holds its bound of messages, waits until the handlers have taken some (or the
// connection or the client ends); true when it had to wait.
bool waitForRoom(ClientState& state, const Connection& c);

// The connection's I/O (connection_io.cpp).
// Sends everything or fails; callers hold sendLock once the connection is open.
bool sendBytes(Connection& c, std::string_view data);
// Reads what the socket has and appends the server's data to `into`; false when the connection has
// ended or broken.
bool receiveInto(Connection& c, std::string& into, char* chunk, size_t size);
// From any thread: wakes the owner and any blocked sender; the owner then closes the socket.
void shutDown(Connection& c);
// Only the thread that owns the connection (the attempt, then the I/O thread) closes the socket.
void closeOwned(Connection& c);
// Ends a connection of ours quietly.
void stopConnection(Connection& c);
// The I/O thread of one open connection; `buffer` holds what came after the opening handshake.
void runConnection(StatePtr state, ConnectionPtr c, std::string buffer, milliseconds pingAfter,
                   milliseconds dropAfter);

}  // namespace ws
