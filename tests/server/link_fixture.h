// What the native tests of the server link share: fresh in-memory windows per test, and what the native
// stand-ins recorded: the message boxes the user would see, the ends of the program asked for, the
// remembered login written.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/lifecycle_native.h"
#include "app/settings_native.h"
#include "bills/history.h"
#include "common/msgbox.h"
#include "common/msgbox_shown.h"
#include "common/pz_ini.h"
#include "server/link.h"
#include "server/link_testing.h"
#include "server/web_address.h"
#include "ui/window_layer.h"

namespace linktest {

using ui::Window;

inline const std::string F = "【字段分隔符】";

using Setting = std::pair<std::string, std::string>;  // key of section "登陆", value

// What the shell was asked to do: the ends of the program, the remembered login written.
inline std::vector<int> endCodes() { return app::endRequests(); }
inline std::vector<Setting> written() {
  std::vector<Setting> login;
  for (const auto& w : settings::writtenSettings())
    if (w.section == pz::kLoginSection) login.emplace_back(w.key, w.value);
  return login;
}

inline std::vector<std::string> boxTexts() {
  std::vector<std::string> texts;
  for (const auto& b : msgbox::shownBoxes()) texts.push_back(b.text);
  return texts;
}

// Polls until `done` holds or the patience runs out; the result of the last look.
inline bool eventually(const std::function<bool()>& done, int seconds = 30) {
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() > until) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

inline std::string label(const std::string& name) { return ui::text(Window::Main, name); }

// Fresh windows with announcing off (a payment is then listed without a speech request), nothing bound,
// no boxes, no ends asked for, nothing stored.
class WindowsTest : public testing::Test {
 protected:
  void SetUp() override {
    resetWindows();
    app::clearEndRequests();
    settings::clearSettings();
    msgbox::clearShownBoxes();
    server::clearOpenedWebAddresses();
  }
  void TearDown() override { resetWindows(); }
  static void resetWindows() {
    ui::bind(Window::Main, "", ui::Event::Created, nullptr);
    ui::destroyWindow(Window::Registration);
    ui::destroyWindow(Window::Main);
    bills::forgetBillHistory();
    ui::createWindow(Window::Main);
    ui::setChecked(Window::Main, "选择框2", false);
  }
};

}  // namespace linktest
