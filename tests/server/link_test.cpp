// The server link against the notification peer (tests/peers/notify_peer.py), under the sanitizers: the
// first connection and its login, the retries at start-up, the quiet reconnection after a drop, hostile
// traffic. Over the in-memory windows with the message boxes recorded, so natively only; tests/win has
// these journeys and the account messages on the wire with real windows under Wine.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <thread>

#include "link_fixture.h"
#include "app/event_table.h"
#include "notify_peer.h"
#include "server/account.h"
#include "server/machine_id.h"

using namespace linktest;

namespace {

const std::string kId = server::machineIdFor(0);  // natively no disk answers

std::string loginFrame(const std::string& account, const std::string& password) {
  return "用户登录" + F + account + F + password + F + kId;
}
std::string billFrame(const std::string& account, const std::string& password) {
  return "获取账单" + F + account + F + password;
}

class LinkTest : public WindowsTest {
 protected:
  void SetUp() override {
    WindowsTest::SetUp();
    ASSERT_TRUE(peer.start()) << "the notification peer did not start (needs /usr/bin/python3 with websockets)";
    server::testing::Timing t;
    t.retryWaitMs = 100;
    t.reconnectWaitMs = 300;
    t.registrationCloseMs = 300;
    t.keepalivePingMs = 1000;
    t.keepaliveDropMs = 1000;
    server::testing::setTiming(t);
    server::testing::setEndpoint(peer.url());
    app::bindEvents();
  }

  void TearDown() override {
    server::closeServerLink();
    peer.stop();
    server::testing::setTiming({});
    server::testing::setEndpoint("");
    WindowsTest::TearDown();
  }

  // Starts as the program does: the link is created, then the main window, whose creation handler opens
  // the link first and only then loads the remembered login into the boxes.
  static void startProgram(const std::string& account, const std::string& password) {
    ui::destroyWindow(Window::Main);
    ui::bind(Window::Main, "", ui::Event::Created, [account, password] {
      server::openServerLink();
      ui::setChecked(Window::Main, "选择框2", false);
      ui::setText(Window::Main, "编辑框_登陆账号", account);
      ui::setText(Window::Main, "编辑框_登陆密码", password);
    });
    server::createServerLink();
    ui::createWindow(Window::Main);
  }

  // Waits until everything pushed before has been dispatched: a notice goes through the same queue.
  void roundTrip(const std::string& probe) {
    ASSERT_TRUE(peer.push("服务器信息" + F + "1" + F + probe + F + "1.0" + F + F));
    ASSERT_TRUE(eventually([&] { return label("标签8") == "公告\r\n" + probe; })) << probe;
  }

