#include "server/dispatcher.h"

#include <mutex>
#include <vector>

#include "bills/ledger.h"
#include "common/msgbox.h"
#include "common/program_end.h"
#include "common/text.h"
#include "server/account.h"
#include "server/link.h"
#include "server/protocol.h"
#include "server/web_address.h"
#include "ui/controls.h"
#include "ui/window_layer.h"

namespace server {
namespace {

// The pieces of a message. Splitting drops an empty last piece, so a field at the end that is absent
// reads as the empty text; nothing past the pieces present is ever read.
struct Pieces {
  std::vector<std::string> items;
  size_t count() const { return items.size(); }
  std::string at(size_t i) const { return i < items.size() ? items[i] : std::string(); }
};

std::mutex& infoLock() {
  static std::mutex m;
  return m;
}

ServerInfo& info() {
  static ServerInfo i;
  return i;
}

void handleServerInfo(const Pieces& p) {
  ServerInfo latest{p.at(1), p.at(2), p.at(3), p.at(4), p.at(5)};
  {
    std::lock_guard g(infoLock());
    info() = latest;
  }
  ui::setText(ui::Window::Main, controls::kNoticeLabel, std::string(kNoticeHeading) + "\r\n" + latest.notice);
  // Maintenance first: a server in maintenance that also reports a newer version gives only this message.
  if (latest.status != protocol::kServiceRunning) {
    msgbox::show(kMaintenanceMessage);
    app::endProgram(0);
    return;
  }
  if (latest.version != protocol::kOurVersion) {
    msgbox::show(kNewVersionMessage);
    // The download page is the fourth field, and only when it is a plain web address.
    if (isOpenableAddress(latest.fourth)) openWebAddress(latest.fourth);
    app::endProgram(0);
  }
}

}  // namespace

void dispatchMessage(const std::string& message) {
  // The phone app's state: the whole text, nothing more (a trailing blank is another text).
  if (message == protocol::kAppOffline)
    ui::setText(ui::Window::Main, controls::kMonitorLabel, kMonitorOffline);
  else if (message == protocol::kAppOnline)
    ui::setText(ui::Window::Main, controls::kMonitorLabel, kMonitorOnline);

  const Pieces p{text::splitFields(message, protocol::kFieldSeparator)};
  if (p.count() == 0) return;
  const std::string& kind = p.items[0];

  // An answer needs its answer piece, as every kind needs its pieces.
  if (kind == protocol::kRegistrationAnswer && p.count() >= 2)
    account::onRegistrationAnswer(p.at(1));
  else if (kind == protocol::kLoginAnswer && p.count() >= 2)
    account::onLoginAnswer(p.at(1));

  // A complete server information has five separators, so at least five pieces even when the last
  // fields are empty. Fewer is a broken message, and one that may end the program must be whole.
  if (kind == protocol::kServerInfo && p.count() >= 5) handleServerInfo(p);

  // A payment needs its channel; an amount missing at the end reads as empty.
  if (kind == protocol::kPayment && p.count() >= 2) bills::recordPayment(p.at(1), p.at(2));
}

ServerInfo serverInfo() {
  std::lock_guard g(infoLock());
  return info();
}

void forgetServerInfo() {
  std::lock_guard g(infoLock());
  info() = ServerInfo{};
}

}  // namespace server
