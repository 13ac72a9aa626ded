// The server link with real windows under Wine, against the notification peer: the login panel and the
// registration window driven through their controls, the message boxes read off the screen and
// dismissed, the retries, the reconnection, hostile traffic, and the ends of the program (in a child
// process each, as the end ends the process).
//
// This test binary is the program here: its main thread is the window thread and keeps serving the
// windows while a test waits; the link's handlers run on the client's event thread as in the program.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "common/codepage_win32.h"
#include "../server/notify_peer.h"
#include "app/event_table.h"
#include "app/lifecycle.h"
#include "app/settings.h"
#include "app/window_layer_win32.h"
#include "bills/history.h"
#include "server/account.h"
#include "server/link.h"
#include "server/link_testing.h"
#include "server/machine_id.h"
#include "server/wait.h"

namespace {

using ui::Window;

const std::string F = "【字段分隔符】";

// ---- The web-address recorder ----
// The prefix's handler for http and https is pointed at this very binary with a flag: started that way,
// it appends the address it was given to a file and ends before any test runs.

const bool gRecorderRun = [] {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv && argc >= 4 && wcscmp(argv[1], L"--record-web-address") == 0) {
    HANDLE f = CreateFileW(argv[2], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    const std::string line = codepage::wideToGbk(argv[3]) + "\n";
    DWORD written = 0;
    WriteFile(f, line.data(), DWORD(line.size()), &written, nullptr);
    CloseHandle(f);
    ExitProcess(0);
  }
  return false;
}();

std::string thisExe() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return codepage::wideToGbk(path);
}

// Points the http and https handlers at the recorder while it lives, and puts the old ones back.
class WebRecorder {
 public:
  explicit WebRecorder(const std::string& file) : file_(file) {
    DeleteFileA(file_.c_str());
    for (const char* scheme : {"http", "https"}) {
      const std::string key = std::string(scheme) + "\\shell\\open\\command";
      char old[1024] = {};
      LONG size = sizeof old;
      saved_.push_back(RegQueryValueA(HKEY_CLASSES_ROOT, key.c_str(), old, &size) == ERROR_SUCCESS ? old : "");
      const std::string command = "\"" + thisExe() + "\" --record-web-address \"" + file_ + "\" \"%1\"";
      RegSetValueA(HKEY_CLASSES_ROOT, key.c_str(), REG_SZ, command.c_str(), DWORD(command.size()));
    }
  }
  ~WebRecorder() {
    DeleteFileA(file_.c_str());
    int i = 0;
    for (const char* scheme : {"http", "https"}) {
      const std::string key = std::string(scheme) + "\\shell\\open\\command";
      RegSetValueA(HKEY_CLASSES_ROOT, key.c_str(), REG_SZ, saved_[i].c_str(), DWORD(saved_[i].size()));
      ++i;
    }
  }
  // The addresses recorded, waiting a moment for a recorder that may still be starting.
  std::vector<std::string> addresses(DWORD waitMs) const {
    const DWORD start = GetTickCount();
    for (;;) {
      std::vector<std::string> lines;
      std::ifstream in(file_);
      for (std::string line; std::getline(in, line);) lines.push_back(line);
      if (!lines.empty() || GetTickCount() - start > waitMs) return lines;
      Sleep(50);
    }
  }

 private:
  std::string file_;
  std::vector<std::string> saved_;
};

// ---- Message boxes on the screen ----

std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// Watches for the program's message boxes (dialogs of this process), records their text and, unless told
// to hold them, presses OK, as a user would.
class BoxWatcher {
 public:
  BoxWatcher() : thread_([this] { run(); }) {}
  ~BoxWatcher() {
    stop_ = true;
    thread_.join();
  }
  std::vector<std::string> texts() {
    std::lock_guard g(lock_);
    return texts_;
  }
  void clear() {
    std::lock_guard g(lock_);
    texts_.clear();
  }
  void hold(bool h) { hold_ = h; }
  int open() { return openBoxes_; }

