// The event loop, the listeners and the two kinds of session, in the shape of Beast's advanced flex server:
// an HTTP session reads requests and hands its stream over to a WebSocket session when a counter upgrades
// on "/"; both are written once over the stream, plain TCP or TLS, so https:// and wss:// are the same
// handlers as http:// and ws://. Each session's lifetime is held by the handlers it has in flight
// (shared_from_this); nothing blocks.
#include "net/edge.h"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <deque>
#include <unordered_map>
#include <optional>
#include <stdexcept>
#include <type_traits>

#include "common/log.h"

namespace hub::net {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using error_code = beast::error_code;
using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

struct Server::Impl {
  // Plain state first: the sessions that the io_context destroys with its pending work still count here.
  Limits limits;
  metrics::Metrics* metrics = nullptr;
  Handlers handlers;
  bool accepting = true;
  std::size_t open = 0;
  std::unordered_map<std::string, std::size_t> perAddress;  // open connections by address group
  // HTTP connections waiting for their next request, with what closes each: a clean end closes them.
  std::unordered_map<const void*, std::function<void()>> idle;
  asio::io_context ioc{1};
  // Everything below uses the io_context, so it goes before it.
  asio::executor_work_guard<asio::io_context::executor_type> keepRunning = asio::make_work_guard(ioc);
  struct Listener {
    tcp::acceptor acceptor;
    std::string address;                  // as bound, for the log
    std::optional<TlsFiles> files;        // a TLS listener's certificate and key
    std::unique_ptr<ssl::context> tls;    // what new connections get; null for plain TCP
    bool metricsOnly = false;             // the operator's metrics_listen address
  };
  std::vector<std::unique_ptr<Listener>> listeners;
  struct Ticker {
    asio::steady_timer timer;
    std::chrono::milliseconds period;
    std::function<void()> work;
  };
  std::vector<std::unique_ptr<Ticker>> tickers;
  asio::signal_set signals{ioc, SIGINT, SIGTERM};
  asio::signal_set hangup{ioc, SIGHUP};

  Listener& bind(std::string_view hostPort);
  void accept(Listener& listener);
  void reloadOnHangup();
  std::vector<std::function<void()>> hangupWork;
  void wait(Ticker& ticker) {
    ticker.timer.async_wait([this, &ticker](error_code ec) {
      if (ec) return;
      ticker.work();
      ticker.timer.expires_at(ticker.timer.expiry() + ticker.period);
      wait(ticker);
    });
  }
};

namespace {

constexpr auto kHttpReadTimeout = std::chrono::seconds(30);
constexpr auto kHandshakeTimeout = std::chrono::seconds(30);
// A TLS connection ends with close_notify both ways; a peer that never sends its own must not keep the
// session (and a clean end of the hub) waiting long.
constexpr auto kTlsCloseTimeout = std::chrono::seconds(5);
// Until a counter has logged in, its texts and what is queued for it are kept short: a login or a
// registration is well under a few hundred bytes, and so are the answers to them.
constexpr std::size_t kAnonymousTextBytes = 4096;
constexpr std::size_t kAnonymousQueueBytes = 64 * 1024;
// Descriptors kept free of connections, for the store, the log and the listeners.
constexpr std::size_t kSpareDescriptors = 64;

template <class Stream>
constexpr bool kTls = std::is_same_v<Stream, TlsStream>;

std::string peerAddress(const tcp::socket& socket) {
  error_code ec;
  const auto endpoint = socket.remote_endpoint(ec);
  return ec ? std::string("?") : endpoint.address().to_string();
}

// The certificate chain and key of a TLS listener, TLS 1.2 and up. Throws with a one-line reason.
std::unique_ptr<ssl::context> tlsContext(const TlsFiles& files) {
  auto context = std::make_unique<ssl::context>(ssl::context::tls_server);
  SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
  // No TLS 1.3 session tickets: counters never resume a session, and Schannel hands a ticket sent after
  // the handshake to the client as a renegotiation, a path some Windows clients break on.
  SSL_CTX_set_num_tickets(context->native_handle(), 0);
  context->set_options(ssl::context::default_workarounds | ssl::context::no_compression |
                       ssl::context::single_dh_use);
  error_code ec;
  context->use_certificate_chain_file(files.certificate.string(), ec);
  if (ec)
    throw std::runtime_error("cannot use the TLS certificate " + files.certificate.string() + ": " + ec.message());
  context->use_private_key_file(files.key.string(), ssl::context::pem, ec);
  if (ec) throw std::runtime_error("cannot use the TLS key " + files.key.string() + ": " + ec.message());
  if (SSL_CTX_check_private_key(context->native_handle()) != 1)
    throw std::runtime_error("the TLS key " + files.key.string() + " does not belong to the certificate " +
                             files.certificate.string());
  return context;
}

// A connection's place in the count of its address group (address::groupOf); given back when it ends.
class Claim {
 public:
  Claim(Server::Impl& server, std::string group) : server_(server), group_(std::move(group)) {
    ++server_.perAddress[group_];
  }
  ~Claim() {
    const auto it = server_.perAddress.find(group_);
    if (--it->second == 0) server_.perAddress.erase(it);
  }
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;
  const std::string& group() const { return group_; }

