// The dispatcher over the in-memory windows: every kind of message, and hostile ones. The message boxes
// and the end of the program are recorded, so these run natively only; tests/win has the Win32 side.
#ifndef _WIN32
#include <gtest/gtest.h>

#include "link_fixture.h"
#include "server/dispatcher.h"
#include "server/protocol.h"
#include "server/web_address.h"

using namespace linktest;
using server::dispatchMessage;

namespace {

const std::string kWeChatList = "超级列表框_微信收款";
const std::string kAlipayList = "超级列表框_支付宝收款";

std::string serverInfo(const std::string& status, const std::string& notice, const std::string& version,
                       const std::string& fourth = "x", const std::string& fifth = "y") {
  return "服务器信息" + F + status + F + notice + F + version + F + fourth + F + fifth;
}

// Everything a message could change, to check that a message changed nothing.
struct Snapshot {
  std::string monitor, notice, panel, loginButton;
  int weChatRows = 0, alipayRows = 0;
  std::vector<std::string> boxes;
  std::vector<int> ends;
  std::vector<std::string> opened;

  static Snapshot take() {
    return {label("标签_监控状态"),
            label("标签8"),
            label("分组框2"),
            label("按钮_登陆"),
            ui::rowCount(Window::Main, kWeChatList),
            ui::rowCount(Window::Main, kAlipayList),
            boxTexts(),
            endCodes(),
            server::openedWebAddresses()};
  }
  bool operator==(const Snapshot&) const = default;
};

class DispatchTest : public WindowsTest {};

TEST_F(DispatchTest, PhoneAppStateSetsTheMonitorLabel) {
  dispatchMessage("APP掉线");
  EXPECT_EQ(label("标签_监控状态"), "监控状态：×");
  dispatchMessage("APP正常");
  EXPECT_EQ(label("标签_监控状态"), "监控状态：√");
  dispatchMessage("APP掉线");
  EXPECT_EQ(label("标签_监控状态"), "监控状态：×");

  // Only the whole text counts: a trailing blank, a prefix, another case, a field after it.
  dispatchMessage("APP正常");
  for (const std::string& near : {std::string("APP掉线 "), std::string(" APP掉线"), std::string("app掉线"),
                                   std::string("APP掉"), "APP掉线" + F, "APP掉线" + F + "x"})
    dispatchMessage(near);
  EXPECT_EQ(label("标签_监控状态"), "监控状态：√");
  EXPECT_TRUE(boxTexts().empty());
}

TEST_F(DispatchTest, ServerInformationInServiceOnlyShowsTheNotice) {
  dispatchMessage(serverInfo("1", "今日系统升级", "1.0", "四", "五"));
  EXPECT_EQ(label("标签8"), "公告\r\n今日系统升级");
  const server::ServerInfo info = server::serverInfo();
  EXPECT_EQ(info.status, "1");
  EXPECT_EQ(info.notice, "今日系统升级");
  EXPECT_EQ(info.version, "1.0");
  EXPECT_EQ(info.fourth, "四");
  EXPECT_EQ(info.fifth, "五");
  EXPECT_TRUE(boxTexts().empty());
  EXPECT_TRUE(endCodes().empty());
  EXPECT_TRUE(server::openedWebAddresses().empty());

  // The newest message replaces every kept text; an empty fifth field (dropped by the split) and an
  // empty notice both work.
  dispatchMessage("服务器信息" + F + "1" + F + "" + F + "1.0" + F + "http://a.example/" + F);
  EXPECT_EQ(label("标签8"), "公告\r\n");
  EXPECT_EQ(server::serverInfo().fourth, "http://a.example/");
  EXPECT_EQ(server::serverInfo().fifth, "");
  EXPECT_EQ(server::serverInfo().notice, "");
  EXPECT_TRUE(endCodes().empty());

  server::forgetServerInfo();
  EXPECT_EQ(server::serverInfo().status, "");
}

TEST_F(DispatchTest, MaintenanceShowsItsMessageAndEnds) {
  for (const std::string status : {"0", "2", "", " 1", "1 ", "１"}) {
    SetUp();
    // Whatever the version says: maintenance comes first and alone.
    dispatchMessage(serverInfo(status, "维护公告", "2.0", "https://example.com/new"));
    EXPECT_EQ(boxTexts(), std::vector<std::string>{"软件正在维护中，请稍候重试！"}) << status;
    EXPECT_EQ(endCodes(), std::vector<int>{0}) << status;
    EXPECT_TRUE(server::openedWebAddresses().empty()) << status;
    EXPECT_EQ(label("标签8"), "公告\r\n维护公告");
    EXPECT_EQ(msgbox::shownBoxes().at(0).title, "信息：");
  }
}

TEST_F(DispatchTest, NewVersionShowsItsMessageOpensTheDownloadPageAndEnds) {
  dispatchMessage(serverInfo("1", "有新版本", "1.1", "https://example.com/kassaro-1.1.exe", "z"));
  EXPECT_EQ(boxTexts(), std::vector<std::string>{"检测更新：软件有新版本！"});
  EXPECT_EQ(server::openedWebAddresses(), std::vector<std::string>{"https://example.com/kassaro-1.1.exe"});
  EXPECT_EQ(endCodes(), std::vector<int>{0});

  SetUp();
  dispatchMessage(serverInfo("1", "", "2.0", "http://127.0.0.1:8080/下载?v=2&x=1"));
  EXPECT_EQ(server::openedWebAddresses(), std::vector<std::string>{"http://127.0.0.1:8080/下载?v=2&x=1"});
  EXPECT_EQ(endCodes(), std::vector<int>{0});

  // Any other fourth field is never handed to the shell, and the program still ends.
  for (const std::string& fourth :
       {std::string("下载地址"), std::string(""), std::string("HTTP://example.com/"), std::string("Https://x/"),
        std::string("ftp://example.com/"), std::string("file:///C:/Windows/notepad.exe"),
        std::string("C:\\Windows\\notepad.exe"), std::string("http://"), std::string("https://"),
        std::string(" http://example.com/"), std::string("http://example.com/ x"),
        std::string("http://example.com/\"x"), std::string("http://example.com/'x"),
        std::string("http://example.com/\tx"), std::string("http://example.com/\r\nx"),
        std::string("http://example.com/\x7f"), std::string("http://example.com/　x"),
        "http://example.com/" + std::string(3000, 'a')}) {
    SetUp();
    dispatchMessage(serverInfo("1", "n", "1.1", fourth));
    EXPECT_TRUE(server::openedWebAddresses().empty()) << fourth;
    EXPECT_EQ(boxTexts(), std::vector<std::string>{"检测更新：软件有新版本！"}) << fourth;
    EXPECT_EQ(endCodes(), std::vector<int>{0}) << fourth;
  }
}

TEST_F(DispatchTest, OpenableAddresses) {
  EXPECT_TRUE(server::isOpenableAddress("http://a"));
  EXPECT_TRUE(server::isOpenableAddress("https://example.com/path?q=1#frag"));
  EXPECT_TRUE(server::isOpenableAddress("https://example.com/" + std::string(2000, 'a')));
  EXPECT_FALSE(server::isOpenableAddress("https://example.com/" + std::string(2100, 'a')));
  EXPECT_FALSE(server::isOpenableAddress("https://example.com/\xB0"));  // a lead byte cut off at the end
  EXPECT_FALSE(server::isOpenableAddress(std::string("http://a\0b", 10)));
  EXPECT_FALSE(server::isOpenableAddress("mailto:x@example.com"));
  EXPECT_FALSE(server::isOpenableAddress("javascript:alert(1)"));
}

TEST_F(DispatchTest, VersionIsComparedExactly) {
  for (const std::string version : {"1.00", "1", " 1.0", "1.0 ", "", "v1.0"}) {
    SetUp();
    dispatchMessage(serverInfo("1", "n", version));
    EXPECT_EQ(boxTexts(), std::vector<std::string>{"检测更新：软件有新版本！"}) << version;
    EXPECT_EQ(endCodes(), std::vector<int>{0}) << version;
  }
}

TEST_F(DispatchTest, PaymentsReachTheLedger) {
  dispatchMessage("收到收款" + F + "微信收款" + F + "100.00");
  ASSERT_EQ(ui::rowCount(Window::Main, kWeChatList), 1);
  EXPECT_EQ(ui::cell(Window::Main, kWeChatList, 0, 2), "微信收款");
  EXPECT_EQ(ui::cell(Window::Main, kWeChatList, 0, 3), "100.00");

  dispatchMessage("收到收款" + F + "支付宝收款" + F + "0.01");
  ASSERT_EQ(ui::rowCount(Window::Main, kAlipayList), 1);
  EXPECT_EQ(ui::cell(Window::Main, kAlipayList, 0, 3), "0.01");

  // An amount missing at the end is an empty amount; a payment without its channel is nothing.
  dispatchMessage("收到收款" + F + "微信收款" + F);
  dispatchMessage("收到收款" + F + "微信收款");
  ASSERT_EQ(ui::rowCount(Window::Main, kWeChatList), 3);
  EXPECT_EQ(ui::cell(Window::Main, kWeChatList, 2, 3), "");
  dispatchMessage("收到收款");
  dispatchMessage("收到收款" + F);
  EXPECT_EQ(ui::rowCount(Window::Main, kWeChatList), 3);
  EXPECT_EQ(ui::rowCount(Window::Main, kAlipayList), 1);

  // Fields beyond the amount are ignored.
  dispatchMessage("收到收款" + F + "支付宝收款" + F + "5" + F + "extra" + F + "more");
  ASSERT_EQ(ui::rowCount(Window::Main, kAlipayList), 2);
  EXPECT_EQ(ui::cell(Window::Main, kAlipayList, 1, 3), "5");
  EXPECT_TRUE(boxTexts().empty());
}

TEST_F(DispatchTest, SeparatorNeverMatchesOnASecondByte) {
  // "啊" is B0 A1: its second byte followed by the rest of the separator's bytes must not split.
  const std::string tricky = "1\xB0\xA1\xBE\xD7\xD6\xB6\xCE\xB7\xD6\xB8\xF4\xB7\xFB\xA1\xBF" "2";
  dispatchMessage("收到收款" + F + "微信收款" + F + tricky);
  ASSERT_EQ(ui::rowCount(Window::Main, kWeChatList), 1);
  EXPECT_EQ(ui::cell(Window::Main, kWeChatList, 0, 3), tricky);
}

TEST_F(DispatchTest, AnswersReachTheAccountFlows) {
  dispatchMessage("登录响应" + F + "登录成功！");
  EXPECT_EQ(label("分组框2"), "登陆---登陆成功");
  EXPECT_EQ(label("按钮_登陆"), "登录成功");

  dispatchMessage("登录响应" + F + "登录失败，帐号或密码错误！");
  EXPECT_EQ(boxTexts(), std::vector<std::string>{"登录失败，帐号或密码错误！"});

  ui::createWindow(Window::Registration);
  dispatchMessage("注册响应" + F + "帐号已存在！");
  EXPECT_EQ(ui::text(Window::Registration, "按钮1"), "帐号已存在！");
  // The kinds are told apart by piece 0 only.
  dispatchMessage("登录响应" + F + "注册成功！");
  EXPECT_EQ(ui::text(Window::Registration, "按钮1"), "帐号已存在！");
}

TEST_F(DispatchTest, BillHistoryIsNoneOfTheDispatchersKinds) {
  const Snapshot before = Snapshot::take();
  dispatchMessage("账单回调by：Quimbe" + std::string("1") + F + "2020-6-29 09:53:40" + F + "微信收款" + F + "9.00");
  EXPECT_EQ(Snapshot::take(), before);
}

TEST_F(DispatchTest, HostileTextsChangeNothing) {
  dispatchMessage("APP正常");
  dispatchMessage(serverInfo("1", "公告一", "1.0"));
  const Snapshot before = Snapshot::take();
  const std::vector<std::string> hostile = {
      "",
      F,
      F + F,
      F + F + F + F + F + F,
      "未知类型",
      "未知类型" + F + "x" + F + "y",
      "服务器信息",
      "服务器信息" + F,
      "服务器信息" + F + "2",
      "服务器信息" + F + "0" + F + "n" + F + "9.9",  // four pieces: incomplete, so no stop
      "收到收款",
      "收到收款" + F,
      F + "收到收款" + F + "微信收款" + F + "1",
      " 收到收款" + F + "微信收款" + F + "1",
      "服务器信息 " + F + "0" + F + "n" + F + "2" + F + "x" + F + "y",
      std::string("\0\0\0", 3),
      "\xFF\xFE\xFD",
      "\xB0",
      "收到收款\xA1",
      "\xA1\xBE\xD7\xD6",  // half a separator
      "账单回调",
      "by：Quimbe",
  };
  for (const std::string& text : hostile) dispatchMessage(text);
  EXPECT_EQ(Snapshot::take(), before);
}

TEST_F(DispatchTest, AnswersWithoutTheirAnswerPieceAreIgnored) {
  // No box, no lock, and an open registration window keeps its button's caption.
  ui::createWindow(Window::Registration);
  for (const std::string& bare : {std::string("登录响应"), "登录响应" + F, std::string("注册响应"), "注册响应" + F})
    dispatchMessage(bare);
  EXPECT_EQ(label("分组框2"), "登陆---未登录");
  EXPECT_TRUE(boxTexts().empty());
  EXPECT_EQ(ui::text(Window::Registration, "按钮1"), "注册");
  EXPECT_TRUE(ui::windowExists(Window::Registration));
}

TEST_F(DispatchTest, TwentyMegabytesOfTextChangeNothing) {
  const Snapshot before = Snapshot::take();
  std::string big(20 * 1024 * 1024, 'A');
  dispatchMessage(big);
  // The same size made of separators and of a kind word followed by rubbish.
  std::string separators;
  while (separators.size() < 20u * 1024 * 1024) separators += F;
  dispatchMessage(separators);
  dispatchMessage("未知" + F + big);
  EXPECT_EQ(Snapshot::take(), before);
}

TEST_F(DispatchTest, ABurstOfTenThousandSmallMessages) {
  for (int i = 0; i < 10000; ++i) {
    switch (i % 5) {
      case 0: dispatchMessage(i % 10 ? "APP正常" : "APP掉线"); break;
      case 1: dispatchMessage("x" + std::to_string(i)); break;
      case 2: dispatchMessage(F); break;
      case 3: dispatchMessage(""); break;
      case 4: dispatchMessage("收到收款" + F + (i % 2 ? "微信收款" : "支付宝收款") + F + "0.01"); break;
    }
  }
  // The last status word is the one of i = 9995.
  EXPECT_EQ(label("标签_监控状态"), "监控状态：√");
  EXPECT_EQ(ui::rowCount(Window::Main, kWeChatList) + ui::rowCount(Window::Main, kAlipayList), 2000);
  EXPECT_EQ(ui::cell(Window::Main, kWeChatList, 999, 0), "1000");
  EXPECT_TRUE(boxTexts().empty());
  EXPECT_TRUE(endCodes().empty());
}

}  // namespace
#endif