 private:
  static BOOL CALLBACK collectStatic(HWND child, LPARAM out) {
    wchar_t cls[32] = {};
    GetClassNameW(child, cls, 32);
    if (wcscmp(cls, L"Static") == 0) {
      std::wstring t(GetWindowTextLengthW(child) + 1, L'\0');
      t.resize(GetWindowTextW(child, t.data(), int(t.size())));
      if (!t.empty()) *reinterpret_cast<std::string*>(out) += codepage::wideToGbk(t);
    }
    return TRUE;
  }
  static BOOL CALLBACK collectBox(HWND w, LPARAM self) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    wchar_t cls[32] = {};
    GetClassNameW(w, cls, 32);
    if (pid == GetCurrentProcessId() && wcscmp(cls, L"#32770") == 0 && IsWindowVisible(w))
      reinterpret_cast<std::vector<HWND>*>(self)->push_back(w);
    return TRUE;
  }
  void run() {
    std::set<HWND> seen;
    while (!stop_) {
      std::vector<HWND> boxes;
      EnumWindows(collectBox, reinterpret_cast<LPARAM>(&boxes));
      openBoxes_ = int(boxes.size());
      for (HWND box : boxes) {
        if (!seen.count(box)) {
          seen.insert(box);
          std::string text;
          EnumChildWindows(box, collectStatic, reinterpret_cast<LPARAM>(&text));
          std::lock_guard g(lock_);
          texts_.push_back(text);
          // For a child process of a death test: its parent reads this.
          std::fprintf(stderr, "box:%s\n", hex(text).c_str());
          std::fflush(stderr);
        }
        if (!hold_) PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      }
      for (auto it = seen.begin(); it != seen.end();) it = IsWindow(*it) ? std::next(it) : seen.erase(it);
      Sleep(20);
    }
  }

  std::mutex lock_;
  std::vector<std::string> texts_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> hold_{false};
  std::atomic<int> openBoxes_{0};
  std::thread thread_;
};

// ---- Waiting on the window thread ----

// Waits for a condition while this thread, the window thread, keeps serving its windows.
bool pumpUntil(const std::function<bool()>& condition, DWORD limitMs = 30000) {
  const DWORD start = GetTickCount();
  while (!condition()) {
    if (GetTickCount() - start > limitMs) return condition();
    ui::processPendingMessages();
    Sleep(10);
  }
  return true;
}

void pumpFor(DWORD ms) {
  pumpUntil([] { return false; }, ms);
}

// The peer's commands block for an answer; meanwhile the window thread must go on serving, since the
// link's handlers reach the windows through it. The command runs on a helper thread.
template <typename T>
T whilePumping(const std::function<T()>& work) {
  T result{};
  std::atomic<bool> done{false};
  std::thread helper([&] {
    result = work();
    done = true;
  });
  pumpUntil([&] { return done.load(); }, 600000);
  helper.join();
  return result;
}

std::string label(const std::string& name) { return ui::text(Window::Main, name); }

// pz.ini beside this binary, as it was before the test.
class IniBackup {
 public:
  IniBackup() {
    std::ifstream in(settings::iniPath(), std::ios::binary);
    existed_ = bool(in);
    if (existed_) content_.assign(std::istreambuf_iterator<char>(in), {});
  }
  ~IniBackup() {
    if (existed_) {
      std::ofstream(settings::iniPath(), std::ios::binary) << content_;
    } else {
      DeleteFileA(settings::iniPath().c_str());
    }
  }

 private:
  bool existed_ = false;
  std::string content_;
};

std::string loginFrame(const std::string& account, const std::string& password) {
  return "用户登录" + F + account + F + password + F + server::machineId();
}
std::string billFrame(const std::string& account, const std::string& password) {
  return "获取账单" + F + account + F + password;
}

// ---- The program, as far as the link needs it ----

// Starts as the program does: the link is created, then the main window, whose creation handler opens
// the link first and only then fills the login boxes (as the settings load does).
void startProgram(const std::string& account, const std::string& password) {
  ui::startWindowThread();
  app::bindEvents();
  ui::bind(Window::Main, "", ui::Event::Created, [account, password] {
    server::openServerLink();
    ui::setCurrentIndex(Window::Main, "高级选择夹1", 1);
    ui::setChecked(Window::Main, "选择框2", false);
    ui::setText(Window::Main, "编辑框_登陆账号", account);
    ui::setText(Window::Main, "编辑框_登陆密码", password);
  });
  server::createServerLink();
  ui::createWindow(Window::Main);
}

void stopProgram() {
  server::closeServerLink();
  ui::destroyWindow(Window::Registration);
  ui::destroyWindow(Window::Main);
  ui::bind(Window::Main, "", ui::Event::Created, nullptr);
  bills::forgetBillHistory();
}