 private:
  Server::Impl& server_;
  std::string group_;
};

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

Client clientOf(const Server::Impl& server, const std::string& peer, bool tls,
                const http::request_header<>& header) {
  Client client{peer, tls};
  if (!address::inAny(server.limits.trustedProxies, peer)) return client;
  std::string_view forwarded = header["X-Forwarded-For"];
  if (!forwarded.empty()) {
    for (;;) {
      const auto comma = forwarded.rfind(',');
      const std::string_view hop = trimmed(comma == std::string_view::npos ? forwarded : forwarded.substr(comma + 1));
      if (!address::parse(hop)) break;  // not an address: nothing further left can be believed
      client.address = std::string(hop);
      if (!address::inAny(server.limits.trustedProxies, hop) || comma == std::string_view::npos) break;
      forwarded = forwarded.substr(0, comma);
    }
  } else if (const std::string_view real = trimmed(header["X-Real-IP"]); address::parse(real)) {
    client.address = std::string(real);
  }
  const std::string_view proto = trimmed(header["X-Forwarded-Proto"].substr(0, header["X-Forwarded-Proto"].find(',')));
  if (!proto.empty()) client.secure = tls || beast::iequals(proto, "https");
  return client;
}

template <class Stream>
class WsSession : public CounterLink, public std::enable_shared_from_this<WsSession<Stream>> {
 public:
  WsSession(Stream&& stream, Server::Impl& server, std::string address, std::unique_ptr<Claim> claim)
      : ws_(std::move(stream)),
        server_(server),
        address_(std::move(address)),
        claim_(std::move(claim)),
        deadline_(ws_.get_executor()),
        stall_(ws_.get_executor()) {}

