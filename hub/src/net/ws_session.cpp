// A counter's WebSocket session (net/ws_session.h).
#include "net/ws_session.h"

#include <algorithm>

#include "common/log.h"

namespace hub::net {

namespace http = beast::http;
namespace websocket = beast::websocket;

namespace {
// Until a counter has logged in, its texts and what is queued for it are kept short: a login or a
// registration is well under a few hundred bytes, and so are the answers to them.
constexpr std::size_t kAnonymousTextBytes = 4096;
constexpr std::size_t kAnonymousQueueBytes = 64 * 1024;
}  // namespace

template <class Stream>
WsSession<Stream>::WsSession(Stream&& stream, std::shared_ptr<State> state, std::string address,
                             std::unique_ptr<Claim> claim)
    : ws_(std::move(stream)),
      state_(std::move(state)),
      address_(std::move(address)),
      claim_(std::move(claim)),
      deadline_(ws_.get_executor()),
      stall_(ws_.get_executor()) {}

template <class Stream>
void WsSession<Stream>::run(http::request<http::string_body> request) {
  ++state_->open;
  beast::get_lowest_layer(ws_).expires_never();
  // Beast pings a counter that has been silent for half the idle time and drops it after the whole.
  ws_.set_option(websocket::stream_base::timeout{kHandshakeTimeout, state_->limits.pingInterval * 2, true});
  ws_.set_option(websocket::stream_base::decorator(
      [](websocket::response_type& res) { res.set(http::field::server, "kassaro-hub"); }));
  ws_.read_message_max(std::min(state_->limits.maxMessageBytes, kAnonymousTextBytes));
  ws_.text(true);
  ws_.async_accept(request, [self = shared_from_this()](error_code ec) { self->accepted(ec); });
}

template <class Stream>
void WsSession<Stream>::send(std::string text, std::function<void()> written) {
  if (closeCode_ || ended_) return;
  const std::size_t cost = text.capacity() + sizeof(Frame) + kFrameOverhead;
  if (queuedBytes_ + cost > (loggedIn_ ? state_->limits.maxQueuedBytes : kAnonymousQueueBytes)) {
    // A counter that does not read what it is sent would hold the hub's memory without end; it will
    // reconnect and get the day's bills again. The frame being written stays until its write ends.
    drop("counter too slow, dropped", state_->metrics.droppedSlow);
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

template <class Stream>
void WsSession<Stream>::close(CloseCode code) {
  if (closeCode_ || ended_) return;
  closeCode_ = code;
  if (!writing_) closeNow();
}

template <class Stream>
void WsSession<Stream>::loggedIn() {
  if (loggedIn_ || ended_) return;
  loggedIn_ = true;
  deadline_.cancel();
  ws_.read_message_max(state_->limits.maxMessageBytes);
}

template <class Stream>
void WsSession<Stream>::accepted(error_code ec) {
  if (ec) return end();
  opened_ = true;
  state_->handlers.counterOpened(shared_from_this());
  // A counter whose upgrade was under way when the hub began to stop missed the 1001 the others got.
  if (!state_->accepting) close(CloseCode::goingAway);
  if (!loggedIn_) awaitLogin(state_->limits.loginDeadline);
  read();
}

template <class Stream>
void WsSession<Stream>::awaitLogin(std::chrono::steady_clock::duration left) {
  deadline_.expires_after(left);
  deadline_.async_wait([self = shared_from_this()](error_code ec) {
    if (ec || self->loggedIn_ || self->ended_) return;
    if (self->checking_) return self->awaitLogin(std::chrono::seconds(1));
    self->drop("counter did not log in, closed", self->state_->metrics.droppedNoLogin);
    self->close(CloseCode::policy);
  });
}

template <class Stream>
void WsSession<Stream>::drop(std::string_view why, std::atomic<std::uint64_t>& counted) {
  if (dropped_) return;
  dropped_ = true;
  ++counted;
  log::warn(why, {{"address", address_}});
}

template <class Stream>
void WsSession<Stream>::read() {
  ws_.async_read(buffer_, [self = shared_from_this()](error_code ec, std::size_t) { self->received(ec); });
}

template <class Stream>
void WsSession<Stream>::received(error_code ec) {
  if (ec) {
    if (ec == websocket::error::message_too_big)
      drop("counter message too large, closed", state_->metrics.droppedTooLarge);
    return end();
  }
  if (ws_.got_text()) {
    std::string text = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    state_->handlers.counterText(shared_from_this(), std::move(text));
  } else {
    buffer_.consume(buffer_.size());  // counters send text only; anything else is ignored
  }
  if (!ended_) read();
}

// A frame (or the close) not written within twice the ping interval: the counter reads nothing, and
// the connection is cut without waiting for it any longer.
template <class Stream>
void WsSession<Stream>::watchWrite() {
  stall_.expires_after(state_->limits.pingInterval * 2);
  stall_.async_wait([self = shared_from_this()](error_code ec) {
    if (ec || self->ended_ || !(self->writing_ || self->closing_)) return;
    self->drop("counter reads nothing, dropped", self->state_->metrics.droppedSlow);
    beast::get_lowest_layer(self->ws_).close();
  });
}

template <class Stream>
void WsSession<Stream>::writeNext() {
  writing_ = true;
  watchWrite();
  ws_.async_write(asio::buffer(queue_.front().text), [self = shared_from_this()](error_code ec, std::size_t) {
    self->wrote(ec);
  });
}

template <class Stream>
void WsSession<Stream>::wrote(error_code ec) {
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

template <class Stream>
void WsSession<Stream>::closeNow() {
  if (closing_ || ended_) return;
  closing_ = true;
  watchWrite();
  ws_.async_close(websocket::close_reason(static_cast<websocket::close_code>(*closeCode_)),
                  [self = shared_from_this()](error_code) { self->stall_.cancel(); });
}

template <class Stream>
void WsSession<Stream>::end() {
  if (ended_) return;
  ended_ = true;
  --state_->open;
  deadline_.cancel();
  stall_.cancel();
  claim_.reset();
  if (opened_) state_->handlers.counterClosed(shared_from_this());
}

template class WsSession<PlainStream>;
template class WsSession<TlsStream>;

}  // namespace hub::net
