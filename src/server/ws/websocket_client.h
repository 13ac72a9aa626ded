// The WebSocket client the server link talks through (RFC 6455, ws:// and wss://).
//
// Threads (and the lock order, in client_state.h): a private I/O thread per connection owns the socket (reads frames, answers pings, runs the
// keepalive clock) and queues events; one event thread per client runs the handlers, one event at a
// time, so a handler may block for minutes without the connection missing a ping. Both threads hold
// the client's state by shared pointer and are never joined: BaseRelease shuts the socket down and
// returns at once, even while a handler is stuck in a message box.
//
// Memory: a message over 16 MiB closes the connection with 1009; messages received but not yet handled
// are held up to 32 MiB, past which the socket is not read until the handlers catch up.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace ws {

struct ClientState;

class WebSocketClient {
 public:
  // The type of a text message passed to the message handler (a binary one has another).
  static constexpr int32_t kTextMessage = 1;

  using MessageHandler = std::function<void(int32_t type, int32_t handle)>;
  using EventHandler = std::function<void()>;

  WebSocketClient() = default;
  ~WebSocketClient();
  WebSocketClient(const WebSocketClient&) = delete;
  WebSocketClient& operator=(const WebSocketClient&) = delete;

  // Starts the event thread; every other call does nothing (or fails) before it and after BaseRelease.
  void BaseCreate();

  // The handlers run on the event thread: message received (once per whole message), connected,
  // connect failed, disconnected (an open connection ended without us closing it).
  void Init(MessageHandler onMessage, EventHandler onConnected, EventHandler onConnectFailed,
            EventHandler onDisconnected);

  // Connects to a ws:// or wss:// address, closing a connection that is still open first (quietly).
  // Waits up to 10 s for the outcome (the TLS handshake and the certificate check included) and
  // returns whether the connection was made, with the reason when it was not. Called outside a
  // handler, a failure raises the connect-failed event; from inside a handler it does not, as the
  // caller has the result. The connected event follows a success either way, after the running
  // handler returns.
  bool Connect(std::string_view url, std::string* errorReason = nullptr);

  // The text of the message `handle` names, converted from UTF-8 to GBK; valid only inside the
  // message handler that received the handle, the empty text otherwise.
  std::string GetMessageText(int32_t handle) const;

  // Sends GBK text as one UTF-8 text frame; false when not connected or the send fails.
  // May be called from any thread, also from two at once.
  bool SendTextTo(std::string_view gbkText);

  // Closes the connection: a close frame if it can go without waiting, then the socket is shut down.
  // Raises no event.
  void Close();

  // -1 not connected, 0 connecting, 1 connected.
  int GetConnectStatus() const;

  // Closes the connection and stops the handlers: none runs after this returns, but one already
  // running goes on to its end. Does not wait for the event thread.
  void BaseRelease();

  // The keepalive clock, for connections made afterwards: a ping after `pingAfterMs` with nothing
  // received, and the connection counts as dropped after `dropAfterMs` more without anything.
  // 30 s and 30 s unless set.
  void SetKeepalive(int pingAfterMs, int dropAfterMs);

 private:
  std::shared_ptr<ClientState> state_;
};

}  // namespace ws
