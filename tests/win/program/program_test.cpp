// The program as the user meets it: started from its own folder inside Wine's virtual desktop, with its
// window, its tray icon and menu, its settings file, the autostart entry and the guard against a second
// copy. Every case starts real copies of Kassaro.exe and ends them.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "common/codepage_win32.h"
#include "app/tray.h"
#include "app/window_defs.h"
#include "app/window_layer_win32.h"
#include "program/probe.h"

namespace {

using probe::Process;
using ui::Window;

constexpr DWORD kStartLimit = 20000;
constexpr const char* kRunKey = "software\\microsoft\\windows\\CurrentVersion\\Run";

std::string readIni(const std::wstring& exe, const char* section, const char* key) {
  const std::string ini = codepage::wideToGbk(probe::directoryOf(exe)) + "\\pz.ini";
  char value[512] = {};
  GetPrivateProfileStringA(section, key, "<missing>", value, sizeof value, ini.c_str());
  return value;
}

// pz.ini as its lines show it: "[section]" for a section, "section/key" for a key, any other line as it
// is; blank lines left out.
std::vector<std::string> iniOutline(const std::wstring& exe) {
  std::ifstream in(codepage::wideToGbk(probe::directoryOf(exe)) + "\\pz.ini", std::ios::binary);
  std::vector<std::string> outline;
  std::string section;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
      outline.push_back(line);
    } else if (line.find('=') != std::string::npos) {
      outline.push_back(section + "/" + line.substr(0, line.find('=')));
    } else {
      outline.push_back(line);
    }
  }
  return outline;
}

void writeIni(const std::wstring& exe, const char* section, const char* key, const char* value) {
  const std::string ini = codepage::wideToGbk(probe::directoryOf(exe)) + "\\pz.ini";
  WritePrivateProfileStringA(section, key, value, ini.c_str());
}

// The autostart value, or "<missing>".
std::string runValue() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return "<missing>";
  char data[1024] = {};
  DWORD size = sizeof data, type = 0;
  LONG rc = RegQueryValueExA(key, "我的启动项", nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS && type == REG_SZ ? std::string(data) : "<missing>";
}

void deleteRunValue() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return;
  RegDeleteValueA(key, "我的启动项");
  RegCloseKey(key);
}