  void run(http::request<http::string_body> request) {
    ++server_.open;
    beast::get_lowest_layer(ws_).expires_never();
    // Beast pings a counter that has been silent for half the idle time and drops it after the whole.
    ws_.set_option(websocket::stream_base::timeout{kHandshakeTimeout, server_.limits.pingInterval * 2, true});
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& res) { res.set(http::field::server, "kassaro-hub"); }));
    ws_.read_message_max(std::min(server_.limits.maxMessageBytes, kAnonymousTextBytes));
    ws_.text(true);
    ws_.async_accept(request, [self = shared_from_this()](error_code ec) { self->accepted(ec); });
  }

  void send(std::string text, std::function<void()> written) override {
    if (closeCode_ || ended_) return;
    const std::size_t cost = text.capacity() + sizeof(Frame) + kFrameOverhead;
    if (queuedBytes_ + cost > (loggedIn_ ? server_.limits.maxQueuedBytes : kAnonymousQueueBytes)) {
      // A counter that does not read what it is sent would hold the hub's memory without end; it will
      // reconnect and get the day's bills again. The frame being written stays until its write ends.
      drop("counter too slow, dropped", server_.metrics->droppedSlow);
      while (queue_.size() > (writing_ ? 1u : 0u)) {
        queuedBytes_ -= queue_.back().cost;
        queue_.pop_back();
      }
      return close(CloseCode::tryLater);
    }
    queuedBytes_ += cost;
    queue_.push_back({std::move(text), std::move(written), cost});
    if (!writing_) writeNext();
  }

  void close(CloseCode code) override {
    if (closeCode_ || ended_) return;
    closeCode_ = code;
    if (!writing_) closeNow();
  }

  const std::string& address() const override { return address_; }

  void loggedIn() override {
    if (loggedIn_ || ended_) return;
    loggedIn_ = true;
    deadline_.cancel();
    ws_.read_message_max(server_.limits.maxMessageBytes);
  }

  void checking(bool underWay) override { checking_ = underWay; }

 private:
  struct Frame {
    std::string text;
    std::function<void()> written;
    std::size_t cost = 0;  // what it holds of the hub's memory, counted against the queue's limit
  };
  // A deque's node share and allocator rounding, per frame.
  static constexpr std::size_t kFrameOverhead = 32;

  void accepted(error_code ec) {
    if (ec) return end();
    opened_ = true;
    server_.handlers.counterOpened(shared_from_this());
    // A counter whose upgrade was under way when the hub began to stop missed the 1001 the others got.
    if (!server_.accepting) close(CloseCode::goingAway);
    if (!loggedIn_) awaitLogin(server_.limits.loginDeadline);
    read();
  }

  void awaitLogin(std::chrono::steady_clock::duration left) {
    deadline_.expires_after(left);
    deadline_.async_wait([self = shared_from_this()](error_code ec) {
      if (ec || self->loggedIn_ || self->ended_) return;
      if (self->checking_) return self->awaitLogin(std::chrono::seconds(1));
      self->drop("counter did not log in, closed", self->server_.metrics->droppedNoLogin);
      self->close(CloseCode::policy);
    });
  }

  // Logged once a connection, however many of its texts or frames it takes.
  void drop(std::string_view why, std::atomic<std::uint64_t>& counted) {
    if (dropped_) return;
    dropped_ = true;
    ++counted;
    log::warn(why, {{"address", address_}});
  }

  void read() {
    ws_.async_read(buffer_, [self = shared_from_this()](error_code ec, std::size_t) { self->received(ec); });
  }

  void received(error_code ec) {
    if (ec) {
      if (ec == websocket::error::message_too_big)
        drop("counter message too large, closed", server_.metrics->droppedTooLarge);
      return end();
    }
    if (ws_.got_text()) {
      std::string text = beast::buffers_to_string(buffer_.data());
      buffer_.consume(buffer_.size());
      server_.handlers.counterText(shared_from_this(), std::move(text));
    } else {
      buffer_.consume(buffer_.size());  // counters send text only; anything else is ignored
    }
    if (!ended_) read();
  }

  // A frame (or the close) not written within twice the ping interval: the counter reads nothing, and
  // the connection is cut without waiting for it any longer.
  void watchWrite() {
    stall_.expires_after(server_.limits.pingInterval * 2);
    stall_.async_wait([self = shared_from_this()](error_code ec) {
      if (ec || self->ended_ || !(self->writing_ || self->closing_)) return;
      self->drop("counter reads nothing, dropped", self->server_.metrics->droppedSlow);
      beast::get_lowest_layer(self->ws_).close();
    });
  }

  void writeNext() {
    writing_ = true;
    watchWrite();
    ws_.async_write(asio::buffer(queue_.front().text), [self = shared_from_this()](error_code ec, std::size_t) {
      self->wrote(ec);
    });
  }

  void wrote(error_code ec) {
    writing_ = false;
    stall_.cancel();
    if (ec) return;  // the read side sees the same failure and ends the session
    Frame frame = std::move(queue_.front());
    queue_.pop_front();
    queuedBytes_ -= frame.cost;
    if (frame.written) frame.written();
    if (!queue_.empty())
      writeNext();
    else if (closeCode_)
      closeNow();
  }

  void closeNow() {
    if (closing_ || ended_) return;
    closing_ = true;
    watchWrite();
    ws_.async_close(websocket::close_reason(static_cast<websocket::close_code>(*closeCode_)),
                    [self = shared_from_this()](error_code) { self->stall_.cancel(); });
  }

  void end() {
    if (ended_) return;
    ended_ = true;
    --server_.open;
    deadline_.cancel();
    stall_.cancel();
    claim_.reset();
    if (opened_) server_.handlers.counterClosed(shared_from_this());
  }

  using std::enable_shared_from_this<WsSession>::shared_from_this;

  websocket::stream<Stream> ws_;
  beast::flat_buffer buffer_;
  Server::Impl& server_;
  std::string address_;
  std::unique_ptr<Claim> claim_;
  asio::steady_timer deadline_;  // to log in
  asio::steady_timer stall_;     // for the frame being written
  std::deque<Frame> queue_;
  std::size_t queuedBytes_ = 0;
  bool writing_ = false;
  bool closing_ = false;
  bool opened_ = false;
  bool ended_ = false;
  bool loggedIn_ = false;
  bool checking_ = false;  // its login's password is being checked
  bool dropped_ = false;
  std::optional<CloseCode> closeCode_;
};