server::testing::Timing quickTiming() {
  server::testing::Timing t;
  t.retryWaitMs = 200;
  t.keepalivePingMs = 2000;
  t.keepaliveDropMs = 2000;
  return t;
}

void click(Window w, const std::string& control) {
  SendMessageW(ui::controlHandle(w, control), BM_CLICK, 0, 0);
}

// A press of the left mouse button on a label, as the mouse makes it.
void press(Window w, const std::string& control) {
  HWND h = ui::controlHandle(w, control);
  SendMessageW(h, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
  SendMessageW(h, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
}

class LinkWin : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.start()) << "the notification peer did not start (needs /usr/bin/python3 with websockets)";
    server::testing::setTiming(quickTiming());
    server::testing::setEndpoint(peer.url());
  }
  void TearDown() override {
    stopProgram();
    boxes.hold(false);
    pumpUntil([&] { return boxes.open() == 0; }, 5000);
    peer.stop();
    server::testing::setTiming({});
    server::testing::setEndpoint("");
  }

  std::vector<std::string> frames(size_t count, double seconds = 30) {
    return whilePumping<std::vector<std::string>>([&] { return peer.waitFrames(count, seconds); });
  }
  bool accepted(int count, double seconds = 30) {
    return whilePumping<bool>([&] { return peer.waitAccepted(count, seconds); });
  }
  bool push(const std::string& text) {
    return whilePumping<bool>([&] { return peer.push(text); });
  }
  // Waits until everything pushed before has been dispatched: a notice goes through the same queue.
  bool roundTrip(const std::string& probe) {
    return push("服务器信息" + F + "1" + F + probe + F + "1.0" + F + F) &&
           pumpUntil([&] { return label("标签8") == "公告\r\n" + probe; });
  }
  bool boxesAre(const std::vector<std::string>& expected, DWORD ms = 30000) {
    return pumpUntil([&] { return boxes.texts() == expected; }, ms);
  }

  IniBackup ini;
  BoxWatcher boxes;
  peertest::NotifyPeer peer;
};

TEST_F(LinkWin, TheLoginButtonSendsTheLoginAndTheBillRequest) {
  startProgram("", "");
  ASSERT_TRUE(accepted(1));
  ASSERT_TRUE(roundTrip("已连接"));
  ui::setChecked(Window::Main, "选择框1", true);

  // An empty password: the message, nothing sent, and the choice still written.
  ui::setText(Window::Main, "编辑框_登陆账号", "13900001111");
  click(Window::Main, "按钮_登陆");
  EXPECT_TRUE(boxesAre({"请填写完整信息后重试！"}));
  EXPECT_EQ(settings::readSetting("登陆", "是否记住", "?"), "1");
  EXPECT_EQ(settings::readSetting("登陆", "账号", "?"), "13900001111");
  EXPECT_EQ(settings::readSetting("登陆", "密码", "?"), "");

  // Unticked: "0" only, the stored account and password stay.
  ui::setChecked(Window::Main, "选择框1", false);
  click(Window::Main, "按钮_登陆");
  EXPECT_TRUE(boxesAre({"请填写完整信息后重试！", "请填写完整信息后重试！"}));
  EXPECT_EQ(settings::readSetting("登陆", "是否记住", "?"), "0");
  EXPECT_EQ(settings::readSetting("登陆", "账号", "?"), "13900001111");

  ui::setText(Window::Main, "编辑框_登陆密码", "口令abc");
  click(Window::Main, "按钮_登陆");
  const auto sent = frames(2);
  EXPECT_EQ(sent, (std::vector<std::string>{loginFrame("13900001111", "口令abc"), billFrame("13900001111", "口令abc")}));
  const std::string id = sent.empty() ? "" : sent[0].substr(sent[0].rfind(F) + F.size());
  EXPECT_EQ(id.size(), 32u);
  EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos);
}