  peertest::NotifyPeer peer;
};

TEST_F(LinkTest, TheFirstConnectionLogsInWithTheRememberedLogin) {
  startProgram("123456", "654321");
  const auto frames = peer.waitFrames(2);
  EXPECT_EQ(frames, (std::vector<std::string>{loginFrame("123456", "654321"), billFrame("123456", "654321")}));
  // The peer answers "登录成功！" and the phone-app state.
  EXPECT_TRUE(eventually([] { return label("按钮_登陆") == "登录成功"; }));
  EXPECT_TRUE(eventually([] { return label("标签_监控状态") == "监控状态：√"; }));
  EXPECT_EQ(server::testing::lastConnectResult(), 1);
  EXPECT_TRUE(boxTexts().empty());
}

TEST_F(LinkTest, EmptyBoxesMeanNoLogin) {
  startProgram("", "");
  ASSERT_TRUE(peer.waitAccepted(1));
  roundTrip("已连接");
  EXPECT_TRUE(peer.frames().empty());
  EXPECT_TRUE(boxTexts().empty());
  // One box with text is enough to try, and the login's own check then speaks.
  server::closeServerLink();
  startProgram("", "654321");
  ASSERT_TRUE(peer.waitAccepted(2));
  EXPECT_TRUE(eventually([] { return boxTexts() == std::vector<std::string>{"请填写完整信息后重试！"}; }));
}

TEST_F(LinkTest, AServerDownAtStartIsRetriedUntilItComes) {
  ASSERT_TRUE(peer.down());
  startProgram("123456", "654321");
  // Let a few attempts fail, then bring the server up.
  ASSERT_TRUE(eventually([] { return server::testing::lastConnectResult() == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_TRUE(peer.up());
  EXPECT_TRUE(eventually([] { return boxTexts() == std::vector<std::string>{"服务器重连成功"}; }));
  EXPECT_EQ(peer.waitFrames(2),
            (std::vector<std::string>{loginFrame("123456", "654321"), billFrame("123456", "654321")}));
  EXPECT_TRUE(eventually([] { return label("标签_监控状态") == "监控状态：√"; }));
  // One loop only: no second success message, no end, one connection.
  roundTrip("稍后");
  EXPECT_EQ(boxTexts(), std::vector<std::string>{"服务器重连成功"});
  EXPECT_TRUE(endCodes().empty());
  EXPECT_EQ(peer.status("accepted"), 1);
}

TEST_F(LinkTest, AServerThatNeverComesBackEndsTheProgramAfterTwentyAttempts) {
  ASSERT_TRUE(peer.down());
  startProgram("123456", "654321");
  ASSERT_TRUE(eventually([] { return !endCodes().empty(); }, 60));
  EXPECT_EQ(endCodes(), std::vector<int>{0});
  EXPECT_EQ(boxTexts(), std::vector<std::string>{server::connectionGivenUpMessage()});
  EXPECT_EQ(server::connectionGivenUpMessage().rfind("服务器连接失败，请重启软件或联系管理员！  ", 0), 0u);
  EXPECT_GT(server::connectionGivenUpMessage().size(), std::string("服务器连接失败，请重启软件或联系管理员！  ").size());
  // Nothing further happens once the program has been told to end.
  ASSERT_TRUE(peer.up());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(peer.status("accepted"), 0);
  EXPECT_EQ(endCodes(), std::vector<int>{0});
}

TEST_F(LinkTest, ADroppedOrClosedConnectionComesBackQuietly) {
  startProgram("123456", "654321");
  ASSERT_EQ(peer.waitFrames(2).size(), 2u);
  ASSERT_TRUE(eventually([] { return label("标签_监控状态") == "监控状态：√"; }));
  // From now on the peer does not report the phone app by itself.
  ASSERT_TRUE(peer.set("app_state", ""));

  int accepted = 1;
  size_t frames = 2;
  for (const std::string how : {"drop", "close"}) {
    ASSERT_TRUE(how == "drop" ? peer.dropAll() : peer.closeAll());
    EXPECT_TRUE(eventually([] { return label("标签_监控状态") == "监控状态：×"; })) << how;
    EXPECT_TRUE(peer.waitAccepted(++accepted)) << how;
    frames += 2;
    const auto all = peer.waitFrames(frames);
    ASSERT_EQ(all.size(), frames) << how;
    EXPECT_EQ(all[frames - 2], loginFrame("123456", "654321")) << how;
    EXPECT_EQ(all[frames - 1], billFrame("123456", "654321")) << how;
    // Logged in again, but the monitor waits for the server's word.
    roundTrip(std::string("回来了") + how);
    EXPECT_EQ(label("标签_监控状态"), "监控状态：×") << how;
    ASSERT_TRUE(peer.push("APP正常"));
    EXPECT_TRUE(eventually([] { return label("标签_监控状态") == "监控状态：√"; })) << how;
  }
  EXPECT_TRUE(boxTexts().empty());
  EXPECT_TRUE(endCodes().empty());
}

TEST_F(LinkTest, ASilentServerIsNoticedAndLeft) {
  startProgram("123456", "654321");
  ASSERT_EQ(peer.waitFrames(2).size(), 2u);
  ASSERT_TRUE(eventually([] { return label("标签_监控状态") == "监控状态：√"; }));
  ASSERT_TRUE(peer.set("app_state", ""));
  ASSERT_TRUE(peer.goSilent());
  // The keepalive gives up on the silent connection, and the link makes a new one.
  EXPECT_TRUE(eventually([] { return label("标签_监控状态") == "监控状态：×"; }));
  EXPECT_TRUE(peer.waitAccepted(2));
  const auto all = peer.waitFrames(4);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[2], loginFrame("123456", "654321"));
  EXPECT_TRUE(boxTexts().empty());
}

TEST_F(LinkTest, ALongOutageAfterADropLeavesTheLinkRetrying) {
  server::testing::Timing t = server::testing::timing();
  t.reconnectWaitMs = 20;
  server::testing::setTiming(t);
  startProgram("123456", "654321");
  ASSERT_EQ(peer.waitFrames(2).size(), 2u);
  ASSERT_TRUE(peer.down());
  ASSERT_TRUE(peer.dropAll());
  ASSERT_TRUE(eventually([] { return label("标签_监控状态") == "监控状态：×"; }));
  // Many times twenty attempts: an hour's worth of 10 s intervals is 360.
  ASSERT_TRUE(eventually([] { return server::testing::lastConnectResult() == 0; }));
  std::this_thread::sleep_for(std::chrono::seconds(5));
  EXPECT_TRUE(boxTexts().empty());
  EXPECT_TRUE(endCodes().empty());
  ASSERT_TRUE(peer.up());
  EXPECT_TRUE(peer.waitAccepted(2));
  EXPECT_EQ(peer.waitFrames(4).size(), 4u);
  EXPECT_TRUE(boxTexts().empty());
}

TEST_F(LinkTest, HostileTrafficNeitherEndsNorDropsTheLink) {
  startProgram("123456", "654321");
  ASSERT_EQ(peer.waitFrames(2).size(), 2u);
  ASSERT_TRUE(eventually([] { return label("标签_监控状态") == "监控状态：√"; }));
  for (const std::string& text : {std::string(""), F, F + F, std::string("未知"), std::string("服务器信息"),
                                  "服务器信息" + F + "0", std::string("收到收款"), std::string("登录响应"),
                                  std::string("注册响应"), std::string("APP掉线 "), std::string("账单回调"),
                                  std::string("账单回调by：Quimbe"), "账单回调by：Quimbe" + F + F + "\r\n\r\n"})
    ASSERT_TRUE(peer.push(text));
  ASSERT_TRUE(peer.pushRaw("e694b6e588b0ff"));            // "收到" then a byte that is never UTF-8
  ASSERT_TRUE(peer.pushRaw("c0afeda080f8888080808041"));  // overlong, surrogate, five-byte forms
  ASSERT_TRUE(peer.burst("小消息", 10000));
  roundTrip("仍然在线");
  EXPECT_EQ(peer.status("accepted"), 1);
  EXPECT_EQ(label("标签_监控状态"), "监控状态：√");
  EXPECT_EQ(ui::rowCount(Window::Main, "超级列表框_微信收款"), 0);
  EXPECT_TRUE(boxTexts().empty());
  EXPECT_TRUE(endCodes().empty());
  // And a payment still gets through.
  ASSERT_TRUE(peer.push("收到收款" + F + "微信收款" + F + "8.88"));
  EXPECT_TRUE(eventually([] { return ui::rowCount(Window::Main, "超级列表框_微信收款") == 1; }));
}

TEST_F(LinkTest, EveryTextReachesTheHistoryAndTheDispatcher) {
  const std::string line1 = "1" + F + "2020-6-29 09:53:40" + F + "微信收款" + F + "12.00";
  const std::string line2 = "2" + F + "2020-6-30 10:00:00" + F + "支付宝收款" + F + "3.50";
  ASSERT_TRUE(peer.set("history", line1 + "\r\n" + line2));
  startProgram("123456", "654321");
  EXPECT_TRUE(eventually([] {
    return ui::rowCount(Window::Main, "超级列表框_微信收款") == 1 &&
           ui::rowCount(Window::Main, "超级列表框_支付宝收款") == 1;
  }));
  EXPECT_EQ(ui::cell(Window::Main, "超级列表框_支付宝收款", 0, 3), "3.50");
  ASSERT_TRUE(peer.push("收到收款" + F + "支付宝收款" + F + "1.00"));
  EXPECT_TRUE(eventually([] { return ui::rowCount(Window::Main, "超级列表框_支付宝收款") == 2; }));
}

TEST_F(LinkTest, ClosingDoesNotWaitForARetryLoop) {
  server::testing::Timing t = server::testing::timing();
  t.retryWaitMs = 600000;
  server::testing::setTiming(t);
  ASSERT_TRUE(peer.down());
  startProgram("123456", "654321");
  ASSERT_TRUE(eventually([] { return server::testing::lastConnectResult() == 0; }));
  // The event thread now sits in its ten-minute wait; closing returns regardless, and sends fail.
  server::closeServerLink();
  EXPECT_FALSE(server::sendToServer("x"));
  EXPECT_TRUE(boxTexts().empty());
  EXPECT_TRUE(endCodes().empty());
}

}  // namespace
#endif