template <class Stream>
class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>> {
 public:
  HttpSession(Stream&& stream, Server::Impl& server, std::string peer, std::unique_ptr<Claim> claim,
              bool metricsOnly)
      : stream_(std::move(stream)),
        server_(server),
        peer_(std::move(peer)),
        claim_(std::move(claim)),
        metricsOnly_(metricsOnly) {}

  void run() {
    ++server_.open;
    if constexpr (kTls<Stream>) {
      waitIdle();  // nothing taken until the handshake and a request are through
      beast::get_lowest_layer(stream_).expires_after(kHandshakeTimeout);
      stream_.async_handshake(ssl::stream_base::server, [self = shared_from_this()](error_code ec) {
        self->server_.idle.erase(self.get());
        if (!ec) self->readHeader();
      });
    } else {
      readHeader();
    }
  }

  ~HttpSession() {
    server_.idle.erase(this);
    --server_.open;
  }

 private:
  using std::enable_shared_from_this<HttpSession>::shared_from_this;

  tcp::socket& socket() { return beast::get_lowest_layer(stream_).socket(); }

  // Until a request has come, a clean end may close the connection.
  void waitIdle() {
    server_.idle[this] = [this] {
      error_code ignored;
      socket().close(ignored);
    };
  }

  void readHeader() {
    waitIdle();
    parser_.emplace();
    parser_->body_limit(server_.limits.maxBodyBytes);
    parser_->header_limit(16 * 1024);
    beast::get_lowest_layer(stream_).expires_after(kHttpReadTimeout);
    http::async_read_header(stream_, buffer_, *parser_, [self = shared_from_this()](error_code ec, std::size_t) {
      self->headerRead(ec);
    });
  }