TEST_F(LinkWin, AConnectionWithALoginInTheBoxesLogsInAndLocksThePanel) {
  startProgram("123456", "654321");
  EXPECT_EQ(frames(2), (std::vector<std::string>{loginFrame("123456", "654321"), billFrame("123456", "654321")}));
  ASSERT_TRUE(pumpUntil([] { return label("分组框2") == "登陆---登陆成功"; }));
  EXPECT_EQ(label("按钮_登陆"), "登录成功");
  HWND password = ui::controlHandle(Window::Main, "编辑框_登陆密码");
  EXPECT_FALSE(IsWindowEnabled(ui::controlHandle(Window::Main, "编辑框_登陆账号")));
  EXPECT_FALSE(IsWindowEnabled(password));
  EXPECT_FALSE(IsWindowEnabled(ui::controlHandle(Window::Main, "按钮_登陆")));
  EXPECT_FALSE(IsWindowEnabled(ui::controlHandle(Window::Main, "标签3")));
  EXPECT_NE(SendMessageW(password, EM_GETPASSWORDCHAR, 0, 0), 0);
  EXPECT_TRUE(pumpUntil([] { return label("标签_监控状态") == "监控状态：√"; }));
  EXPECT_TRUE(boxes.texts().empty());
}

TEST_F(LinkWin, AFailedLoginShowsTheMessageBox) {
  ASSERT_TRUE(peer.set("login_answer", "登录失败，帐号或密码错误！"));
  startProgram("123456", "wrong!");
  EXPECT_TRUE(boxesAre({"登录失败，帐号或密码错误！"}));
  EXPECT_TRUE(IsWindowEnabled(ui::controlHandle(Window::Main, "按钮_登陆")));
  EXPECT_EQ(label("分组框2"), "登陆---未登录");
}

TEST_F(LinkWin, TheRegistrationWindowChecksSendsAndCloses) {
  startProgram("", "");
  ASSERT_TRUE(accepted(1));
  press(Window::Main, "标签3");
  ASSERT_TRUE(ui::windowExists(Window::Registration));
  HWND first = ui::windowHandle(Window::Registration);
  press(Window::Main, "标签3");
  EXPECT_EQ(ui::windowHandle(Window::Registration), first);  // one window at a time

  struct Case {
    std::string account, password, confirmation, message;
  };
  const std::vector<Case> cases = {
      {"12345", "123456", "123456", "请输入六位或六位以上的账号！"},
      {"123456", "12345", "12345", "请输入六位或六位以上的密码！"},
      {"123456", "123456", "", "请填写完整信息后重试！"},
      {"123456", "123456", "654321", "两次填写密码不一样请确认后重试！"},
  };
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    ui::setText(Window::Registration, "编辑框_注册账号", c.account);
    ui::setText(Window::Registration, "编辑框_注册密码", c.password);
    ui::setText(Window::Registration, "编辑框_注册确认密码", c.confirmation);
    click(Window::Registration, "按钮1");
    expected.push_back(c.message);
    EXPECT_TRUE(boxesAre(expected)) << c.message;
  }
  ASSERT_TRUE(roundTrip("无注册"));
  EXPECT_TRUE(whilePumping<std::vector<std::string>>([&] { return peer.frames(); }).empty());

  ui::setText(Window::Registration, "编辑框_注册确认密码", "123456");
  click(Window::Registration, "按钮1");
  EXPECT_EQ(frames(1), std::vector<std::string>{"用户注册" + F + "123456" + F + "123456" + F + server::machineId()});
  ASSERT_TRUE(pumpUntil([] { return ui::text(Window::Registration, "按钮1") == "注册成功！"; }));
  // Still there a good while later, gone after the three seconds.
  pumpFor(1500);
  EXPECT_TRUE(ui::windowExists(Window::Registration));
  EXPECT_TRUE(pumpUntil([] { return !ui::windowExists(Window::Registration); }, 10000));
  EXPECT_EQ(boxes.texts(), expected);
}

TEST_F(LinkWin, StatusWordsAndTheNotice) {
  startProgram("", "");
  ASSERT_TRUE(accepted(1));
  ASSERT_TRUE(push("APP掉线"));
  EXPECT_TRUE(pumpUntil([] { return label("标签_监控状态") == "监控状态：×"; }));
  ASSERT_TRUE(push("APP正常"));
  EXPECT_TRUE(pumpUntil([] { return label("标签_监控状态") == "监控状态：√"; }));
  ASSERT_TRUE(push("APP掉线 "));
  ASSERT_TRUE(push("服务器信息" + F + "1" + F + "今日公告：请及时更新" + F + "1.0" + F + "x" + F + "y"));
  EXPECT_TRUE(pumpUntil([] { return label("标签8") == "公告\r\n今日公告：请及时更新"; }));
  EXPECT_EQ(label("标签_监控状态"), "监控状态：√");
  EXPECT_TRUE(boxes.texts().empty());
}

