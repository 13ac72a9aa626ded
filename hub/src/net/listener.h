#pragma once
// One listening address: binds it, accepts connections, refuses those past the hub's caps (all
// connections, and per address group), and starts an HTTP session for each, over TLS when the address
// has a certificate, which SIGHUP reads again. Its lifetime is held by its pending accept.
#include <optional>

#include "net/shared.h"

namespace hub::net {

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  // Binds "HOST:PORT"; throws hub::Failure with a one-line reason. A TLS address's files are read first,
  // so that a bad one leaves nothing half set up.
  Listener(asio::io_context& ioc, std::string_view hostPort, std::shared_ptr<State> state,
           std::optional<TlsFiles> files, bool metricsOnly);

  void run() { accept(); }
  void close();
  // Reads the TLS files again; a pair that does not load is logged and the old one stays.
  void reloadTls();
  const std::string& address() const { return address_; }

 private:
  void accept();
  void accepted(tcp::socket socket);
  // Why the connection is refused, or null; else `claim` is its place in its address group's count (none
  // for a trusted proxy's connections, counted for the clients they carry once their requests are read,
  // nor on the metrics address).
  const char* admit(const std::string& peer, std::unique_ptr<Claim>& claim);

  tcp::acceptor acceptor_;
  std::shared_ptr<State> state_;
  std::string address_;               // as bound, for the log
  std::optional<TlsFiles> files_;     // a TLS listener's certificate and key
  std::unique_ptr<ssl::context> tls_;  // what new connections get; null for plain TCP
  bool metricsOnly_ = false;          // the operator's metrics_listen address
};

}  // namespace hub::net