  void headerRead(error_code ec) {
    server_.idle.erase(this);
    if (ec) return failed(ec);
    auto& header = parser_->get();
    if (const auto length = parser_->content_length(); length && *length > server_.limits.maxBodyBytes)
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

  void readBody() {
    http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](error_code ec, std::size_t) {
      self->requestRead(ec);
    });
  }

  void failed(error_code ec) {
    if (ec == http::error::body_limit)
      return respond(jsonResponse(413, R"({"ok":false,"error":"request body too large"})"), false, 11);
    if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::operation_aborted ||
        ec == asio::error::connection_reset || ec == asio::error::eof)
      return shutdown();
    if (ec.category() == http::make_error_code(http::error::bad_target).category())  // not HTTP we take
      return respond(jsonResponse(400, R"({"ok":false,"error":"bad HTTP request"})"), false, 11);
    shutdown();
  }

  void requestRead(error_code ec) {
    if (ec) return failed(ec);
    http::request<http::string_body> request = parser_->release();
    const std::string_view target = request.target();
    const auto question = target.find('?');
    const std::string_view path = target.substr(0, question);
    const unsigned version = request.version();
    auto refuse = [&](int status, std::string body) { respond(jsonResponse(status, std::move(body)), false, version); };
    const Client client = clientOf(server_, peer_, kTls<Stream>, request);
    secure_ = client.secure;
    // Behind a trusted proxy the connection counts for the client it carries now.
    if (!claim_ || claim_->group() != address::groupOf(client.address)) {
      const std::string group = address::groupOf(client.address);
      const auto it = server_.perAddress.find(group);
      if (it != server_.perAddress.end() && it->second >= server_.limits.maxConnectionsPerAddress) {
        ++server_.metrics->refusedAddressFull;
        log::warn("connection refused", {{"address", client.address}, {"reason", "too many from this address"}});
        return refuse(503, R"({"ok":false,"error":"too many connections from this address"})");
      }
      claim_ = std::make_unique<Claim>(server_, group);
    }
    if (metricsOnly_ && (path != "/metrics" || websocket::is_upgrade(request)))
      return refuse(404, R"({"ok":false,"error":"not found"})");
    if (websocket::is_upgrade(request)) {
      if (path != "/") return refuse(404, R"({"ok":false,"error":"not found"})");
      // Counters send no Origin; a browser always does, and a page elsewhere must not reach the counters'
      // protocol with its visitor's address.
      const std::string_view origin = request[http::field::origin];
      if (!origin.empty() && std::find(server_.limits.allowedOrigins.begin(), server_.limits.allowedOrigins.end(),
                                       origin) == server_.limits.allowedOrigins.end()) {
        ++server_.metrics->refusedOrigin;
        log::warn("upgrade refused", {{"address", client.address}, {"origin", origin}});
        return refuse(403, R"({"ok":false,"error":"origin not allowed"})");
      }
      beast::get_lowest_layer(stream_).expires_never();
      std::make_shared<WsSession<Stream>>(std::move(stream_), server_, client.address, std::move(claim_))
          ->run(std::move(request));
      return;
    }
    HttpRequest r;
    r.method = std::string(request.method_string());
    r.path = std::string(path);
    if (question != std::string_view::npos) r.query = std::string(target.substr(question + 1));
    for (const auto& field : request) {
      std::string name(field.name_string());
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      r.headers[name] = std::string(field.value());
    }
    r.body = std::move(request.body());
    r.address = client.address;
    r.secure = client.secure;
    r.fromOperator = metricsOnly_ || address::isLoopback(client.address);
    const bool keepAlive = request.keep_alive();
    beast::get_lowest_layer(stream_).expires_never();
    server_.handlers.http(std::move(r), [self = shared_from_this(), keepAlive, version](HttpResponse response) {
      self->respond(std::move(response), keepAlive, version);
    });
  }

  void respond(HttpResponse response, bool keepAlive, unsigned version) {
    auto res = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(response.status),
                                                                   version);
    res->set(http::field::server, "kassaro-hub");
    res->set(http::field::content_type, response.contentType);
    // Browsers that once reached the hub over TLS keep to it.
    if (kTls<Stream> || secure_) res->set(http::field::strict_transport_security, "max-age=31536000");
    for (const auto& [name, value] : response.headers) res->set(name, value);
    res->body() = std::move(response.body);
    res->keep_alive(keepAlive && server_.accepting);
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

  void shutdown() {
    if constexpr (kTls<Stream>) {
      beast::get_lowest_layer(stream_).expires_after(kTlsCloseTimeout);
      stream_.async_shutdown([self = shared_from_this()](error_code) {});
    } else {
      error_code ignored;
      socket().shutdown(tcp::socket::shutdown_send, ignored);
    }
  }

  Stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  Server::Impl& server_;
  std::string peer_;
  std::unique_ptr<Claim> claim_;
  bool metricsOnly_ = false;
  bool secure_ = false;  // the last request came over TLS
};

}  // namespace

