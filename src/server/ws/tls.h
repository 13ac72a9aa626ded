// TLS for wss:// links, as a session over bytes: the WebSocket client moves the bytes between the session
// and its socket, so one driver serves the system's Schannel on Windows and OpenSSL natively.
//
// The server's certificate must chain to one of the system's trusted roots and name the host we asked
// for; the handshake is not through until it does, so nothing of ours is sent to a server that fails.
// TLS 1.2 is asked for explicitly (older Windows offer it only when asked), TLS 1.3 where the system has it.
//
// A session is not safe for two threads at once: the client holds a lock around every call.
#pragma once
#include <memory>
#include <string>
#include <string_view>

namespace ws::tls {

class Session {
 public:
  // A client session for `host` (a name, sent for server name indication, or an address); null when
  // the system offers no TLS, with the reason.
  static std::unique_ptr<Session> create(const std::string& host, std::string* reason);
  virtual ~Session() = default;

  enum class Step { kMore, kDone, kFailed };
  // Takes what came from the server (consuming what it used from `in`) and appends to `out` what must
  // go to it. kDone once the handshake is through and the certificate checked out; what is left in
  // `in` then is the server's first data, for decrypt. kFailed with the reason otherwise (`out` may
  // still hold an alert worth sending).
  virtual Step handshake(std::string& in, std::string& out, std::string* reason) = 0;

  // Appends the records carrying `plain`; false when the session is broken.
  virtual bool encrypt(std::string_view plain, std::string& out) = 0;

  enum class Read { kOpen, kClosed, kFailed };
  // Decrypts every whole record `in` holds (consuming them) and appends the data to `plain`, and to
  // `out` what the session must answer (a renegotiation). kClosed once the server's close_notify came.
  virtual Read decrypt(std::string& in, std::string& plain, std::string& out) = 0;

  // The close_notify alert that ends our side of the session.
  virtual std::string closeNotify() = 0;
};

}  // namespace ws::tls
