#pragma once
// One HTTP connection, plain or TLS: reads requests one at a time (keep-alive), tells who sent each (a
// trusted proxy's forwarded headers), counts the connection for that client, and hands each request to
// the handlers; a counter's upgrade on "/" hands the stream over to a WebSocket session. Its lifetime is
// held by the handlers it has in flight (shared_from_this).
#include <boost/beast/http.hpp>

#include <optional>

#include "net/shared.h"

namespace hub::net {

template <class Stream>
class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>> {
 public:
  HttpSession(Stream&& stream, std::shared_ptr<State> state, std::string peer, std::unique_ptr<Claim> claim,
              bool metricsOnly);
  ~HttpSession();

  void run();

 private:
  using Request = beast::http::request<beast::http::string_body>;
  using std::enable_shared_from_this<HttpSession>::shared_from_this;

  tcp::socket& socket() { return beast::get_lowest_layer(stream_).socket(); }
  // Until a request has come, a clean end may close the connection.
  void waitIdle();
  void readHeader();
  void headerRead(error_code ec);
  void readBody();
  void failed(error_code ec);
  void requestRead(error_code ec);
  // Counts the connection for the client it carries now; false (and answered) when its group is full.
  bool claimFor(const std::string& client, unsigned version);
  // Hands a counter's upgrade over to a WebSocket session, unless it is refused.
  void upgrade(Request&& request, std::string_view path, const std::string& client);
  HttpRequest forHandlers(Request& request, std::string_view target, const std::string& client) const;
  void respond(HttpResponse response, bool keepAlive, unsigned version);
  void refuse(int status, std::string body, unsigned version);
  void shutdown();

  Stream stream_;
  beast::flat_buffer buffer_;
  std::optional<beast::http::request_parser<beast::http::string_body>> parser_;
  std::shared_ptr<State> state_;
  std::string peer_;
  std::unique_ptr<Claim> claim_;
  bool metricsOnly_ = false;
  bool secure_ = false;  // the last request came over TLS
};

extern template class HttpSession<PlainStream>;
extern template class HttpSession<TlsStream>;

}  // namespace hub::net
