// The listening addresses (net/listener.h) and the server that holds them with their handlers.
#include "net/listener.h"

#include <sys/resource.h>

#include "common/address.h"
#include "common/failure.h"
#include "common/log.h"
#include "net/http_session.h"

namespace hub::net {

namespace {

// Descriptors kept free of connections, for the store, the log and the listeners.
constexpr std::size_t kSpareDescriptors = 64;

std::string peerAddress(const tcp::socket& socket) {
  error_code ec;
  const auto endpoint = socket.remote_endpoint(ec);
  return ec ? std::string("?") : endpoint.address().to_string();
}

// The certificate chain and key of a TLS listener, TLS 1.2 and up. Throws a Failure with a one-line reason.
std::unique_ptr<ssl::context> tlsContext(const TlsFiles& files) {
  std::unique_ptr<ssl::context> context;
  try {
    context = std::make_unique<ssl::context>(ssl::context::tls_server);
  } catch (const boost::system::system_error& e) {
    throw Failure("cannot make a TLS context: " + e.code().message());
  }
  SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
  // No TLS 1.3 session tickets: counters never resume a session, and Schannel hands a ticket sent after
  // the handshake to the client as a renegotiation, a path some Windows clients break on.
  SSL_CTX_set_num_tickets(context->native_handle(), 0);
  context->set_options(ssl::context::default_workarounds | ssl::context::no_compression |
                       ssl::context::single_dh_use);
  error_code ec;
  context->use_certificate_chain_file(files.certificate.string(), ec);
  if (ec) throw Failure("cannot use the TLS certificate " + files.certificate.string() + ": " + ec.message());
  context->use_private_key_file(files.key.string(), ssl::context::pem, ec);
  if (ec) throw Failure("cannot use the TLS key " + files.key.string() + ": " + ec.message());
  if (SSL_CTX_check_private_key(context->native_handle()) != 1)
    throw Failure("the TLS key " + files.key.string() + " does not belong to the certificate " +
                  files.certificate.string());
  return context;
}

tcp::endpoint endpointOf(asio::io_context& ioc, std::string_view hostPort) {
  const auto colon = hostPort.rfind(':');
  if (colon == std::string_view::npos) throw Failure("listen address must be HOST:PORT");
  std::string host(hostPort.substr(0, colon));
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string port(hostPort.substr(colon + 1));
  error_code ec;
  tcp::resolver resolver(ioc);
  const auto endpoints = resolver.resolve(host, port, tcp::resolver::numeric_service, ec);
  if (ec || endpoints.empty()) throw Failure("cannot use listen address " + std::string(hostPort) + ": " + ec.message());
  return *endpoints.begin();
}

// Past the descriptor limit accept() fails and new connections wait in the backlog, the good with the
// bad: refusing them first keeps room for the counters already logged in.
Limits fitDescriptors(Limits limits) {
  rlimit descriptors{};
  if (getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur != RLIM_INFINITY &&
      descriptors.rlim_cur < limits.maxConnections + 2 * kSpareDescriptors) {
    const std::size_t fit = descriptors.rlim_cur > 2 * kSpareDescriptors ? descriptors.rlim_cur - kSpareDescriptors : 1;
    log::debug("connections limited by the descriptor limit",
               {{"max_connections", std::to_string(fit)}, {"descriptors", std::to_string(descriptors.rlim_cur)}});
    limits.maxConnections = fit;
  }
  return limits;
}

}  // namespace

Listener::Listener(asio::io_context& ioc, std::string_view hostPort, std::shared_ptr<State> state,
                   std::optional<TlsFiles> files, bool metricsOnly)
    : acceptor_(ioc), state_(std::move(state)), files_(std::move(files)), metricsOnly_(metricsOnly) {
  if (files_) tls_ = tlsContext(*files_);
  const tcp::endpoint endpoint = endpointOf(ioc, hostPort);
  error_code ec;
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) throw Failure("cannot listen on " + std::string(hostPort) + ": " + ec.message());
  const tcp::endpoint bound = acceptor_.local_endpoint();
  const std::string address = bound.address().to_string();
  address_ = (bound.address().is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(bound.port());
}

void Listener::close() {
  error_code ignored;
  acceptor_.close(ignored);
}

// Connections made from then on get the new pair; those already open keep theirs (OpenSSL holds the old
// context for them). A mistake while renewing takes nothing down.
void Listener::reloadTls() {
  if (!tls_) return;
  try {
    tls_ = tlsContext(*files_);
    log::info("certificate reloaded", {{"address", address_}, {"certificate", files_->certificate.string()}});
  } catch (const Failure& e) {
    log::warn("certificate not reloaded, the old one kept", {{"address", address_}, {"reason", e.what()}});
  }
}

void Listener::accept() {
  acceptor_.async_accept([self = shared_from_this()](error_code ec, tcp::socket socket) {
    if (!self->state_->accepting || !self->acceptor_.is_open()) return;
    if (!ec) return self->accepted(std::move(socket));
    // Out of file descriptors, most likely: take a breath rather than spin.
    log::warn("accept failed", {{"reason", ec.message()}});
    auto pause = std::make_shared<asio::steady_timer>(self->acceptor_.get_executor(), std::chrono::milliseconds(100));
    pause->async_wait([self, pause](error_code) { self->accept(); });
  });
}

const char* Listener::admit(const std::string& peer, std::unique_ptr<Claim>& claim) {
  if (state_->open >= state_->limits.maxConnections) {
    ++state_->metrics.refusedAllFull;
    return "too many connections";
  }
  if (metricsOnly_ || address::inAny(state_->limits.trustedProxies, peer)) return nullptr;
  std::string group = address::groupOf(peer);
  if (state_->groupFull(group)) {
    ++state_->metrics.refusedAddressFull;
    return "too many from this address";
  }
  claim = std::make_unique<Claim>(state_, std::move(group));
  return nullptr;
}

void Listener::accepted(tcp::socket socket) {
  error_code ignored;
  std::string peer = peerAddress(socket);
  std::unique_ptr<Claim> claim;
  if (const char* refused = admit(peer, claim)) {
    log::warn("connection refused", {{"address", peer}, {"reason", refused}});
    socket.close(ignored);
    return accept();
  }
  socket.set_option(tcp::no_delay(true), ignored);
  if (tls_)
    std::make_shared<HttpSession<TlsStream>>(TlsStream(std::move(socket), *tls_), state_, std::move(peer),
                                             std::move(claim), metricsOnly_)
        ->run();
  else
    std::make_shared<HttpSession<PlainStream>>(PlainStream(std::move(socket)), state_, std::move(peer),
                                               std::move(claim), metricsOnly_)
        ->run();
  accept();
}

struct Server::Impl {
  asio::io_context& ioc;
  std::shared_ptr<State> state;
  std::vector<std::shared_ptr<Listener>> listeners;