TEST_F(LinkWin, HostileTrafficNeverEndsTheProgram) {
  startProgram("123456", "654321");
  ASSERT_EQ(frames(2).size(), 2u);
  for (const std::string& text :
       {std::string(""), F, F + F, std::string("未知类型"), std::string("服务器信息"), "服务器信息" + F + "0",
        std::string("收到收款"), std::string("登录响应"), std::string("注册响应"), "账单回调by：Quimbe" + F})
    ASSERT_TRUE(push(text));
  ASSERT_TRUE(whilePumping<bool>([&] { return peer.pushRaw("e694b6e588b0ff"); }));
  ASSERT_TRUE(whilePumping<bool>([&] { return peer.pushRaw("c0afeda080f8888080808041"); }));
  ASSERT_TRUE(whilePumping<bool>([&] { return peer.burst("小消息", 10000); }));
  ASSERT_TRUE(roundTrip("仍然在线"));
  EXPECT_EQ(whilePumping<int>([&] { return peer.status("accepted"); }), 1);

  // A message too big to take closes the connection; the link comes back by itself and logs in again.
  ASSERT_TRUE(whilePumping<bool>([&] { return peer.pushBig(20 * 1024 * 1024); }));
  EXPECT_TRUE(accepted(2));
  EXPECT_EQ(frames(4).size(), 4u);
  ASSERT_TRUE(roundTrip("重新在线"));
  EXPECT_TRUE(boxes.texts().empty());
  ASSERT_TRUE(push("收到收款" + F + "微信收款" + F + "8.88"));
  EXPECT_TRUE(pumpUntil([] { return ui::rowCount(Window::Main, "超级列表框_微信收款") == 1; }));
}

TEST_F(LinkWin, AServerDownAtStartIsRetriedWhileTheWindowStaysResponsive) {
  server::testing::Timing t = quickTiming();
  t.retryWaitMs = 1000;
  server::testing::setTiming(t);
  ASSERT_TRUE(peer.down());
  startProgram("123456", "654321");
  ASSERT_TRUE(pumpUntil([] { return server::testing::lastConnectResult() == 0; }));
  // While the link retries, another thread asks the window something and gets the answer.
  for (int i = 0; i < 3; ++i) {
    std::atomic<LRESULT> length{-1};
    std::thread asker([&] {
      DWORD_PTR result = 0;
      if (SendMessageTimeoutW(ui::windowHandle(Window::Main), WM_GETTEXTLENGTH, 0, 0, SMTO_BLOCK, 5000, &result))
        length = LRESULT(result);
    });
    pumpUntil([&] { return length >= 0; }, 6000);
    asker.join();
    EXPECT_EQ(length, LRESULT(wcslen(L"Kassaro V1.0")));
    pumpFor(300);
  }
  // Nobody presses OK on the reconnection's box: the login goes out all the same.
  boxes.hold(true);
  ASSERT_TRUE(peer.up());
  EXPECT_TRUE(boxesAre({"服务器重连成功"}));
  EXPECT_EQ(frames(2), (std::vector<std::string>{loginFrame("123456", "654321"), billFrame("123456", "654321")}));
  EXPECT_EQ(boxes.open(), 1);
}

TEST_F(LinkWin, ADroppedConnectionComesBackWithinTenSeconds) {
  server::testing::Timing t = quickTiming();
  t.reconnectWaitMs = 10000;  // the program's own interval
  server::testing::setTiming(t);
  startProgram("123456", "654321");
  ASSERT_EQ(frames(2).size(), 2u);
  ASSERT_TRUE(pumpUntil([] { return label("标签_监控状态") == "监控状态：√"; }));
  ASSERT_TRUE(peer.set("app_state", ""));
  ASSERT_TRUE(peer.dropAll());
  EXPECT_TRUE(pumpUntil([] { return label("标签_监控状态") == "监控状态：×"; }));
  EXPECT_TRUE(accepted(2, 25));
  const auto sent = frames(4);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[2], loginFrame("123456", "654321"));
  ASSERT_TRUE(roundTrip("重新连接"));
  EXPECT_EQ(label("标签_监控状态"), "监控状态：×");
  ASSERT_TRUE(push("APP正常"));
  EXPECT_TRUE(pumpUntil([] { return label("标签_监控状态") == "监控状态：√"; }));
  EXPECT_TRUE(boxes.texts().empty());
}

