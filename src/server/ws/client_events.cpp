// The client's event queue and its event thread: events go in from the connect attempt and the I/O
// thread, and come out one at a time to the handlers.
#include <utility>

#include "common/codepage.h"
#include "server/ws/client_state.h"

namespace ws {
namespace {

// Messages received but not handled yet are held up to this many bytes; past it the socket is not read
// until the handlers catch up, and TCP holds the rest.
constexpr size_t kMaxQueuedBytes = size_t(32) << 20;

// Takes the next event off the queue and returns the call that handles it (empty when no handler is
// bound); a message becomes the current one, for GetMessageText. Caller holds state.lock.
std::function<void()> takeEvent(ClientState& state) {
  Event event = std::move(state.events.front());
  state.events.pop_front();
  // The handler runs from a copy, so BaseRelease may drop the stored ones while it runs.
  switch (event.kind) {
    case Event::kMessage: {
      state.queuedBytes -= event.data.size();
      state.drained.notify_all();
      const int32_t handle = state.lastHandle = state.lastHandle == INT32_MAX ? 1 : state.lastHandle + 1;
      state.currentHandle = handle;
      state.currentMessage = std::move(event.data);
      if (auto handler = state.onMessage)
        return [handler, type = event.messageType, handle] { handler(type, handle); };
      return {};
    }
    case Event::kConnected:
      return state.onConnected;
    case Event::kConnectFailed:
      return state.onConnectFailed;
    case Event::kDisconnected:
      return state.onDisconnected;
  }
  return {};
}

void runEvents(StatePtr state) {
  std::unique_lock<std::mutex> lock(state->lock);
  for (;;) {
    state->wake.wait(lock, [&] { return state->released || !state->events.empty(); });
    if (state->released) return;
    std::function<void()> call = takeEvent(*state);
    lock.unlock();
    if (call) call();
    call = nullptr;
    lock.lock();
    state->currentHandle = 0;
    state->currentMessage.clear();
  }
}

}  // namespace

void queueEvent(ClientState& state, Event event) {
  state.events.push_back(std::move(event));
  state.wake.notify_one();
}

void queueMessage(ClientState& state, const Connection& c, int32_t type, std::string data) {
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.released || c.stopping) return;
  state.queuedBytes += data.size();
  queueEvent(state, Event{Event::kMessage, type, std::move(data)});
}

bool waitForRoom(ClientState& state, const Connection& c) {
  std::unique_lock<std::mutex> lock(state.lock);
  if (state.queuedBytes < kMaxQueuedBytes) return false;
  while (state.queuedBytes >= kMaxQueuedBytes && !state.released && !c.stopping)
    state.drained.wait_for(lock, milliseconds(kSliceMs));
  return true;
}

WebSocketClient::~WebSocketClient() { BaseRelease(); }

void WebSocketClient::BaseCreate() {
  if (state_) return;
  state_ = std::make_shared<ClientState>();
  std::lock_guard<std::mutex> guard(state_->lock);
  std::thread events(runEvents, state_);
  state_->eventThread = events.get_id();
  events.detach();
}

void WebSocketClient::Init(MessageHandler onMessage, EventHandler onConnected, EventHandler onConnectFailed,
                           EventHandler onDisconnected) {
  if (!state_) return;
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->onMessage = std::move(onMessage);
  state_->onConnected = std::move(onConnected);
  state_->onConnectFailed = std::move(onConnectFailed);
  state_->onDisconnected = std::move(onDisconnected);
}

std::string WebSocketClient::GetMessageText(int32_t handle) const {
  if (!state_) return {};
  std::lock_guard<std::mutex> guard(state_->lock);
  if (handle == 0 || handle != state_->currentHandle) return {};
  return codepage::utf8ToGbk(state_->currentMessage);
}

int WebSocketClient::GetConnectStatus() const {
  if (!state_) return -1;
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->status;
}

void WebSocketClient::SetKeepalive(int pingAfterMs, int dropAfterMs) {
  if (!state_) return;
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->pingAfter = milliseconds(pingAfterMs);
  state_->dropAfter = milliseconds(dropAfterMs);
}

void WebSocketClient::BaseRelease() {
  // state_ itself stays: another thread may be calling in at this moment, and the released flag
  // turns it away.
  StatePtr state = state_;
  if (!state) return;
  ConnectionPtr c;
  MessageHandler onMessage;
  EventHandler onConnected, onConnectFailed, onDisconnected;
  std::deque<Event> events;
  {
    std::lock_guard<std::mutex> guard(state->lock);
    if (state->released) return;
    state->released = true;
    c = std::move(state->connection);
    state->status = -1;
    events.swap(state->events);
    state->queuedBytes = 0;
    // Destroyed below, outside the lock; a handler that is running has its own copy.
    onMessage = std::move(state->onMessage);
    onConnected = std::move(state->onConnected);
    onConnectFailed = std::move(state->onConnectFailed);
    onDisconnected = std::move(state->onDisconnected);
  }
  state->wake.notify_all();
  if (c) stopConnection(*c);
}

}  // namespace ws
