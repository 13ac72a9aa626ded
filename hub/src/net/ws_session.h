#pragma once
// A counter's WebSocket connection, once its HTTP session has handed the stream over on upgrade: frames
// written in order from a bounded queue, the login deadline, and the drops of a counter that is too slow,
// too large or never logs in. Its lifetime is held by the handlers it has in flight (shared_from_this).
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>

#include "net/shared.h"

namespace hub::net {

template <class Stream>
class WsSession : public CounterLink, public std::enable_shared_from_this<WsSession<Stream>> {
 public:
  WsSession(Stream&& stream, std::shared_ptr<State> state, std::string address, std::unique_ptr<Claim> claim);

  // Answers the upgrade request the HTTP session read.
  void run(beast::http::request<beast::http::string_body> request);

  void send(std::string text, std::function<void()> written) override;
  void close(CloseCode code) override;
  const std::string& address() const override { return address_; }
  void loggedIn() override;
  void checking(bool underWay) override { checking_ = underWay; }

 private:
  struct Frame {
    std::string text;
    std::function<void()> written;
    std::size_t cost = 0;  // what it holds of the hub's memory, counted against the queue's limit
  };
  // A deque's node share and allocator rounding, per frame.
  static constexpr std::size_t kFrameOverhead = 32;

  using std::enable_shared_from_this<WsSession>::shared_from_this;

  void accepted(error_code ec);
  void awaitLogin(std::chrono::steady_clock::duration left);
  // Logged once a connection, however many of its texts or frames it takes.
  void drop(std::string_view why, std::atomic<std::uint64_t>& counted);
  void read();
  void received(error_code ec);
  void watchWrite();
  void writeNext();
  void wrote(error_code ec);
  void closeNow();
  void end();

  beast::websocket::stream<Stream> ws_;
  beast::flat_buffer buffer_;
  std::shared_ptr<State> state_;
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

extern template class WsSession<PlainStream>;
extern template class WsSession<TlsStream>;

}  // namespace hub::net
