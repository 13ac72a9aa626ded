#include "server/link.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "bills/history.h"
#include "common/msgbox.h"
#include "common/program_end.h"
#include "server/account.h"
#include "server/built_in_endpoint.h"
#include "server/dispatcher.h"
#include "server/link_testing.h"
#include "server/wait.h"
#include "server/ws/websocket_client.h"
#include "ui/controls.h"
#include "ui/window_layer.h"

namespace server {
namespace {

constexpr int kRetryAttempts = 20;
constexpr const char* kGivenUpText = "服务器连接失败，请重启软件或联系管理员！";
constexpr const char* kSupportContact = "客服邮箱：support@kassaro.cn";

// One link, from createServerLink to closeServerLink. The handlers hold it while they run, so the client
// outlives a handler that is still blocked when the program releases the link.
struct Link {
  ws::WebSocketClient client;
  std::atomic<int> lastConnectResult{0};
  std::atomic<bool> closed{false};
  // A retry loop (start-up or reconnection) is running on the event thread.
  std::atomic<bool> retrying{false};
};

std::mutex& lock() {
  static std::mutex m;
  return m;
}

std::shared_ptr<Link>& theLink() {
  static std::shared_ptr<Link> link;
  return link;
}

std::shared_ptr<Link> currentLink() {
  std::lock_guard g(lock());
  return theLink();
}

testing::Timing& timingStore() {
  static testing::Timing t;
  return t;
}

std::string& endpointStore() {
  static std::string url;
  return url;
}

std::string endpoint() {
  std::lock_guard g(lock());
  return endpointStore().empty() ? std::string(builtInEndpoint()) : endpointStore();
}

bool attempt(Link& link) {
  const bool made = link.client.Connect(endpoint());
  link.lastConnectResult = made ? 1 : 0;
  return made;
}

void onConnected() {
  const std::string name = ui::text(ui::Window::Main, controls::kLoginAccountBox);
  const std::string password = ui::text(ui::Window::Main, controls::kLoginPasswordBox);
  if (!name.empty() || !password.empty()) account::submitLogin();
}

void retryConnectOn(Link& link) {
  // A failure queued before a later connection was made (the client may report attempts made inside a
  // handler too) has nothing left to retry; and a loop never starts inside another.
  if (link.lastConnectResult == 1 || link.closed) return;
  if (link.retrying.exchange(true)) return;
  bool made = false;
  for (int i = 1; i <= kRetryAttempts && !link.closed; ++i) {
    made = attempt(link);
    if (made) break;
    waitPumping(testing::timing().retryWaitMs);
  }
  link.retrying = false;
  if (link.closed) return;
  // The connected event that follows a success sends the login, not this loop, and an unattended
  // counter must log in while the box waits for someone to press OK.
  if (made) {
    msgbox::showWithoutWaiting(kReconnectedMessage);
    return;
  }
  msgbox::show(connectionGivenUpMessage());
  // The program ends: nothing more happens on this link, whatever events are still queued.
  link.closed = true;
  app::endProgram(0);
}

void onDisconnectedOn(Link& link) {
  ui::setText(ui::Window::Main, controls::kMonitorLabel, kMonitorOffline);
  if (link.retrying.exchange(true)) return;
  // Quietly and without end: an unattended counter must come back by itself after a night's outage.
  while (!link.closed) {
    waitPumping(testing::timing().reconnectWaitMs);
    if (link.closed || attempt(link)) break;
  }
  link.retrying = false;
}

void onMessageOn(Link& link, int32_t handle) {
  const std::string message = link.client.GetMessageText(handle);
  bills::loadBillHistory(message);
  dispatchMessage(message);
}

// The handlers act on the link they were bound for, and on nothing once it is gone.
template <typename F>
auto forLink(const std::shared_ptr<Link>& link, F work) {
  return [weak = std::weak_ptr<Link>(link), work](auto... args) {
    if (auto l = weak.lock())
      if (!l->closed) work(*l, args...);
  };
}

}  // namespace

void createServerLink() {
  auto link = std::make_shared<Link>();
  link->client.BaseCreate();
  const testing::Timing t = testing::timing();
  link->client.SetKeepalive(t.keepalivePingMs, t.keepaliveDropMs);
  std::shared_ptr<Link> old;
  {
    std::lock_guard g(lock());
    old = std::exchange(theLink(), link);
  }
  if (old) {
    old->closed = true;
    old->client.BaseRelease();
  }
  // Once for the process, however many links tests create.
  static std::once_flag registered;
  std::call_once(registered, [] { app::registerExitCleanup(closeServerLink); });
}

void openServerLink() {
  auto link = currentLink();
  if (!link) return;
  link->client.Init(forLink(link, [](Link& l, int32_t, int32_t handle) { onMessageOn(l, handle); }),
                    forLink(link, [](Link&) { onConnected(); }),
                    forLink(link, [](Link& l) { retryConnectOn(l); }),
                    forLink(link, [](Link& l) { onDisconnectedOn(l); }));
  // The result is not looked at here: a failure raises the connect-failed event, which retries.
  attempt(*link);
}

void closeServerLink() {
  std::shared_ptr<Link> link;
  {
    std::lock_guard g(lock());
    link = std::move(theLink());
  }
  if (!link) return;
  // The loops see this between attempts; BaseRelease does not wait for the handler that is running.
  link->closed = true;
  link->client.BaseRelease();
  forgetServerInfo();
}

bool sendToServer(const std::string& text) {
  auto link = currentLink();
  return link && link->client.SendTextTo(text);
}

std::string connectionGivenUpMessage() { return std::string(kGivenUpText) + "  " + kSupportContact; }

namespace testing {

void setTiming(const Timing& t) {
  std::lock_guard g(lock());
  timingStore() = t;
}

Timing timing() {
  std::lock_guard g(lock());
  return timingStore();
}

void setEndpoint(const std::string& url) {
  std::lock_guard g(lock());
  endpointStore() = url;
}

int lastConnectResult() {
  auto link = currentLink();
  return link ? link->lastConnectResult.load() : 0;
}

}  // namespace testing

}  // namespace server
