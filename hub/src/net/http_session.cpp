// One HTTP connection (net/http_session.h).
#include "net/http_session.h"

#include <algorithm>
#include <cctype>

#include "common/address.h"
#include "common/log.h"
#include "net/ws_session.h"

namespace hub::net {

namespace http = beast::http;
namespace websocket = beast::websocket;

namespace {

constexpr auto kHttpReadTimeout = std::chrono::seconds(30);
// A TLS connection ends with close_notify both ways; a peer that never sends its own must not keep the
// session (and a clean end of the hub) waiting long.
constexpr auto kTlsCloseTimeout = std::chrono::seconds(5);

// Who a request is from. A trusted proxy's forwarded headers are believed: the client is the rightmost
// hop of X-Forwarded-For that is no trusted proxy (the hops left of it are whatever the client wrote),
// else X-Real-IP; nobody else's are.
struct Client {
  std::string address;
  bool secure = false;
};

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

Client clientOf(const State& state, const std::string& peer, bool tls, const http::request_header<>& header) {
  Client client{peer, tls};
  if (!address::inAny(state.limits.trustedProxies, peer)) return client;
  std::string_view forwarded = header["X-Forwarded-For"];
  if (!forwarded.empty()) {
    for (;;) {
      const auto comma = forwarded.rfind(',');
      const std::string_view hop = trimmed(comma == std::string_view::npos ? forwarded : forwarded.substr(comma + 1));
      if (!address::parse(hop)) break;  // not an address: nothing further left can be believed
      client.address = std::string(hop);
      if (!address::inAny(state.limits.trustedProxies, hop) || comma == std::string_view::npos) break;
      forwarded = forwarded.substr(0, comma);
    }
  } else if (const std::string_view real = trimmed(header["X-Real-IP"]); address::parse(real)) {
    client.address = std::string(real);
  }
  const std::string_view proto = trimmed(header["X-Forwarded-Proto"].substr(0, header["X-Forwarded-Proto"].find(',')));
  if (!proto.empty()) client.secure = tls || beast::iequals(proto, "https");
  return client;
}

}  // namespace

template <class Stream>
HttpSession<Stream>::HttpSession(Stream&& stream, std::shared_ptr<State> state, std::string peer,
                                 std::unique_ptr<Claim> claim, bool metricsOnly)
    : stream_(std::move(stream)),
      state_(std::move(state)),
      peer_(std::move(peer)),
      claim_(std::move(claim)),
      metricsOnly_(metricsOnly) {}

template <class Stream>
HttpSession<Stream>::~HttpSession() {
  state_->idle.erase(this);
  --state_->open;
}

template <class Stream>
void HttpSession<Stream>::run() {
  ++state_->open;
  if constexpr (kTls<Stream>) {
    waitIdle();  // nothing taken until the handshake and a request are through
    beast::get_lowest_layer(stream_).expires_after(kHandshakeTimeout);
    stream_.async_handshake(ssl::stream_base::server, [self = shared_from_this()](error_code ec) {
      self->state_->idle.erase(self.get());
      if (!ec) self->readHeader();
    });
  } else {
    readHeader();
  }
}

template <class Stream>
void HttpSession<Stream>::waitIdle() {
  state_->idle[this] = [this] {
    error_code ignored;
    socket().close(ignored);
  };
}

template <class Stream>
void HttpSession<Stream>::readHeader() {
  waitIdle();
  parser_.emplace();
  parser_->body_limit(state_->limits.maxBodyBytes);
  parser_->header_limit(16 * 1024);
  beast::get_lowest_layer(stream_).expires_after(kHttpReadTimeout);
  http::async_read_header(stream_, buffer_, *parser_, [self = shared_from_this()](error_code ec, std::size_t) {
    self->headerRead(ec);
  });
}

template <class Stream>
void HttpSession<Stream>::headerRead(error_code ec) {
  state_->idle.erase(this);
  if (ec) return failed(ec);
  auto& header = parser_->get();
  if (const auto length = parser_->content_length(); length && *length > state_->limits.maxBodyBytes)
    return failed(http::error::body_limit);
  if (beast::iequals(header[http::field::expect], "100-continue")) {
    // Clients that ask (curl, for bodies over 1 KiB) wait for this before they send the body.
    auto go = std::make_shared<http::response<http::empty_body>>(http::status::continue_, header.version());
    http::async_write(stream_, *go, [self = shared_from_this(), go](error_code ec, std::size_t) {
      if (ec) return;
      self->readBody();
    });
    return;
  }
  readBody();
}

template <class Stream>
void HttpSession<Stream>::readBody() {
  http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](error_code ec, std::size_t) {
    self->requestRead(ec);
  });
}

template <class Stream>
void HttpSession<Stream>::failed(error_code ec) {
  if (ec == http::error::body_limit)
    return respond(jsonResponse(413, R"({"ok":false,"error":"request body too large"})"), false, 11);
  if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::operation_aborted ||
      ec == asio::error::connection_reset || ec == asio::error::eof)
    return shutdown();
  if (ec.category() == http::make_error_code(http::error::bad_target).category())  // not HTTP we take
    return respond(jsonResponse(400, R"({"ok":false,"error":"bad HTTP request"})"), false, 11);
  shutdown();
}