  std::string add(std::string_view hostPort, std::optional<TlsFiles> files, bool metricsOnly) {
    auto listener = std::make_shared<Listener>(ioc, hostPort, state, std::move(files), metricsOnly);
    listener->run();
    return listeners.emplace_back(std::move(listener))->address();
  }
};

Server::Server(Loop& loop, Limits limits, metrics::Metrics& metrics, Handlers handlers)
    : impl_(std::make_shared<Impl>(Impl{loop.impl().ioc,
                                        std::make_shared<State>(fitDescriptors(std::move(limits)), metrics,
                                                                std::move(handlers)),
                                        {}})) {
  // SIGHUP: every TLS listener reads its certificate and key again.
  loop.onHangup([weak = std::weak_ptr<Impl>(impl_)] {
    if (const auto impl = weak.lock())
      for (auto& listener : impl->listeners) listener->reloadTls();
  });
}

Server::~Server() = default;

std::string Server::listen(std::string_view hostPort) { return impl_->add(hostPort, std::nullopt, false); }

std::string Server::listenTls(std::string_view hostPort, TlsFiles files) {
  return impl_->add(hostPort, std::move(files), false);
}

std::string Server::listenMetrics(std::string_view hostPort) { return impl_->add(hostPort, std::nullopt, true); }

void Server::stopAccepting() {
  State& state = *impl_->state;
  state.accepting = false;
  auto idle = std::move(state.idle);
  state.idle.clear();
  for (auto& [session, close] : idle) close();
  for (auto& listener : impl_->listeners) listener->close();
}

std::size_t Server::openConnections() const { return impl_->state->open; }

}  // namespace hub::net