void Server::Impl::accept(Listener& listener) {
  listener.acceptor.async_accept([this, &listener](error_code ec, tcp::socket socket) {
    if (!accepting || !listener.acceptor.is_open()) return;
    if (ec) {
      // Out of file descriptors, most likely: take a breath rather than spin.
      log::warn("accept failed", {{"reason", ec.message()}});
      auto pause = std::make_shared<asio::steady_timer>(ioc, std::chrono::milliseconds(100));
      pause->async_wait([this, &listener, pause](error_code) { accept(listener); });
      return;
    }
    error_code ignored;
    std::string peer = peerAddress(socket);
    // A trusted proxy's connections are counted for the clients they carry, once their requests are read.
    std::unique_ptr<Claim> claim;
    const char* refused = nullptr;
    if (open >= limits.maxConnections) {
      refused = "too many connections";
      ++metrics->refusedAllFull;
    } else if (!listener.metricsOnly && !address::inAny(limits.trustedProxies, peer)) {
      std::string group = address::groupOf(peer);
      const auto it = perAddress.find(group);
      if (it != perAddress.end() && it->second >= limits.maxConnectionsPerAddress) {
        refused = "too many from this address";
        ++metrics->refusedAddressFull;
      } else {
        claim = std::make_unique<Claim>(*this, std::move(group));
      }
    }
    if (refused) {
      log::warn("connection refused", {{"address", peer}, {"reason", refused}});
      socket.close(ignored);
      return accept(listener);
    }
    socket.set_option(tcp::no_delay(true), ignored);
    if (listener.tls)
      std::make_shared<HttpSession<TlsStream>>(TlsStream(std::move(socket), *listener.tls), *this, std::move(peer),
                                               std::move(claim), listener.metricsOnly)
          ->run();
    else
      std::make_shared<HttpSession<PlainStream>>(PlainStream(std::move(socket)), *this, std::move(peer),
                                                 std::move(claim), listener.metricsOnly)
          ->run();
    accept(listener);
  });
}

Server::Impl::Listener& Server::Impl::bind(std::string_view hostPort) {
  const auto colon = hostPort.rfind(':');
  if (colon == std::string_view::npos) throw std::runtime_error("listen address must be HOST:PORT");
  std::string host(hostPort.substr(0, colon));
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string port(hostPort.substr(colon + 1));
  error_code ec;
  tcp::resolver resolver(ioc);
  const auto endpoints = resolver.resolve(host, port, tcp::resolver::numeric_service, ec);
  if (ec || endpoints.empty())
    throw std::runtime_error("cannot use listen address " + std::string(hostPort) + ": " + ec.message());
  const tcp::endpoint endpoint = *endpoints.begin();
  auto listener = std::make_unique<Listener>(Listener{tcp::acceptor(ioc), {}, {}, {}, false});
  tcp::acceptor& acceptor = listener->acceptor;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) throw std::runtime_error("cannot listen on " + std::string(hostPort) + ": " + ec.message());
  const tcp::endpoint bound = acceptor.local_endpoint();
  const std::string address = bound.address().to_string();
  listener->address = (bound.address().is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(bound.port());
  return *listeners.emplace_back(std::move(listener));
}

// SIGHUP: every TLS listener reads its certificate and key again. Connections made from then on get the
// new pair; those already open keep theirs (OpenSSL holds the old context for them). A pair that does not
// load is logged and the old one stays in use, so a mistake while renewing takes nothing down.
void Server::Impl::reloadOnHangup() {
  hangup.async_wait([this](error_code ec, int) {
    if (ec) return;
    for (auto& listener : listeners) {
      if (!listener->tls) continue;
      try {
        listener->tls = tlsContext(*listener->files);
        log::info("certificate reloaded", {{"address", listener->address},
                                           {"certificate", listener->files->certificate.string()}});
      } catch (const std::exception& e) {
        log::warn("certificate not reloaded, the old one kept", {{"address", listener->address},
                                                                 {"reason", e.what()}});
      }
    }
    for (auto& work : hangupWork) work();
    reloadOnHangup();
  });
}