template <class Stream>
void HttpSession<Stream>::requestRead(error_code ec) {
  if (ec) return failed(ec);
  Request request = parser_->release();
  const std::string_view target = request.target();
  const std::string_view path = target.substr(0, target.find('?'));
  const unsigned version = request.version();
  const Client client = clientOf(*state_, peer_, kTls<Stream>, request);
  secure_ = client.secure;
  if (!claimFor(client.address, version)) return;
  if (metricsOnly_ && (path != "/metrics" || websocket::is_upgrade(request)))
    return respond(notFound(), false, version);
  if (websocket::is_upgrade(request)) return upgrade(std::move(request), path, client.address);
  HttpRequest r = forHandlers(request, target, client.address);
  r.secure = client.secure;
  const bool keepAlive = request.keep_alive();
  beast::get_lowest_layer(stream_).expires_never();
  state_->handlers.http(std::move(r), [self = shared_from_this(), keepAlive, version](HttpResponse response) {
    self->respond(std::move(response), keepAlive, version);
  });
}

template <class Stream>
bool HttpSession<Stream>::claimFor(const std::string& client, unsigned version) {
  // Behind a trusted proxy the connection counts for the client it carries now.
  const std::string group = address::groupOf(client);
  if (claim_ && claim_->group() == group) return true;
  if (state_->groupFull(group)) {
    ++state_->metrics.refusedAddressFull;
    log::warn("connection refused", {{"address", client}, {"reason", "too many from this address"}});
    refuse(503, R"({"ok":false,"error":"too many connections from this address"})", version);
    return false;
  }
  claim_ = std::make_unique<Claim>(state_, group);
  return true;
}

template <class Stream>
void HttpSession<Stream>::upgrade(Request&& request, std::string_view path, const std::string& client) {
  const unsigned version = request.version();
  if (path != "/") return respond(notFound(), false, version);
  // Counters send no Origin; a browser always does, and a page elsewhere must not reach the counters'
  // protocol with its visitor's address.
  const std::string_view origin = request[http::field::origin];
  const auto& allowed = state_->limits.allowedOrigins;
  if (!origin.empty() && std::find(allowed.begin(), allowed.end(), origin) == allowed.end()) {
    ++state_->metrics.refusedOrigin;
    log::warn("upgrade refused", {{"address", client}, {"origin", origin}});
    return refuse(403, R"({"ok":false,"error":"origin not allowed"})", version);
  }
  beast::get_lowest_layer(stream_).expires_never();
  std::make_shared<WsSession<Stream>>(std::move(stream_), state_, client, std::move(claim_))->run(std::move(request));
}

template <class Stream>
HttpRequest HttpSession<Stream>::forHandlers(Request& request, std::string_view target,
                                             const std::string& client) const {
  HttpRequest r;
  const auto question = target.find('?');
  r.method = std::string(request.method_string());
  r.path = std::string(target.substr(0, question));
  if (question != std::string_view::npos) r.query = std::string(target.substr(question + 1));
  for (const auto& field : request) {
    std::string name(field.name_string());
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    r.headers[name] = std::string(field.value());
  }
  r.body = std::move(request.body());
  r.address = client;
  r.fromOperator = metricsOnly_ || address::isLoopback(client);
  return r;
}

template <class Stream>
void HttpSession<Stream>::refuse(int status, std::string body, unsigned version) {
  respond(jsonResponse(status, std::move(body)), false, version);
}

template <class Stream>
void HttpSession<Stream>::respond(HttpResponse response, bool keepAlive, unsigned version) {
  auto res =
      std::make_shared<http::response<http::string_body>>(static_cast<http::status>(response.status), version);
  res->set(http::field::server, "kassaro-hub");
  res->set(http::field::content_type, response.contentType);
  // Browsers that once reached the hub over TLS keep to it.
  if (kTls<Stream> || secure_) res->set(http::field::strict_transport_security, "max-age=31536000");
  for (const auto& [name, value] : response.headers) res->set(name, value);
  res->body() = std::move(response.body);
  res->keep_alive(keepAlive && state_->accepting);
  res->prepare_payload();
  beast::get_lowest_layer(stream_).expires_after(kHttpReadTimeout);
  http::async_write(stream_, *res, [self = shared_from_this(), res](error_code ec, std::size_t) {
    if (ec) return;
    if (res->keep_alive())
      self->readHeader();
    else
      self->shutdown();
  });
}

template <class Stream>
void HttpSession<Stream>::shutdown() {
  if constexpr (kTls<Stream>) {
    beast::get_lowest_layer(stream_).expires_after(kTlsCloseTimeout);
    stream_.async_shutdown([self = shared_from_this()](error_code) {});
  } else {
    error_code ignored;
    socket().shutdown(tcp::socket::shutdown_send, ignored);
  }
}

template class HttpSession<PlainStream>;
template class HttpSession<TlsStream>;

}  // namespace hub::net