TEST_F(LinkWin, ASilentServerIsLeftForANewConnection) {
  server::testing::Timing t = quickTiming();
  t.reconnectWaitMs = 500;
  server::testing::setTiming(t);
  startProgram("123456", "654321");
  ASSERT_EQ(frames(2).size(), 2u);
  ASSERT_TRUE(pumpUntil([] { return label("标签_监控状态") == "监控状态：√"; }));
  ASSERT_TRUE(peer.goSilent());
  EXPECT_TRUE(pumpUntil([] { return label("标签_监控状态") == "监控状态：×"; }));
  EXPECT_TRUE(accepted(2));
  const auto sent = frames(4);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[2], loginFrame("123456", "654321"));
  EXPECT_TRUE(pumpUntil([] { return label("标签_监控状态") == "监控状态：√"; }));
  EXPECT_TRUE(boxes.texts().empty());
}

TEST_F(LinkWin, ALongOutageLeavesTheProgramRetrying) {
  server::testing::Timing t = quickTiming();
  t.reconnectWaitMs = 20;  // an hour of 10 s intervals is 360 attempts; here they come every 20 ms
  server::testing::setTiming(t);
  startProgram("123456", "654321");
  ASSERT_EQ(frames(2).size(), 2u);
  ASSERT_TRUE(peer.down());
  ASSERT_TRUE(peer.dropAll());
  ASSERT_TRUE(pumpUntil([] { return label("标签_监控状态") == "监控状态：×"; }));
  pumpFor(8000);
  EXPECT_TRUE(boxes.texts().empty());
  EXPECT_TRUE(ui::windowExists(Window::Main));
  ASSERT_TRUE(peer.up());
  EXPECT_TRUE(accepted(2));
  EXPECT_EQ(frames(4).size(), 4u);
}

TEST_F(LinkWin, ClosingDoesNotWaitForAMessageBox) {
  ASSERT_TRUE(peer.set("login_answer", "登录失败，帐号或密码错误！"));
  boxes.hold(true);
  startProgram("123456", "wrong!");
  ASSERT_TRUE(pumpUntil([&] { return boxes.open() == 1; }));
  // The link goes regardless of the open box, and the main window stays held (disabled) only while
  // the box is open.
  EXPECT_FALSE(IsWindowEnabled(ui::windowHandle(Window::Main)));
  server::closeServerLink();
  EXPECT_FALSE(server::sendToServer("x"));
  boxes.hold(false);
  EXPECT_TRUE(pumpUntil([&] { return boxes.open() == 0; }));
  EXPECT_TRUE(pumpUntil([] { return IsWindowEnabled(ui::windowHandle(Window::Main)) != FALSE; }));
}

TEST(WaitPumping, TheWindowThreadServesItsWindowsWhileItWaits) {
  ui::startWindowThread();
  ui::createWindow(Window::Main);
  HWND main = ui::windowHandle(Window::Main);
  std::atomic<bool> answered{false};
  std::thread asker([&] {
    Sleep(200);
    DWORD_PTR result = 0;
    answered = SendMessageTimeoutW(main, WM_GETTEXTLENGTH, 0, 0, SMTO_BLOCK, 5000, &result) != 0;
  });
  const DWORD start = GetTickCount();
  server::waitPumping(1500);
  const DWORD waited = GetTickCount() - start;
  asker.join();
  EXPECT_TRUE(answered);
  EXPECT_GE(waited + 20, 1500u);  // not shorter (the tick count is coarse)

  // A quit that arrives during the wait is still there for the message loop afterwards.
  PostQuitMessage(7);
  server::waitPumping(1000);
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 7u);
  ui::destroyWindow(Window::Main);
}

// ---- The ends of the program, each in a child process ----
// The child prints every message box it sees as "box:" and the text's bytes in hex, and the parent
// matches that against the expected text.

std::string boxPattern(const std::string& text) { return "box:" + hex(text); }

