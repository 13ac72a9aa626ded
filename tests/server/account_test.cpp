// The account flows over the in-memory windows: the checks and their messages, the remembered login, the
// answers. What goes over the wire is in link_test.cpp, against the notification peer. Native only, as
// the message boxes are recorded.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <thread>

#include "link_fixture.h"
#include "app/event_table.h"
#include "server/account.h"

using namespace linktest;

namespace {

const std::vector<Setting> kRememberedNothing = {{"是否记住", "0"}};

class AccountTest : public WindowsTest {
 protected:
  void SetUp() override {
    WindowsTest::SetUp();
    server::testing::Timing t;
    t.registrationCloseMs = 300;
    server::testing::setTiming(t);
  }
  void TearDown() override {
    server::testing::setTiming({});
    WindowsTest::TearDown();
  }
  static void typeLogin(const std::string& account, const std::string& password, bool remember) {
    ui::setText(Window::Main, "编辑框_登陆账号", account);
    ui::setText(Window::Main, "编辑框_登陆密码", password);
    ui::setChecked(Window::Main, "选择框1", remember);
  }
  static void typeRegistration(const std::string& account, const std::string& password,
                               const std::string& confirmation) {
    ui::createWindow(Window::Registration);
    ui::setText(Window::Registration, "编辑框_注册账号", account);
    ui::setText(Window::Registration, "编辑框_注册密码", password);
    ui::setText(Window::Registration, "编辑框_注册确认密码", confirmation);
  }
};

TEST_F(AccountTest, LoginWithAMissingTextShowsTheMessageAndStillStoresTheChoice) {
  typeLogin("123456", "", true);
  account::submitLogin();
  EXPECT_EQ(boxTexts(), std::vector<std::string>{"请填写完整信息后重试！"});
  EXPECT_EQ(written(), (std::vector<Setting>{{"是否记住", "1"}, {"账号", "123456"}, {"密码", ""}}));

  SetUp();
  typeLogin("", "secret", false);
  account::submitLogin();
  EXPECT_EQ(boxTexts(), std::vector<std::string>{"请填写完整信息后重试！"});
  EXPECT_EQ(written(), kRememberedNothing);

  SetUp();
  typeLogin("", "", false);
  account::submitLogin();
  EXPECT_EQ(boxTexts(), std::vector<std::string>{"请填写完整信息后重试！"});
}

TEST_F(AccountTest, CompleteLoginShowsNothingAndRemembersAsTicked) {
  // No connection here: the sends are lost quietly, which is what a login while the server is away does.
  typeLogin("13800000000", "密码 with blanks ", true);
  account::submitLogin();
  EXPECT_TRUE(boxTexts().empty());
  EXPECT_EQ(written(), (std::vector<Setting>{{"是否记住", "1"}, {"账号", "13800000000"}, {"密码", "密码 with blanks "}}));
  // Unticked: only the choice is written; the stored account and password stay as they were.
  SetUp();
  typeLogin("13800000000", "pw", false);
  account::submitLogin();
  EXPECT_EQ(written(), kRememberedNothing);
}

TEST_F(AccountTest, TheLoginButtonIsBoundToTheLogin) {
  app::bindEvents();
  typeLogin("1", "", false);
  ui::raiseEvent(Window::Main, "按钮_登陆", ui::Event::Clicked);
  EXPECT_EQ(boxTexts(), std::vector<std::string>{"请填写完整信息后重试！"});
  ui::raiseEvent(Window::Main, "标签3", ui::Event::MouseDown);
  EXPECT_TRUE(ui::windowExists(Window::Registration));
  msgbox::clearShownBoxes();
  ui::raiseEvent(Window::Registration, "按钮1", ui::Event::Clicked);
  EXPECT_EQ(boxTexts(), std::vector<std::string>{"请输入六位或六位以上的账号！"});
  for (auto [w, c, e] : {std::tuple{Window::Main, "按钮_登陆", ui::Event::Clicked},
                         std::tuple{Window::Main, "标签3", ui::Event::MouseDown},
                         std::tuple{Window::Registration, "按钮1", ui::Event::Clicked}})
    ui::bind(w, c, e, nullptr);
}

TEST_F(AccountTest, RegistrationChecksInOrder) {
  struct Case {
    std::string account, password, confirmation, message;
  };
  const std::vector<Case> cases = {
      {"12345", "123456", "123456", "请输入六位或六位以上的账号！"},
      {"", "", "", "请输入六位或六位以上的账号！"},
      {"123456", "12345", "12345", "请输入六位或六位以上的密码！"},
      {"123456", "", "", "请输入六位或六位以上的密码！"},
      {"123456", "123456", "", "请填写完整信息后重试！"},
      {"123456", "123456", "123457", "两次填写密码不一样请确认后重试！"},
      {"123456", "abcdef", "ABCDEF", "两次填写密码不一样请确认后重试！"},
      {"123456", "abcdef", "abcdef ", "两次填写密码不一样请确认后重试！"},
      // Lengths are bytes: three Chinese characters are six.
      {"一二三", "123456", "123", "两次填写密码不一样请确认后重试！"},
      {"一二", "123456", "123456", "请输入六位或六位以上的账号！"},
      {"123456", "密码三", "", "请填写完整信息后重试！"},
  };
  for (const Case& c : cases) {
    msgbox::clearShownBoxes();
    typeRegistration(c.account, c.password, c.confirmation);
    account::submitRegistration();
    EXPECT_EQ(boxTexts(), std::vector<std::string>{c.message}) << c.account << "/" << c.password;
    // The typed texts stay for another try.
    EXPECT_EQ(ui::text(Window::Registration, "编辑框_注册账号"), c.account);
  }
  msgbox::clearShownBoxes();
  typeRegistration("123456", "abcdef", "abcdef");
  account::submitRegistration();
  EXPECT_TRUE(boxTexts().empty());
  EXPECT_TRUE(written().empty());  // nothing of a registration is stored
}

TEST_F(AccountTest, SuccessfulLoginLocksThePanelForTheRun) {
  typeLogin("123456", "secret", true);
  account::onLoginAnswer("登录成功！");
  EXPECT_EQ(label("分组框2"), "登陆---登陆成功");
  EXPECT_EQ(label("按钮_登陆"), "登录成功");
  EXPECT_FALSE(ui::isEnabled(Window::Main, "编辑框_登陆账号"));
  EXPECT_FALSE(ui::isEnabled(Window::Main, "编辑框_登陆密码"));
  EXPECT_FALSE(ui::isEnabled(Window::Main, "按钮_登陆"));
  EXPECT_FALSE(ui::isEnabled(Window::Main, "标签3"));
  EXPECT_EQ(ui::inputMode(Window::Main, "编辑框_登陆密码"), ui::InputMode::Password);
  EXPECT_TRUE(ui::isEnabled(Window::Main, "选择框1"));
  EXPECT_EQ(ui::text(Window::Main, "编辑框_登陆密码"), "secret");
  EXPECT_TRUE(boxTexts().empty());

  // A failure later (after a reconnection) shows its message; the panel stays locked.
  account::onLoginAnswer("登录失败，帐号或密码错误！");
  EXPECT_EQ(boxTexts(), std::vector<std::string>{"登录失败，帐号或密码错误！"});
  EXPECT_FALSE(ui::isEnabled(Window::Main, "按钮_登陆"));
  EXPECT_EQ(label("分组框2"), "登陆---登陆成功");
}

TEST_F(AccountTest, OtherLoginAnswersChangeNothing) {
  for (const char* answer : {"", "登录成功", "登录成功！ ", "帐号已冻结", "登录失败"}) {
    account::onLoginAnswer(answer);
  }
  EXPECT_EQ(label("分组框2"), "登陆---未登录");
  EXPECT_EQ(label("按钮_登陆"), "登录");
  EXPECT_TRUE(ui::isEnabled(Window::Main, "按钮_登陆"));
  EXPECT_EQ(ui::inputMode(Window::Main, "编辑框_登陆密码"), ui::InputMode::Normal);
  EXPECT_TRUE(boxTexts().empty());
  // A failed login leaves the panel editable.
  account::onLoginAnswer("登录失败，帐号或密码错误！");
  EXPECT_TRUE(ui::isEnabled(Window::Main, "编辑框_登陆账号"));
  EXPECT_TRUE(ui::isEnabled(Window::Main, "按钮_登陆"));
}

TEST_F(AccountTest, OneRegistrationWindowAtATime) {
  account::openRegistration();
  ASSERT_TRUE(ui::windowExists(Window::Registration));
  ui::setText(Window::Registration, "编辑框_注册账号", "888888");
  account::openRegistration();
  EXPECT_EQ(ui::text(Window::Registration, "编辑框_注册账号"), "888888");
  // The main window stays usable.
  EXPECT_TRUE(ui::isEnabled(Window::Main, "按钮_登陆"));
}

TEST_F(AccountTest, RegistrationAnswers) {
  account::openRegistration();
  account::onRegistrationAnswer("帐号已存在！");
  EXPECT_EQ(ui::text(Window::Registration, "按钮1"), "帐号已存在！");
  EXPECT_TRUE(ui::windowExists(Window::Registration));

  // Success: the answer on the button, then the window closes by itself.
  account::onRegistrationAnswer("注册成功！");
  EXPECT_FALSE(ui::windowExists(Window::Registration));
  EXPECT_TRUE(boxTexts().empty());

  // An answer after the user closed the window changes nothing: no window comes back.
  account::onRegistrationAnswer("注册成功！");
  account::onRegistrationAnswer("帐号已存在！");
  EXPECT_FALSE(ui::windowExists(Window::Registration));
}

TEST_F(AccountTest, ADueCloseNeverClosesANewerWindow) {
  server::testing::Timing t;
  t.registrationCloseMs = 3000;
  server::testing::setTiming(t);
  account::openRegistration();
  std::thread answer([] { account::onRegistrationAnswer("注册成功！"); });
  // While the answer waits, the user closes the window and opens a new one.
  ASSERT_TRUE(eventually([] { return ui::text(Window::Registration, "按钮1") == "注册成功！"; }));
  ui::destroyWindow(Window::Registration);
  account::openRegistration();
  answer.join();
  EXPECT_TRUE(ui::windowExists(Window::Registration));
  EXPECT_EQ(ui::text(Window::Registration, "按钮1"), "注册");
}

}  // namespace
#endif
