#pragma once
// The network edge as the rest of the hub sees it: one event loop, counters' WebSocket connections and
// HTTP requests, on a plain listening address and optionally a TLS one. Beast, Asio and OpenSSL stay behind
// this header: the loop (net/loop.cpp), the listener with its TLS context (net/listener.cpp), the HTTP
// session (net/http_session.cpp) and the WebSocket session a counter's upgrade hands it over to
// (net/ws_session.cpp).
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/address.h"
#include "common/metrics.h"

namespace hub::net {

// WebSocket close codes the hub sends.
enum class CloseCode : unsigned short { normal = 1000, goingAway = 1001, policy = 1008, tooBig = 1009, tryLater = 1013 };

// One counter's connection. Lives on the event loop; every call is made there.
class CounterLink {
 public:
  virtual ~CounterLink() = default;
  // Queues a text frame; written in order. `written` runs once the frame has gone to the socket.
  virtual void send(std::string text, std::function<void()> written = {}) = 0;
  virtual void close(CloseCode code) = 0;
  // The client's address (behind a trusted proxy, the one it forwarded).
  virtual const std::string& address() const = 0;
  // The connection has logged in to an account: it may now send and be sent as much as any counter, and
  // the login deadline no longer applies. Until then it is kept short.
  virtual void loggedIn() = 0;
  // Its login's password is being checked: the login deadline waits meanwhile, so that counters queued
  // behind others' checks (everyone logging in again after a restart) are not cut for it.
  virtual void checking(bool underWay) = 0;
};

struct HttpRequest {
  std::string method;  // "GET", "POST", ...
  std::string path;    // without the query
  std::string query;   // after '?', undecoded
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string address;  // the client's IP address: the peer's, or the one a trusted proxy forwarded
  bool secure = false;  // it came over TLS, to the hub or to a trusted proxy that said so
  // From a loopback client or on the metrics_listen address: may read the figures of every account.
  bool fromOperator = false;
};

struct HttpResponse {
  int status = 200;
  std::string body;
  std::string contentType = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;
};

inline HttpResponse jsonResponse(int status, std::string body) {
  HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

// The hub's JSON refusal, {"ok":false,"error":"..."}, with the status.
HttpResponse jsonFailure(int status, std::string_view error);
// What the hub answers at an address it does not know, whichever part is asked.
inline HttpResponse notFound() { return jsonFailure(404, "not found"); }

using Reply = std::function<void(HttpResponse)>;

struct Handlers {
  std::function<void(const std::shared_ptr<CounterLink>&)> counterOpened;
  std::function<void(const std::shared_ptr<CounterLink>&, std::string text)> counterText;
  std::function<void(const std::shared_ptr<CounterLink>&)> counterClosed;
  // Called on the loop; `reply` may be called later, on the loop, exactly once.
  std::function<void(HttpRequest request, Reply reply)> http;
};

struct Limits {
  std::size_t maxMessageBytes = 64 * 1024;
  std::size_t maxBodyBytes = 64 * 1024;
  std::chrono::seconds pingInterval{30};
  std::size_t maxQueuedBytes = 4 << 20;  // unsent frames to one counter before it is dropped as too slow
  std::size_t maxConnections = 50000;     // lowered to fit the descriptor limit
  std::size_t maxConnectionsPerAddress = 200;  // per address group (address::groupOf)
  std::chrono::seconds loginDeadline{30};
  std::vector<address::Block> trustedProxies;
  std::vector<std::string> allowedOrigins;  // WebSocket upgrades with an Origin header: only these
};

// A TLS listening address's certificate chain and private key, PEM files.
struct TlsFiles {
  std::filesystem::path certificate;
  std::filesystem::path key;
};

// The event loop: one thread for every socket, timer and signal of the hub.
class Loop {
 public:
  Loop();
  ~Loop();
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  // Runs work on the loop, from any thread.
  void post(std::function<void()> work);
  // Runs work on the loop every period, from the next period on.
  void every(std::chrono::milliseconds period, std::function<void()> work);
  // Runs work on the loop whenever the process gets SIGHUP, each in the order given (a server given its
  // TLS files reads them again there).
  void onHangup(std::function<void()> work);
  // Runs onStop on the loop when the process gets SIGTERM or SIGINT.
  void onStopSignal(std::function<void()> onStop);

  // Runs the loop on this thread until stop().
  void run();
  void stop();

  struct Impl;  // the Asio side, in net/shared.h
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// The listening addresses of one set of handlers, given once: every address serves the same counters,
// pages and phones. Made on the loop's thread before it runs, and used there.
class Server {
 public:
  Server(Loop& loop, Limits limits, metrics::Metrics& metrics, Handlers handlers);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens on "HOST:PORT" (port 0: any free one) and returns the address bound, "127.0.0.1:41234".
  // Throws hub::Failure with a one-line reason (bad address, in use, not permitted).
  std::string listen(std::string_view hostPort);
  // The same for https:// and wss://, TLS 1.2 and up. The files are read now (hub::Failure with a
  // one-line reason when they do not load) and again on SIGHUP.
  std::string listenTls(std::string_view hostPort, TlsFiles files);
  // An address of the operator's that answers GET /metrics and nothing else, whoever asks there.
  std::string listenMetrics(std::string_view hostPort);

  // Stops taking new connections and HTTP keep-alive; connections already open stay.
  void stopAccepting();
  // Open HTTP exchanges and WebSocket sessions, for a clean end.
  std::size_t openConnections() const;

  struct Impl;  // the listeners, in net/listener.cpp

 private:
  std::shared_ptr<Impl> impl_;
};

// The value of one query parameter ("key" in "a=1&key=XYZ"), percent-decoded; empty when absent.
std::string queryParameter(std::string_view query, std::string_view name);

}  // namespace hub::net