// A file name that the test and its child process (which runs the test's body again) agree on: the
// parent's process id, handed down through the environment.
std::string recordFile(const std::string& name) {
  char token[32] = {};
  if (!GetEnvironmentVariableA("KASSARO_TEST_PARENT", token, sizeof token)) {
    std::snprintf(token, sizeof token, "%lu", GetCurrentProcessId());
    SetEnvironmentVariableA("KASSARO_TEST_PARENT", token);
  }
  return "Z:\\tmp\\kassaro-" + name + "-" + token + ".txt";
}

// Runs the program against a peer prepared by `prepare` until it ends, or returns after a minute.
// The child's peer is never told to quit: it ends soon after the child, which lets go of the output that
// the test runner waits on (the Unix peer holds the same descriptors as the Wine process that started it).
constexpr int kChildPeerIdle = 2;

void runUntilEnd(const std::function<void(peertest::NotifyPeer&)>& prepare, const server::testing::Timing& t) {
  BoxWatcher boxes;
  peertest::NotifyPeer peer;
  if (!peer.start(kChildPeerIdle)) return;
  server::testing::setTiming(t);
  server::testing::setEndpoint(peer.url());
  prepare(peer);
  startProgram("123456", "654321");
  pumpFor(60000);
}

class ProgramEnd : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  IniBackup ini;
};

TEST_F(ProgramEnd, MaintenanceShowsItsMessageAndEndsWithZero) {
  EXPECT_EXIT(runUntilEnd(
                  [](peertest::NotifyPeer& p) {
                    p.setOnConnect({"服务器信息" + F + "0" + F + "维护中" + F + "2.0" + F + "http://example.com/" + F});
                  },
                  quickTiming()),
              testing::ExitedWithCode(0), boxPattern("软件正在维护中，请稍候重试！"));
}

TEST_F(ProgramEnd, ANewVersionOpensTheDownloadPageAndEndsWithZero) {
  WebRecorder recorder(recordFile("web"));
  EXPECT_EXIT(runUntilEnd(
                  [](peertest::NotifyPeer& p) {
                    p.setOnConnect({"服务器信息" + F + "1" + F + "新版本" + F + "1.1" + F +
                                    "https://example.com/kassaro/setup-1.1.exe?from=1.0" + F + "y"});
                  },
                  quickTiming()),
              testing::ExitedWithCode(0), boxPattern("检测更新：软件有新版本！"));
  EXPECT_EQ(recorder.addresses(10000),
            std::vector<std::string>{"https://example.com/kassaro/setup-1.1.exe?from=1.0"});
}

TEST_F(ProgramEnd, ANewVersionWithoutAnAddressOpensNothing) {
  WebRecorder recorder(recordFile("web-none"));
  EXPECT_EXIT(runUntilEnd(
                  [](peertest::NotifyPeer& p) {
                    p.setOnConnect({"服务器信息" + F + "1" + F + "新版本" + F + "1.1" + F +
                                    "C:\\Windows\\System32\\calc.exe" + F + "y"});
                  },
                  quickTiming()),
              testing::ExitedWithCode(0), boxPattern("检测更新：软件有新版本！"));
  EXPECT_TRUE(recorder.addresses(3000).empty());
}

TEST_F(ProgramEnd, AServerThatNeverComesGivesUpAfterTwentyAttempts) {
  server::testing::Timing t = quickTiming();
  t.retryWaitMs = 100;
  EXPECT_EXIT(runUntilEnd([](peertest::NotifyPeer& p) { p.down(); }, t), testing::ExitedWithCode(0),
              boxPattern(server::connectionGivenUpMessage()));
}

TEST_F(ProgramEnd, EndingWhileTheFailedLoginsBoxIsOpen) {
  // The failed login's box stays open; the user ends the program from the tray meanwhile.
  EXPECT_EXIT(
      {
        BoxWatcher boxes;
        boxes.hold(true);
        peertest::NotifyPeer peer;
        if (peer.start(kChildPeerIdle)) {
          server::testing::setTiming(quickTiming());
          server::testing::setEndpoint(peer.url());
          peer.set("login_answer", "登录失败，帐号或密码错误！");
          startProgram("123456", "wrong!");
          if (pumpUntil([&] { return boxes.open() == 1; })) app::endProgram(0);
        }
        pumpFor(30000);
      },
      testing::ExitedWithCode(0), boxPattern("登录失败，帐号或密码错误！"));
}

}  // namespace
