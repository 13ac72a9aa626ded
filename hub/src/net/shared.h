#pragma once
// What the network edge's own files share (the loop, the listener, the HTTP and WebSocket sessions), in
// the shape of Beast's chat-multi example: the state every listener and session holds a share of, so that
// whatever the io_context destroys last still finds it. Beast and Asio stay here; the rest of the hub sees
// net/edge.h only.
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "net/edge.h"

namespace hub::net {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using error_code = beast::error_code;
using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

template <class Stream>
constexpr bool kTls = std::is_same_v<Stream, TlsStream>;

// A TLS handshake or a WebSocket upgrade not done within this is given up.
constexpr auto kHandshakeTimeout = std::chrono::seconds(30);

struct Loop::Impl {
  asio::io_context ioc{1};
  // Everything below uses the io_context, so it goes after it.
  asio::executor_work_guard<asio::io_context::executor_type> keepRunning = asio::make_work_guard(ioc);
  struct Ticker {
    asio::steady_timer timer;
    std::chrono::milliseconds period;
    std::function<void()> work;
  };
  std::vector<std::unique_ptr<Ticker>> tickers;
  asio::signal_set signals{ioc, SIGINT, SIGTERM};
  asio::signal_set hangup{ioc, SIGHUP};
  std::vector<std::function<void()>> hangupWork;

  void wait(Ticker& ticker);
  void awaitHangup();
};

// The counts and the handlers of one server's connections.
struct State {
  State(Limits limits, metrics::Metrics& metrics, Handlers handlers)
      : limits(std::move(limits)), metrics(metrics), handlers(std::move(handlers)) {}

  // Whether the address group (address::groupOf) holds as many connections as one may.
  bool groupFull(const std::string& group) const {
    const auto it = perAddress.find(group);
    return it != perAddress.end() && it->second >= limits.maxConnectionsPerAddress;
  }

  const Limits limits;
  metrics::Metrics& metrics;
  const Handlers handlers;
  bool accepting = true;
  std::size_t open = 0;  // HTTP exchanges and WebSocket sessions
  std::unordered_map<std::string, std::size_t> perAddress;  // open connections by address group
  // HTTP connections waiting for their next request, with what closes each: a clean end closes them.
  std::unordered_map<const void*, std::function<void()>> idle;
};

// A connection's place in the count of its address group; given back when it ends.
class Claim {
 public:
  Claim(std::shared_ptr<State> state, std::string group) : state_(std::move(state)), group_(std::move(group)) {
    ++state_->perAddress[group_];
  }
  ~Claim() {
    const auto it = state_->perAddress.find(group_);
    if (--it->second == 0) state_->perAddress.erase(it);
  }
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;
  const std::string& group() const { return group_; }

 private:
  std::shared_ptr<State> state_;
  std::string group_;
};

}  // namespace hub::net
