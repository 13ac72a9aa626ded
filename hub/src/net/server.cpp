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
  Handlers handlers;
  bool accepting = true;
  std::size_t open = 0;
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

  Listener& bind(std::string_view hostPort, Handlers handlers);
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

template <class Stream>
class WsSession : public CounterLink, public std::enable_shared_from_this<WsSession<Stream>> {
 public:
  WsSession(Stream&& stream, Server::Impl& server, std::string address)
      : ws_(std::move(stream)), server_(server), address_(std::move(address)) {}

  void run(http::request<http::string_body> request) {
    ++server_.open;
    beast::get_lowest_layer(ws_).expires_never();
    // Beast pings a counter that has been silent for half the idle time and drops it after the whole.
    ws_.set_option(websocket::stream_base::timeout{kHandshakeTimeout, server_.limits.pingInterval * 2, true});
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& res) { res.set(http::field::server, "kassaro-hub"); }));
    ws_.read_message_max(server_.limits.maxMessageBytes);
    ws_.text(true);
    ws_.async_accept(request, [self = shared_from_this()](error_code ec) { self->accepted(ec); });
  }

  void send(std::string text, std::function<void()> written) override {
    if (closeCode_ || ended_) return;
    queuedBytes_ += text.size();
    queue_.push_back({std::move(text), std::move(written)});
    if (queuedBytes_ > server_.limits.maxQueuedBytes) {
      // A counter that does not read what it is sent would hold the hub's memory without end; it will
      // reconnect and get the day's bills again.
      log::warn("counter too slow, dropped", {{"address", address_}});
      queue_.clear();
      queuedBytes_ = 0;
      close(CloseCode::tryLater);
      return;
    }
    if (!writing_) writeNext();
  }

  void close(CloseCode code) override {
    if (closeCode_ || ended_) return;
    closeCode_ = code;
    if (!writing_) closeNow();
  }

  const std::string& address() const override { return address_; }

 private:
  struct Frame {
    std::string text;
    std::function<void()> written;
  };

  void accepted(error_code ec) {
    if (ec) return end();
    opened_ = true;
    server_.handlers.counterOpened(shared_from_this());
    // A counter whose upgrade was under way when the hub began to stop missed the 1001 the others got.
    if (!server_.accepting) close(CloseCode::goingAway);
    read();
  }

  void read() {
    ws_.async_read(buffer_, [self = shared_from_this()](error_code ec, std::size_t) { self->received(ec); });
  }

  void received(error_code ec) {
    if (ec) {
      if (ec == websocket::error::message_too_big)
        log::warn("counter message too large, closed", {{"address", address_}});
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

  void writeNext() {
    writing_ = true;
    ws_.async_write(asio::buffer(queue_.front().text), [self = shared_from_this()](error_code ec, std::size_t) {
      self->wrote(ec);
    });
  }

  void wrote(error_code ec) {
    writing_ = false;
    if (ec) return;  // the read side sees the same failure and ends the session
    if (queue_.empty()) return;  // dropped as too slow meanwhile
    Frame frame = std::move(queue_.front());
    queue_.pop_front();
    queuedBytes_ -= frame.text.size();
    if (frame.written) frame.written();
    if (!queue_.empty())
      writeNext();
    else if (closeCode_)
      closeNow();
  }

  void closeNow() {
    ws_.async_close(websocket::close_reason(static_cast<websocket::close_code>(*closeCode_)),
                    [self = shared_from_this()](error_code) {});
  }

  void end() {
    if (ended_) return;
    ended_ = true;
    --server_.open;
    if (opened_) server_.handlers.counterClosed(shared_from_this());
  }

  using std::enable_shared_from_this<WsSession>::shared_from_this;

  websocket::stream<Stream> ws_;
  beast::flat_buffer buffer_;
  Server::Impl& server_;
  std::string address_;
  std::deque<Frame> queue_;
  std::size_t queuedBytes_ = 0;
  bool writing_ = false;
  bool opened_ = false;
  bool ended_ = false;
  std::optional<CloseCode> closeCode_;
};

template <class Stream>
class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>> {
 public:
  HttpSession(Stream&& stream, Server::Impl& server)
      : stream_(std::move(stream)), server_(server), address_(peerAddress(socket())) {}

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
    if (websocket::is_upgrade(request)) {
      if (path != "/") return respond(jsonResponse(404, R"({"ok":false,"error":"not found"})"), false, request.version());
      beast::get_lowest_layer(stream_).expires_never();
      std::make_shared<WsSession<Stream>>(std::move(stream_), server_, address_)->run(std::move(request));
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
    r.address = address_;
    const bool keepAlive = request.keep_alive();
    const unsigned version = request.version();
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
  std::string address_;
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
    socket.set_option(tcp::no_delay(true), ignored);
    if (listener.tls)
      std::make_shared<HttpSession<TlsStream>>(TlsStream(std::move(socket), *listener.tls), *this)->run();
    else
      std::make_shared<HttpSession<PlainStream>>(PlainStream(std::move(socket)), *this)->run();
    accept(listener);
  });
}

Server::Impl::Listener& Server::Impl::bind(std::string_view hostPort, Handlers given) {
  handlers = std::move(given);
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
  auto listener = std::make_unique<Listener>(Listener{tcp::acceptor(ioc), {}, {}, {}});
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

Server::Server(Limits limits) : impl_(std::make_unique<Impl>()) {
  impl_->limits = limits;
  impl_->reloadOnHangup();
}
Server::~Server() = default;

std::string Server::listen(std::string_view hostPort, Handlers handlers) {
  Impl::Listener& listener = impl_->bind(hostPort, std::move(handlers));
  impl_->accept(listener);
  return listener.address;
}

std::string Server::listenTls(std::string_view hostPort, TlsFiles files, Handlers handlers) {
  auto context = tlsContext(files);  // before binding: a bad file leaves nothing half set up
  Impl::Listener& listener = impl_->bind(hostPort, std::move(handlers));
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
