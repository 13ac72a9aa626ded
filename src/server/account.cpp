#include "server/account.h"

#include <atomic>

#include "common/msgbox.h"
#include "common/pz_ini.h"
#include "common/settings_file.h"
#include "server/link.h"
#include "server/link_testing.h"
#include "server/machine_id.h"
#include "server/protocol.h"
#include "server/wait.h"
#include "ui/controls.h"
#include "ui/window_layer.h"

namespace account {
namespace {

using ui::Window;

// Counts the registration windows opened, so that a close that is due for one window never closes a
// newer one that the user opened meanwhile.
std::atomic<unsigned> registrationWindows{0};

std::string joined(std::initializer_list<std::string> fields) {
  std::string message;
  for (const std::string& f : fields) {
    if (!message.empty()) message += protocol::kFieldSeparator;
    message += f;
  }
  return message;
}

}  // namespace

void sendLogin(const std::string& account, const std::string& password) {
  if (account.empty() || password.empty()) {
    // The connected handler logs in too: its box must not hold up the link.
    msgbox::showWithoutWaiting(kIncompleteMessage);
    return;
  }
  const std::string id = server::machineId();
  // A send while there is no connection is lost: the next connection logs in again by itself.
  server::sendToServer(joined({protocol::kLogin, account, password, id}));
  server::sendToServer(joined({protocol::kBillRequest, account, password}));
}

void submitLogin() {
  sendLogin(ui::text(Window::Main, controls::kLoginAccountBox), ui::text(Window::Main, controls::kLoginPasswordBox));
  if (ui::isChecked(Window::Main, controls::kRememberBox)) {
    settings::writeSetting(pz::kLoginSection, pz::kRememberKey, "1");
    settings::writeSetting(pz::kLoginSection, pz::kAccountKey, ui::text(Window::Main, controls::kLoginAccountBox));
    settings::writeSetting(pz::kLoginSection, pz::kPasswordKey, ui::text(Window::Main, controls::kLoginPasswordBox));
  } else {
    // The stored account and password stay as they are.
    settings::writeSetting(pz::kLoginSection, pz::kRememberKey, "0");
  }
}

void openRegistration() {
  ui::runOnWindowThread([] {
    if (!ui::windowExists(Window::Registration)) ++registrationWindows;
    // An open window is brought to the front instead.
    ui::createWindow(Window::Registration);
  });
}

void submitRegistration() {
  const std::string account = ui::text(Window::Registration, controls::kNewAccountBox);
  const std::string password = ui::text(Window::Registration, controls::kNewPasswordBox);
  const std::string confirmation = ui::text(Window::Registration, controls::kConfirmPasswordBox);
  if (account.size() < 6) {
    msgbox::show(kShortAccountMessage);
    return;
  }
  if (password.size() < 6) {
    msgbox::show(kShortPasswordMessage);
    return;
  }
  if (account.empty() || password.empty() || confirmation.empty()) {
    msgbox::show(kIncompleteMessage);
    return;
  }
  if (password != confirmation) {
    msgbox::show(kPasswordsDifferMessage);
    return;
  }
  server::sendToServer(joined({protocol::kRegistration, account, password, server::machineId()}));
}

void onLoginAnswer(const std::string& answer) {
  if (answer == protocol::kLoginFailed) {
    // The panel stays as it is, also when an earlier login had locked it. Payments go on arriving
    // while nobody is there to press OK.
    msgbox::showWithoutWaiting(answer);
    return;
  }
  if (answer != protocol::kLoginSucceeded) return;
  // Logged in for the rest of the run: there is no log-out.
  ui::runOnWindowThread([] {
    ui::setText(Window::Main, controls::kLoginPanel, "登陆---登陆成功");
    ui::setEnabled(Window::Main, controls::kLoginAccountBox, false);
    ui::setEnabled(Window::Main, controls::kLoginPasswordBox, false);
    ui::setEnabled(Window::Main, controls::kLoginButton, false);
    ui::setText(Window::Main, controls::kLoginButton, "登录成功");
    ui::setEnabled(Window::Main, controls::kRegisterLink, false);
    ui::setInputMode(Window::Main, controls::kLoginPasswordBox, ui::InputMode::Password);
  });
}

void onRegistrationAnswer(const std::string& answer) {
  // An answer for a window the user has closed changes nothing.
  bool open = false;
  unsigned window = 0;
  ui::runOnWindowThread([&] {
    open = ui::windowExists(Window::Registration);
    window = registrationWindows;
    if (open) ui::setText(Window::Registration, controls::kRegisterButton, answer);
  });
  if (!open || answer != protocol::kRegistrationSucceeded) return;
  // The answer stays readable on the button for a moment, then the window goes.
  server::waitPumping(server::testing::timing().registrationCloseMs);
  ui::runOnWindowThread([&] {
    if (registrationWindows == window && ui::windowExists(Window::Registration))
      ui::destroyWindow(Window::Registration);
  });
}

}  // namespace account