bool centred(HWND window) {
  RECT r = probe::rectOf(window);
  const int w = r.right - r.left, h = r.bottom - r.top;
  return r.left == (GetSystemMetrics(SM_CXSCREEN) - w) / 2 && r.top == (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
}

HWND findPopupMenu() {
  HWND menu = nullptr;
  probe::waitFor([&] {
    menu = FindWindowW(L"#32768", nullptr);
    return menu && IsWindowVisible(menu);
  }, 5000);
  return menu && IsWindowVisible(menu) ? menu : nullptr;
}

// A real click of the mouse on item `index` of a two-item pop-up menu.
void clickMenuItem(HWND menu, int index) {
  RECT r = probe::rectOf(menu);
  const int x = (r.left + r.right) / 2, y = r.top + (r.bottom - r.top) * (2 * index + 1) / 4;
  probe::moveMouseTo(x, y);
  INPUT in[3] = {};
  for (INPUT& i : in) {
    i.type = INPUT_MOUSE;
    i.mi.dx = MulDiv(x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
    i.mi.dy = MulDiv(y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
  }
  in[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  in[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_ABSOLUTE;
  in[2].mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE;
  SendInput(1, &in[0], sizeof(INPUT));
  Sleep(300);
  SendInput(2, &in[1], sizeof(INPUT));
}

// Typing into an edit box: select all, then each character as the keyboard delivers it (an empty text
// is a Backspace over the selection).
void typeOver(HWND edit, const std::string& text) {
  SendMessageW(edit, EM_SETSEL, 0, -1);
  const std::wstring keys = text.empty() ? std::wstring(L"\b") : codepage::gbkToWide(text);
  for (wchar_t k : keys) SendMessageW(edit, WM_CHAR, k, 1);
}

void tray(HWND main, UINT mouseMessage) { PostMessageW(main, 0x8064, 100, mouseMessage); }

// "退出软件" without the menu: the command the menu item sends.
void exitByMenuCommand(HWND main) { PostMessageW(main, WM_COMMAND, tray::kExitItem, 0); }

// The control that has the keyboard focus in the thread of `window`.
HWND focusOf(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus : nullptr;
}

// Gives a control of the program the keyboard focus, as a click would but without clicking it, and
// brings its window to the front so that the keyboard's input goes there.
bool focusControl(HWND control) {
  const DWORD theirs = GetWindowThreadProcessId(control, nullptr), ours = GetCurrentThreadId();
  AttachThreadInput(ours, theirs, TRUE);
  SetForegroundWindow(GetAncestor(control, GA_ROOT));
  SetFocus(control);
  AttachThreadInput(ours, theirs, FALSE);
  return probe::waitFor([&] { return focusOf(control) == control; }, 5000);
}

// Clicks the tab of a page and waits until the page is shown.
bool clickTab(HWND tab, int page) {
  RECT item = probe::tabItemRect(tab, page, probe::Options{});
  probe::clickAt(tab, (item.left + item.right) / 2, (item.top + item.bottom) / 2);
  return probe::waitFor([&] { return SendMessageW(tab, TCM_GETCURSEL, 0, 0) == page; }, 5000);
}

class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(probe::paths().program.empty()) << "run through run_program_tests.py";
    ASSERT_EQ(runValue(), "<missing>") << "Wine would start the program on its next start-up";
  }
  // Ticking "开机自启" leaves a Run value behind that Wine would act on: remove it whatever happened.
  void TearDown() override { deleteRunValue(); }

  HWND control(HWND main, const char* name) { return probe::control(main, Window::Main, name); }
};

TEST_F(Program, StartsOnTheManagementPageWithDesignValuesAndItsTrayIcon) {
  const std::wstring exe = probe::freshProgramCopy(L"start", probe::paths().program);
  Process p(exe);
  HWND main = p.mainWindow(kStartLimit);
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(probe::textOf(main), "Kassaro V1.0");
  RECT r = probe::rectOf(main);
  EXPECT_EQ(r.left, 50);
  EXPECT_EQ(r.top, 50);
  EXPECT_EQ(r.right - r.left, 750);
  EXPECT_EQ(r.bottom - r.top, 600);
  EXPECT_TRUE(probe::waitFor([&] { return probe::trayIconThere(main); }));

  HWND tab = control(main, "高级选择夹1");
  EXPECT_EQ(SendMessageW(tab, TCM_GETCURSEL, 0, 0), 1);
  EXPECT_TRUE(IsWindowVisible(control(main, "分组框2")));
  EXPECT_FALSE(IsWindowVisible(control(main, "超级列表框_微信收款")));

  // No pz.ini: the design values.
  EXPECT_EQ(SendMessageW(control(main, "选择框3"), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_EQ(SendMessageW(control(main, "选择框1"), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_EQ(SendMessageW(control(main, "选择框2"), BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_EQ(probe::textOf(control(main, "编辑框_登陆账号")), "");
  EXPECT_EQ(probe::textOf(control(main, "编辑框_登陆密码")), "");
  EXPECT_EQ(SendMessageW(control(main, "组合框1"), CB_GETCURSEL, 0, 0), 0);
  EXPECT_EQ(probe::comboItem(control(main, "组合框1"), 0), "普通女声");
  EXPECT_EQ(probe::textOf(control(main, "编辑框1")), "感谢您的惠顾、欢迎再次光临！");
  EXPECT_EQ(probe::textOf(control(main, "编辑框_异常计时")), "30");
  Sleep(500);
  probe::screenshot("main-page1");

  // The other pages, by clicking their tabs.
  for (int page : {0, 2}) {
    EXPECT_TRUE(clickTab(tab, page));
    Sleep(500);
    probe::screenshot("main-page" + std::to_string(page));
  }
  EXPECT_TRUE(IsWindowVisible(control(main, "超级列表框1")));
  EXPECT_EQ(probe::textOf(control(main, "标签_微信合计")), "微信收款合计：元");
  exitByMenuCommand(main);
  EXPECT_EQ(p.waitForExit(10000), 0u);
}

TEST_F(Program, MinimiseAndCloseHideToTheTrayAndALeftClickBringsItBackCentred) {
  const std::wstring exe = probe::freshProgramCopy(L"tray", probe::paths().program);
  Process p(exe);
  HWND main = p.mainWindow(kStartLimit);
  ASSERT_NE(main, nullptr);

  // The title bar's minimise button.
  PostMessageW(main, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  ASSERT_TRUE(probe::waitFor([&] { return !IsWindowVisible(main); }));
  EXPECT_TRUE(p.running());
  EXPECT_TRUE(probe::trayIconThere(main));
  EXPECT_EQ(probe::trayTooltip(), "欢迎使用Kassaro系统");

  tray(main, WM_LBUTTONDBLCLK);  // a double click does nothing by itself
  Sleep(500);
  EXPECT_FALSE(IsWindowVisible(main));

  tray(main, WM_LBUTTONUP);
  ASSERT_TRUE(probe::waitFor([&] { return IsWindowVisible(main) && !IsIconic(main); }));
  EXPECT_TRUE(probe::waitFor([&] { return centred(main); }));

  // The title bar's close button, and Alt+F4's close request: both hide, neither ends.
  PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
  ASSERT_TRUE(probe::waitFor([&] { return !IsWindowVisible(main); }));
  EXPECT_TRUE(p.running());
  EXPECT_TRUE(probe::trayIconThere(main));
  tray(main, WM_LBUTTONUP);
  ASSERT_TRUE(probe::waitFor([&] { return IsWindowVisible(main) && !IsIconic(main); }));
  PostMessageW(main, WM_CLOSE, 0, 0);
  ASSERT_TRUE(probe::waitFor([&] { return !IsWindowVisible(main); }));
  EXPECT_TRUE(p.running());

  exitByMenuCommand(main);
  EXPECT_EQ(p.waitForExit(10000), 0u);
}

TEST_F(Program, EscAndEnterInAnyControlLeaveTheProgramAsItWasAndTabMovesTheFocus) {
  const std::wstring exe = probe::freshProgramCopy(L"keys", probe::paths().program);
  Process p(exe);
  HWND main = p.mainWindow(kStartLimit);
  ASSERT_NE(main, nullptr);
  const RECT where = probe::rectOf(main);
  HWND tab = control(main, "高级选择夹1");

  // One control of each kind, on the page shown at the start and on the bill page.
  struct Case {
    int page;
    const char* name;
  };
  for (const Case& c : {Case{1, "编辑框_登陆账号"}, Case{1, "编辑框1"}, Case{1, "按钮1"}, Case{1, "选择框3"},
                        Case{1, "组合框1"}, Case{0, "超级列表框_微信收款"}, Case{0, "高级选择夹1"}}) {
    if (SendMessageW(tab, TCM_GETCURSEL, 0, 0) != c.page) ASSERT_TRUE(clickTab(tab, c.page));
    ASSERT_TRUE(focusControl(control(main, c.name))) << c.name;
    probe::pressKey(VK_ESCAPE);
    probe::pressKey(VK_RETURN);
    Sleep(500);  // room for what the keys would start
    ASSERT_TRUE(p.running()) << c.name;
    EXPECT_TRUE(IsWindowVisible(main) && !IsIconic(main)) << c.name;
    const RECT now = probe::rectOf(main);
    EXPECT_TRUE(EqualRect(&where, &now)) << c.name;
    for (const ui::ControlDef& d : ui::controlDefs(Window::Main))
      EXPECT_TRUE(IsWindow(control(main, d.name.c_str()))) << c.name << ": " << d.name << " is gone";
  }
  // The check box did nothing with the keys either.
  EXPECT_EQ(SendMessageW(control(main, "选择框3"), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_EQ(runValue(), "<missing>");

  ASSERT_TRUE(clickTab(tab, 1));
  ASSERT_TRUE(focusControl(control(main, "编辑框_登陆账号")));
  probe::pressKey(VK_TAB);
  EXPECT_TRUE(probe::waitFor([&] { return focusOf(main) == control(main, "编辑框_登陆密码"); }, 5000));

  exitByMenuCommand(main);
  EXPECT_EQ(p.waitForExit(10000), 0u);
}

TEST_F(Program, TheTrayMenuOpensTheWindowAndExitsWithZeroRemovingTheIcon) {
  const std::wstring exe = probe::freshProgramCopy(L"menu", probe::paths().program);
  Process p(exe);
  HWND main = p.mainWindow(kStartLimit);
  ASSERT_NE(main, nullptr);
  PostMessageW(main, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  ASSERT_TRUE(probe::waitFor([&] { return !IsWindowVisible(main); }));

  probe::moveMouseTo(700, 500);
  tray(main, WM_RBUTTONUP);
  HWND menu = findPopupMenu();
  ASSERT_NE(menu, nullptr);
  Sleep(300);
  RECT m = probe::rectOf(menu);
  EXPECT_EQ(m.right, 695);  // right-aligned, its corner 5 pixels up and left of the pointer
  EXPECT_EQ(m.top, 495);
  probe::screenshot("tray-menu");
  clickMenuItem(menu, 0);  // "打开窗口"
  ASSERT_TRUE(probe::waitFor([&] { return IsWindowVisible(main) && !IsIconic(main); }));
  EXPECT_TRUE(probe::waitFor([&] { return centred(main); }));

  probe::moveMouseTo(700, 500);
  tray(main, WM_RBUTTONUP);
  menu = findPopupMenu();
  ASSERT_NE(menu, nullptr);
  Sleep(300);
  EXPECT_TRUE(probe::trayIconThere(main));
  clickMenuItem(menu, 1);  // "退出软件"
  EXPECT_EQ(p.waitForExit(10000), 0u);
  EXPECT_FALSE(probe::trayIconThere(main));
}

TEST_F(Program, EndProgramFromAnotherThreadEndsWithItsCodeAndRemovesTheIcon) {
  HANDLE goAhead = CreateEventW(nullptr, TRUE, FALSE, L"kassaro-test-end");
  ResetEvent(goAhead);
  const std::wstring exe = probe::freshProgramCopy(L"end", probe::paths().endHelper);
  Process p(exe);
  HWND main = p.mainWindow(kStartLimit);
  ASSERT_NE(main, nullptr);
  ASSERT_TRUE(probe::waitFor([&] { return probe::trayIconThere(main); }));
  SetEvent(goAhead);
  EXPECT_EQ(p.waitForExit(10000), 7u);
  EXPECT_FALSE(probe::trayIconThere(main));
  CloseHandle(goAhead);
}

TEST_F(Program, SettingsAreWrittenByTheirHandlersAndReadAtTheNextStart) {
  const std::string kPhrase = "[多谢]光临;欢迎=再来";
  const std::string kPassword = " \"口令 abc\" ";
  const std::wstring exe = probe::freshProgramCopy(L"settings", probe::paths().program);
  {
    Process p(exe);
    HWND main = p.mainWindow(kStartLimit);
    ASSERT_NE(main, nullptr);
    SendMessageW(control(main, "选择框3"), BM_CLICK, 0, 0);  // tick "开机自启"
    EXPECT_EQ(runValue(), codepage::wideToGbk(exe));
    EXPECT_EQ(readIni(exe, "设置", "自启动"), "1");

    SendMessageW(control(main, "组合框1"), WM_KEYDOWN, VK_END, 0);  // the last voice, by the keyboard
    EXPECT_EQ(readIni(exe, "设置", "声音选择"), "3");

    typeOver(control(main, "编辑框1"), kPhrase);
    EXPECT_EQ(readIni(exe, "语音播报", "播报结尾"), kPhrase);

    // A remembered login, its password with blanks and quotes around it.
    typeOver(control(main, "编辑框_登陆账号"), "13800138000");
    typeOver(control(main, "编辑框_登陆密码"), kPassword);
    SendMessageW(control(main, "选择框1"), BM_CLICK, 0, 0);
    SendMessageW(control(main, "按钮_登陆"), BM_CLICK, 0, 0);
    exitByMenuCommand(main);
    ASSERT_EQ(p.waitForExit(10000), 0u);
  }
  {
    Process p(exe);
    HWND main = p.mainWindow(kStartLimit);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(SendMessageW(control(main, "选择框3"), BM_GETCHECK, 0, 0), BST_CHECKED);
    const int voice = static_cast<int>(SendMessageW(control(main, "组合框1"), CB_GETCURSEL, 0, 0));
    EXPECT_EQ(probe::comboItem(control(main, "组合框1"), voice), "度丫丫");
    EXPECT_EQ(probe::textOf(control(main, "编辑框1")), kPhrase);
    EXPECT_EQ(probe::textOf(control(main, "编辑框_登陆账号")), "13800138000");
    EXPECT_EQ(probe::textOf(control(main, "编辑框_登陆密码")), kPassword);

    SendMessageW(control(main, "选择框3"), BM_CLICK, 0, 0);  // untick
    EXPECT_EQ(runValue(), "<missing>");
    EXPECT_EQ(readIni(exe, "设置", "自启动"), "0");

    // A line break typed into the phrase stays in the box and out of the file, which keeps its keys.
    typeOver(control(main, "编辑框1"), "上午好\n下午好");
    EXPECT_EQ(probe::textOf(control(main, "编辑框1")), "上午好\r\n下午好");
    EXPECT_EQ(readIni(exe, "语音播报", "播报结尾"), "上午好下午好");
    EXPECT_EQ(iniOutline(exe), (std::vector<std::string>{"[设置]", "设置/自启动", "设置/声音选择", "[语音播报]",
                                                         "语音播报/播报结尾", "[登陆]", "登陆/是否记住",
                                                         "登陆/账号", "登陆/密码"}));
    typeOver(control(main, "编辑框1"), "");
    EXPECT_EQ(readIni(exe, "语音播报", "播报结尾"), "");
    exitByMenuCommand(main);
    ASSERT_EQ(p.waitForExit(10000), 0u);
  }
  {
    Process p(exe);
    HWND main = p.mainWindow(kStartLimit);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(SendMessageW(control(main, "选择框3"), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(probe::textOf(control(main, "编辑框1")), "");  // emptied stays empty
    exitByMenuCommand(main);
    ASSERT_EQ(p.waitForExit(10000), 0u);
  }
}

TEST_F(Program, RememberedLoginAndStoredVoiceAreLoaded) {
  const std::wstring exe = probe::freshProgramCopy(L"login", probe::paths().program);
  writeIni(exe, "登陆", "是否记住", "1");
  writeIni(exe, "登陆", "账号", "13800138000");
  writeIni(exe, "登陆", "密码", "密码abc");
  writeIni(exe, "设置", "声音选择", "2");
  {
    Process p(exe);
    HWND main = p.mainWindow(kStartLimit);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(probe::textOf(control(main, "编辑框_登陆账号")), "13800138000");
    EXPECT_EQ(probe::textOf(control(main, "编辑框_登陆密码")), "密码abc");
    EXPECT_EQ(SendMessageW(control(main, "选择框1"), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(SendMessageW(control(main, "组合框1"), CB_GETCURSEL, 0, 0), 2);
    exitByMenuCommand(main);
    ASSERT_EQ(p.waitForExit(10000), 0u);
  }
  writeIni(exe, "登陆", "是否记住", "0");
  writeIni(exe, "设置", "声音选择", "abc");  // not a number: the first voice
  {
    Process p(exe);
    HWND main = p.mainWindow(kStartLimit);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(probe::textOf(control(main, "编辑框_登陆账号")), "");
    EXPECT_EQ(probe::textOf(control(main, "编辑框_登陆密码")), "");
    EXPECT_EQ(SendMessageW(control(main, "选择框1"), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(SendMessageW(control(main, "组合框1"), CB_GETCURSEL, 0, 0), 0);
    exitByMenuCommand(main);
    ASSERT_EQ(p.waitForExit(10000), 0u);
  }
}

TEST_F(Program, ASecondCopyIsRefusedAndBringsTheVisibleFirstToTheFront) {
  const std::wstring exe = probe::freshProgramCopy(L"guard", probe::paths().program);
  Process first(exe);
  HWND firstMain = first.mainWindow(kStartLimit);
  ASSERT_NE(firstMain, nullptr);
  EXPECT_FALSE(GetWindowLongW(firstMain, GWL_EXSTYLE) & WS_EX_TOPMOST);

  {
    Process second(exe);
    HWND box = nullptr;
    ASSERT_TRUE(probe::waitFor([&] { return (box = probe::findWindowOf(second.id(), L"#32770", "友情提醒:")); },
                               kStartLimit));
    wchar_t text[64] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 64);
    EXPECT_EQ(codepage::wideToGbk(text), "禁止重复运行");
    // The later copy has made its window and put its icon before the guard ran.
    HWND secondMain = probe::findMainWindow(second.id(), false);
    ASSERT_NE(secondMain, nullptr);
    EXPECT_FALSE(IsWindowVisible(secondMain));
    EXPECT_TRUE(probe::trayIconThere(secondMain));
    Sleep(300);
    probe::screenshot("second-copy");
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(second.waitForExit(10000), 0u);
    EXPECT_FALSE(probe::trayIconThere(secondMain));
  }
  EXPECT_TRUE(first.running());
  EXPECT_TRUE(GetWindowLongW(firstMain, GWL_EXSTYLE) & WS_EX_TOPMOST);
  EXPECT_TRUE(IsWindowVisible(firstMain));

  // While the first copy sits in the tray there is no window to bring forward; the later copy still ends.
  PostMessageW(firstMain, WM_SYSCOMMAND, SC_MINIMIZE, 0);
  ASSERT_TRUE(probe::waitFor([&] { return !IsWindowVisible(firstMain); }));
  {
    Process second(exe);
    HWND box = nullptr;
    ASSERT_TRUE(probe::waitFor([&] { return (box = probe::findWindowOf(second.id(), L"#32770", "友情提醒:")); },
                               kStartLimit));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(second.waitForExit(10000), 0u);
  }
  EXPECT_FALSE(IsWindowVisible(firstMain));

  exitByMenuCommand(firstMain);
  ASSERT_EQ(first.waitForExit(10000), 0u);

  // The mark went with the first copy: the next start is a first copy again.
  Process again(exe);
  EXPECT_NE(again.mainWindow(kStartLimit), nullptr);
  Sleep(500);
  EXPECT_EQ(probe::findWindowOf(again.id(), L"#32770", "友情提醒:"), nullptr);
  exitByMenuCommand(again.mainWindow(1000));
  EXPECT_EQ(again.waitForExit(10000), 0u);
}

TEST(TrayIcon, TooltipIsCutTo62BytesAndTheIconCanBeReplacedAndRemoved) {
  ui::startWindowThread();
  ui::createWindow(Window::Main);
  HWND main = ui::windowHandle(Window::Main);
  ASSERT_NE(main, nullptr);
  EXPECT_FALSE(probe::trayIconThere(main));
  tray::setTrayIcon(tray::Image::Tray, "欢迎");
  EXPECT_TRUE(probe::trayIconThere(main));
  // 30 Chinese characters are 60 bytes: two of the letters after them still fit.
  const std::string thirty = "一二三四五六七八九十一二三四五六七八九十一二三四五六七八九十";
  tray::setTrayIcon(tray::Image::Tray, thirty + "ABCDEFGH");
  EXPECT_TRUE(tray::trayIconShown());
  EXPECT_EQ(probe::trayTooltip(), thirty + "AB");
  tray::setTrayIcon(tray::Image::None);
  EXPECT_FALSE(probe::trayIconThere(main));
  EXPECT_FALSE(tray::trayIconShown());
  ui::destroyWindow(Window::Main);
}

TEST(RegistrationWindow, LooksFinished) {
  ui::startWindowThread();
  ui::createWindow(Window::Registration);
  HWND reg = ui::windowHandle(Window::Registration);
  ASSERT_NE(reg, nullptr);
  SetWindowPos(reg, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  for (int i = 0; i < 50; ++i) {
    ui::processPendingMessages();
    Sleep(10);
  }
  EXPECT_TRUE(IsWindowVisible(reg));
  probe::screenshot("registration");
  ui::destroyWindow(Window::Registration);
}

}  // namespace