Server::Server(Limits limits, metrics::Metrics& metrics) : impl_(std::make_unique<Impl>()) {
  // Past the descriptor limit accept() fails and new connections wait in the backlog, the good with the
  // bad: refusing them first keeps room for the counters already logged in.
  rlimit descriptors{};
  if (getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY &&
      descriptors.rlim_cur < limits.maxConnections + 2 * kSpareDescriptors) {
    const std::size_t fit = descriptors.rlim_cur > 2 * kSpareDescriptors ? descriptors.rlim_cur - kSpareDescriptors : 1;
    log::debug("connections limited by the descriptor limit",
              {{"max_connections", std::to_string(fit)}, {"descriptors", std::to_string(descriptors.rlim_cur)}});
    limits.maxConnections = fit;
  }
  impl_->limits = std::move(limits);
  impl_->metrics = &metrics;
  impl_->reloadOnHangup();
}
Server::~Server() = default;

std::string Server::listen(std::string_view hostPort, Handlers handlers) {
  Impl::Listener& listener = impl_->bind(hostPort);
  impl_->handlers = std::move(handlers);
  impl_->accept(listener);
  return listener.address;
}

std::string Server::listenMetrics(std::string_view hostPort) {
  Impl::Listener& listener = impl_->bind(hostPort);
  listener.metricsOnly = true;
  impl_->accept(listener);
  return listener.address;
}

std::string Server::listenTls(std::string_view hostPort, TlsFiles files, Handlers handlers) {
  auto context = tlsContext(files);  // before binding: a bad file leaves nothing half set up
  Impl::Listener& listener = impl_->bind(hostPort);
  impl_->handlers = std::move(handlers);
  listener.files = std::move(files);
  listener.tls = std::move(context);
  impl_->accept(listener);
  return listener.address;
}

void Server::post(std::function<void()> work) { asio::post(impl_->ioc, std::move(work)); }

void Server::every(std::chrono::milliseconds period, std::function<void()> work) {
  auto& ticker = impl_->tickers.emplace_back(
      std::make_unique<Impl::Ticker>(Impl::Ticker{asio::steady_timer(impl_->ioc), period, std::move(work)}));
  ticker->timer.expires_after(period);
  impl_->wait(*ticker);
}

void Server::onHangup(std::function<void()> work) { impl_->hangupWork.push_back(std::move(work)); }

void Server::onStopSignal(std::function<void()> onStop) {
  impl_->signals.async_wait([onStop = std::move(onStop)](error_code ec, int) {
    if (!ec) onStop();
  });
}

void Server::stopAccepting() {
  impl_->accepting = false;
  auto idle = std::move(impl_->idle);
  impl_->idle.clear();
  for (auto& [session, close] : idle) close();
  for (auto& listener : impl_->listeners) {
    error_code ignored;
    listener->acceptor.close(ignored);
  }
}

std::size_t Server::openConnections() const { return impl_->open; }

void Server::run() { impl_->ioc.run(); }

void Server::stop() {
  impl_->keepRunning.reset();
  impl_->ioc.stop();
}

std::string queryParameter(std::string_view query, std::string_view name) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  auto decode = [&](std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '+') {
        out += ' ';
      } else if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
        out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
        i += 2;
      } else {
        out += text[i];
      }
    }
    return out;
  };
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const auto eq = pair.find('=');
    if (decode(pair.substr(0, eq)) == name) return eq == std::string_view::npos ? "" : decode(pair.substr(eq + 1));
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return {};
}

}  // namespace hub::net
