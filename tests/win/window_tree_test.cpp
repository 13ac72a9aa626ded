// The windows as built on Win32 against their definitions: title, class, parent, caption, geometry at
// 96 DPI, visibility, checked state, font, tab pages, list columns, rows and images, combo items, input
// modes and the events that the controls raise. Real windows under Wine. This is where what the windows
// hold as designed is checked; the whole-program tests check only what the running program makes of it.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/codepage_win32.h"
#include "app/window_defs.h"
#include "app/window_layer_win32.h"
#include "common/msgbox.h"
#include "probe/probe.h"

namespace {

using ui::Kind;
using ui::Window;

std::wstring className(HWND h) {
  wchar_t name[64] = {};
  GetClassNameW(h, name, 64);
  return name;
}

std::string caption(HWND h) {
  std::wstring t(GetWindowTextLengthW(h) + 1, L'\0');
  t.resize(GetWindowTextW(h, t.data(), static_cast<int>(t.size())));
  return codepage::wideToGbk(t);
}

RECT screenRect(HWND h) {
  RECT r{};
  GetWindowRect(h, &r);
  return r;
}

// Waits for a condition while this thread, the window thread, keeps serving its windows.
template <typename F>
bool pumpUntil(F condition, DWORD limitMs = 5000) {
  const DWORD start = GetTickCount();
  while (!condition()) {
    if (GetTickCount() - start > limitMs) return false;
    ui::processPendingMessages();
    Sleep(5);
  }
  return true;
}

// What the probe reads of a tab control's pages or a combo box's items, as the program's GBK text.
std::vector<std::string> gbk(const std::vector<std::wstring>& texts) {
  std::vector<std::string> out;
  for (const std::wstring& t : texts) out.push_back(codepage::wideToGbk(t));
  return out;
}

std::vector<std::vector<std::string>> listRows(Window w, const std::string& list) {
  std::vector<std::vector<std::string>> rows(ui::rowCount(w, list));
  for (int r = 0; r < static_cast<int>(rows.size()); ++r)
    for (int c = 0; c < ui::columnCount(w, list); ++c) rows[r].push_back(ui::cell(w, list, r, c));
  return rows;
}

// The window's title and outer rectangle on the screen, as its definition gives them.
void checkWindow(Window w) {
  HWND h = ui::windowHandle(w);
  const ui::WindowDef& d = ui::windowDef(w);
  EXPECT_EQ(caption(h), d.title);
  RECT r = screenRect(h);
  EXPECT_EQ(r.left, d.rect.x);
  EXPECT_EQ(r.top, d.rect.y);
  EXPECT_EQ(r.right - r.left, d.rect.w);
  EXPECT_EQ(r.bottom - r.top, d.rect.h);
  EXPECT_TRUE(IsWindowVisible(h));
}

class WindowTree : public ::testing::Test {
 protected:
  void SetUp() override {
    ui::startWindowThread();
    ui::createWindow(Window::Main);
    main_ = ui::windowHandle(Window::Main);
    ASSERT_NE(main_, nullptr);
    ASSERT_EQ(ui::systemDpi(), 96) << "geometry is checked at 96 DPI";
  }
  void TearDown() override {
    ui::destroyWindow(Window::Registration);
    ui::destroyWindow(Window::Main);
  }

  // Where a control's definition puts it, on the screen: a page's coordinates start at the tab
  // control's corner, the rest at the client area's.
  RECT designRect(const ui::ControlDef& d) {
    POINT origin{0, 0};
    ClientToScreen(ui::windowHandle(d.window), &origin);
    if (d.page >= 0) {
      RECT tab = screenRect(ui::controlHandle(Window::Main, "高级选择夹1"));
      origin = {tab.left, tab.top};
    }
    const ui::Rect g = ui::pageRect(d);
    return RECT{origin.x + g.x, origin.y + g.y, origin.x + g.x + g.w, origin.y + g.y + g.h};
  }

  void checkControls(Window w) {
    for (const ui::ControlDef& d : ui::controlDefs(w)) {
      SCOPED_TRACE(d.name);
      HWND h = ui::controlHandle(w, d.name);
      ASSERT_NE(h, nullptr);
      EXPECT_EQ(className(h), probe::expectedClass(d.kind));

      // Parent: a page of ours or the window itself, never the tab control or a group box.
      HWND parent = GetParent(h);
      HWND wantParent = d.page >= 0 ? ui::pageHandle(d.page) : ui::windowHandle(w);
      EXPECT_EQ(parent, wantParent);

      if (d.kind == Kind::Label || d.kind == Kind::Button || d.kind == Kind::CheckBox ||
          d.kind == Kind::GroupBox || d.kind == Kind::Edit) {
        EXPECT_EQ(caption(h), d.text);
      }

      RECT r = screenRect(h);
      RECT want = designRect(d);
      EXPECT_EQ(r.left, want.left);
      EXPECT_EQ(r.top, want.top);
      EXPECT_EQ(r.right - r.left, d.rect.w);
      EXPECT_EQ(r.bottom - r.top, d.rect.h);

      EXPECT_EQ((GetWindowLongW(h, GWL_STYLE) & WS_VISIBLE) != 0, d.visible);
      if (d.kind == Kind::CheckBox) {
        EXPECT_EQ(SendMessageW(h, BM_GETCHECK, 0, 0), d.checked ? BST_CHECKED : BST_UNCHECKED);
      }

      if (d.kind == Kind::Tab) {
        EXPECT_EQ(gbk(probe::tabCaptions(h, probe::Options{})), d.items);
      }
      if (d.kind == Kind::Combo) {
        EXPECT_EQ(gbk(probe::comboItems(h, probe::Options{})), d.items);
      }
      if (d.kind == Kind::List) {
        EXPECT_EQ(listRows(w, d.name), d.rows);
      }

      LOGFONTW lf{};
      ASSERT_TRUE(GetObjectW(reinterpret_cast<HFONT>(SendMessageW(h, WM_GETFONT, 0, 0)), sizeof lf, &lf));
      EXPECT_EQ(lf.lfHeight, -(d.font.px ? d.font.px : ui::kWindowFontPx));
      EXPECT_EQ(lf.lfWeight, d.font.bold ? FW_BOLD : FW_NORMAL);
      EXPECT_EQ(lf.lfCharSet, GB2312_CHARSET);
      EXPECT_EQ(codepage::wideToGbk(lf.lfFaceName), d.font.face ? d.font.face : ui::kWindowFace);
    }
  }

  HWND main_ = nullptr;
};

TEST_F(WindowTree, MainWindowHasItsTitleIconAndOuterGeometry) {
  checkWindow(Window::Main);
  EXPECT_EQ(GetMenu(main_), nullptr);  // the tray menu is never a menu bar
  HICON icon = reinterpret_cast<HICON>(GetClassLongPtrW(main_, GCLP_HICON));
  ASSERT_NE(icon, nullptr);
  ICONINFO info{};
  ASSERT_TRUE(GetIconInfo(icon, &info));
  BITMAP bm{};
  GetObjectW(info.hbmColor, sizeof bm, &bm);
  EXPECT_EQ(bm.bmWidth, 32);
  EXPECT_EQ(bm.bmBitsPixel, 32);
  DeleteObject(info.hbmColor);
  DeleteObject(info.hbmMask);
}

TEST_F(WindowTree, EveryMainWindowControlMatchesItsDefinition) { checkControls(Window::Main); }

TEST_F(WindowTree, RegistrationWindowMatchesItsDefinition) {
  ui::createWindow(Window::Registration);
  HWND reg = ui::windowHandle(Window::Registration);
  ASSERT_NE(reg, nullptr);
  checkWindow(Window::Registration);
  checkControls(Window::Registration);
  // Closing it by its title bar destroys it; the main window stays.
  SendMessageW(reg, WM_CLOSE, 0, 0);
  EXPECT_FALSE(ui::windowExists(Window::Registration));
  EXPECT_TRUE(ui::windowExists(Window::Main));
}

TEST_F(WindowTree, ListsHaveTheirColumnsAndImages) {
  for (const char* name : {"超级列表框_微信收款", "超级列表框_支付宝收款", "超级列表框1"}) {
    SCOPED_TRACE(name);
    const ui::ControlDef* d = ui::findControlDef(Window::Main, name);
    HWND list = ui::controlHandle(Window::Main, name);
    EXPECT_NE(GetWindowLongW(list, GWL_STYLE) & LVS_REPORT, 0);
    const int columns = static_cast<int>(d->columns.size());
    ASSERT_EQ(Header_GetItemCount(ListView_GetHeader(list)), columns);
    for (int i = 0; i < columns; ++i) {
      wchar_t text[64] = {};
      LVCOLUMNW col{};
      col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
      col.pszText = text;
      col.cchTextMax = 64;
      ASSERT_TRUE(SendMessageW(list, LVM_GETCOLUMNW, i, reinterpret_cast<LPARAM>(&col)));
      EXPECT_EQ(codepage::wideToGbk(text), d->columns[i].caption);
      EXPECT_EQ(col.cx, d->columns[i].width);
      EXPECT_EQ(col.fmt & LVCFMT_JUSTIFYMASK, d->columns[i].align == ui::Align::Centre ? LVCFMT_CENTER : LVCFMT_LEFT);
    }
    HIMAGELIST images = ListView_GetImageList(list, LVSIL_SMALL);
    ASSERT_NE(images, nullptr);
    EXPECT_EQ(ImageList_GetImageCount(images), 2);
    int cx = 0, cy = 0;
    ImageList_GetIconSize(images, &cx, &cy);
    EXPECT_EQ(cx, 16);
    EXPECT_EQ(cy, 16);
  }
}

TEST_F(WindowTree, TheTwoListImagesDiffer) {
  HIMAGELIST images = ListView_GetImageList(ui::controlHandle(Window::Main, "超级列表框_微信收款"), LVSIL_SMALL);
  // Each image drawn on white, pixel by pixel.
  auto pixels = [&](int index) {
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 16, 16);
    HGDIOBJ old = SelectObject(dc, bitmap);
    RECT all{0, 0, 16, 16};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    ImageList_Draw(images, index, dc, 0, 0, ILD_NORMAL);
    std::vector<COLORREF> v;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) v.push_back(GetPixel(dc, x, y));
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return v;
  };
  auto wechat = pixels(ui::kIconWeChat), alipay = pixels(ui::kIconAlipay);
  int differing = 0, drawn = 0;
  for (size_t i = 0; i < wechat.size(); ++i) {
    differing += wechat[i] != alipay[i];
    drawn += wechat[i] != RGB(255, 255, 255);
  }
  EXPECT_GT(drawn, 150);  // a real picture, not an empty slot
  EXPECT_GT(differing, 100);
}

TEST_F(WindowTree, VoiceComboDropsDownFarEnoughForAllItsVoices) {
  HWND combo = ui::controlHandle(Window::Main, "组合框1");
  EXPECT_EQ(GetWindowLongW(combo, GWL_STYLE) & 3, CBS_DROPDOWNLIST);
  // Dropped down, every voice shows at once, without scrolling.
  const int voices = static_cast<int>(ui::findControlDef(Window::Main, "组合框1")->items.size());
  ASSERT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), voices);
  RECT dropped{};
  SendMessageW(combo, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped));
  const int item = static_cast<int>(SendMessageW(combo, CB_GETITEMHEIGHT, 0, 0));
  EXPECT_GE(dropped.bottom - dropped.top - 20, voices * item);
}

TEST_F(WindowTree, WritingTheTabPageShowsThatPage) {
  EXPECT_TRUE(IsWindowVisible(ui::pageHandle(0)));
  ui::setCurrentIndex(Window::Main, "高级选择夹1", 2);
  EXPECT_FALSE(IsWindowVisible(ui::pageHandle(0)));
  EXPECT_TRUE(IsWindowVisible(ui::pageHandle(2)));
  EXPECT_TRUE(IsWindowVisible(ui::controlHandle(Window::Main, "超级列表框1")));
  EXPECT_EQ(TabCtrl_GetCurSel(ui::controlHandle(Window::Main, "高级选择夹1")), 2);
  ui::setCurrentIndex(Window::Main, "高级选择夹1", 5);  // no such page: nothing changes
  EXPECT_EQ(ui::currentIndex(Window::Main, "高级选择夹1"), 2);
}

// Keys pressed on the keyboard, delivered as the platform delivers them to the focused control.
void typeKeys(const std::wstring& keys) {
  for (wchar_t k : keys) {
    const WORD vk = k == L'\b' ? VK_BACK : LOBYTE(VkKeyScanW(k));
    INPUT in[2] = {};
    in[0].type = in[1].type = INPUT_KEYBOARD;
    in[0].ki.wVk = in[1].ki.wVk = vk;
    in[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, in, sizeof(INPUT));
    pumpUntil([] { return false; }, 30);
  }
}

TEST_F(WindowTree, NumberInputTakesOnlyDigitsAndMinusFromTheKeyboard) {
  ui::setCurrentIndex(Window::Main, "高级选择夹1", 1);
  HWND edit = ui::controlHandle(Window::Main, "编辑框_登陆账号");
  SetForegroundWindow(main_);
  SetFocus(edit);
  ASSERT_TRUE(pumpUntil([&] { return GetFocus() == edit; }));
  typeKeys(L"a1b-2Z");
  EXPECT_EQ(ui::text(Window::Main, "编辑框_登陆账号"), "1-2");
  typeKeys(L"\b");
  EXPECT_EQ(ui::text(Window::Main, "编辑框_登陆账号"), "1-");
  typeKeys(L"xyz");
  EXPECT_EQ(ui::text(Window::Main, "编辑框_登陆账号"), "1-");

  // Mode 0 takes everything; text set by the program is never filtered.
  HWND password = ui::controlHandle(Window::Main, "编辑框_登陆密码");
  SetFocus(password);
  ASSERT_TRUE(pumpUntil([&] { return GetFocus() == password; }));
  typeKeys(L"a1b");
  EXPECT_EQ(ui::text(Window::Main, "编辑框_登陆密码"), "a1b");
  ui::setText(Window::Main, "编辑框_登陆账号", "abc");
  EXPECT_EQ(ui::text(Window::Main, "编辑框_登陆账号"), "abc");
}

TEST_F(WindowTree, PasswordModeMasksAndModeZeroShowsInClear) {
  HWND password = ui::controlHandle(Window::Main, "编辑框_登陆密码");
  EXPECT_EQ(SendMessageW(password, EM_GETPASSWORDCHAR, 0, 0), 0);
  ui::setInputMode(Window::Main, "编辑框_登陆密码", ui::InputMode::Password);
  EXPECT_EQ(SendMessageW(password, EM_GETPASSWORDCHAR, 0, 0), L'*');
  ui::setInputMode(Window::Main, "编辑框_登陆密码", ui::InputMode::Normal);
  EXPECT_EQ(SendMessageW(password, EM_GETPASSWORDCHAR, 0, 0), 0);
}

TEST_F(WindowTree, ControlsRaiseTheirBoundEvents) {
  int autostart = 0, phrase = 0, voice = 0, link = 0, login = 0;
  ui::bind(Window::Main, "选择框3", ui::Event::Clicked, [&] { ++autostart; });
  ui::bind(Window::Main, "编辑框1", ui::Event::Changed, [&] { ++phrase; });
  ui::bind(Window::Main, "组合框1", ui::Event::Selected, [&] { ++voice; });
  ui::bind(Window::Main, "标签3", ui::Event::MouseDown, [&] { ++link; });
  ui::bind(Window::Main, "按钮_登陆", ui::Event::Clicked, [&] { ++login; });
  ui::setCurrentIndex(Window::Main, "高级选择夹1", 1);

  SendMessageW(ui::controlHandle(Window::Main, "选择框3"), BM_CLICK, 0, 0);
  EXPECT_EQ(autostart, 1);
  EXPECT_TRUE(ui::isChecked(Window::Main, "选择框3"));  // toggled before the handler ran

  HWND edit = ui::controlHandle(Window::Main, "编辑框1");
  SendMessageW(edit, WM_CHAR, L'x', 0);
  EXPECT_EQ(phrase, 1);
  ui::setText(Window::Main, "编辑框1", "程序写的");  // the program's own writes raise nothing
  EXPECT_EQ(phrase, 1);

  HWND combo = ui::controlHandle(Window::Main, "组合框1");
  SendMessageW(combo, WM_KEYDOWN, VK_DOWN, 0);
  EXPECT_EQ(voice, 1);
  EXPECT_EQ(ui::currentIndex(Window::Main, "组合框1"), 0);
  ui::setCurrentIndex(Window::Main, "组合框1", 2);
  EXPECT_EQ(voice, 1);

  HWND label = ui::controlHandle(Window::Main, "标签3");
  SendMessageW(label, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  SendMessageW(label, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  EXPECT_EQ(link, 1);

  SendMessageW(ui::controlHandle(Window::Main, "按钮_登陆"), BM_CLICK, 0, 0);
  EXPECT_EQ(login, 1);
  for (const char* name : {"选择框3", "编辑框1", "组合框1", "按钮_登陆"}) {
    ui::bind(Window::Main, name, ui::Event::Clicked, nullptr);
    ui::bind(Window::Main, name, ui::Event::Changed, nullptr);
    ui::bind(Window::Main, name, ui::Event::Selected, nullptr);
  }
  ui::bind(Window::Main, "标签3", ui::Event::MouseDown, nullptr);
}

TEST_F(WindowTree, ControlOperationsFromAnotherThreadRunOnTheWindowThread) {
  std::atomic<bool> done{false};
  DWORD workThread = 0;
  std::thread other([&] {
    ui::runOnWindowThread([&] { workThread = GetCurrentThreadId(); });
    ui::setText(Window::Main, "标签_微信合计", "微信收款合计：12.5元");
    ui::setChecked(Window::Main, "选择框2", false);
    int row = ui::appendRow(Window::Main, "超级列表框_微信收款", 0);
    ui::setCell(Window::Main, "超级列表框_微信收款", row, 3, "12.5");
    done = true;
  });
  ASSERT_TRUE(pumpUntil([&] { return done.load(); }));
  other.join();
  EXPECT_EQ(workThread, GetCurrentThreadId());
  EXPECT_EQ(caption(ui::controlHandle(Window::Main, "标签_微信合计")), "微信收款合计：12.5元");
  EXPECT_FALSE(ui::isChecked(Window::Main, "选择框2"));
  EXPECT_EQ(ui::cell(Window::Main, "超级列表框_微信收款", 0, 3), "12.5");
}

HWND findBox(const char* title) { return FindWindowW(L"#32770", codepage::gbkToWide(title).c_str()); }

TEST(MsgBox, FromAnotherThreadKeepsTheMainWindowFromInput) {
  ui::startWindowThread();
  ui::createWindow(Window::Main);
  HWND main = ui::windowHandle(Window::Main);
  std::atomic<bool> returned{false};
  std::thread other([&] {
    msgbox::show("连接失败");  // default title
    returned = true;
  });
  HWND box = nullptr;
  ASSERT_TRUE(pumpUntil([&] { return (box = findBox("信息：")) != nullptr; }));
  EXPECT_FALSE(IsWindowEnabled(main));
  EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr);
  wchar_t text[64] = {};
  GetDlgItemTextW(box, 0xFFFF, text, 64);
  EXPECT_EQ(codepage::wideToGbk(text), "连接失败");
  EXPECT_NE(GetDlgItem(box, IDOK), nullptr);
  EXPECT_EQ(GetDlgItem(box, IDCANCEL), nullptr);
  EXPECT_FALSE(returned);
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(pumpUntil([&] { return returned.load(); }));
  other.join();
  EXPECT_TRUE(IsWindowEnabled(main));
  ui::destroyWindow(Window::Main);
}

TEST(MsgBox, OnTheWindowThreadIsModalForThatThreadsWindows) {
  ui::startWindowThread();
  ui::createWindow(Window::Main);
  HWND main = ui::windowHandle(Window::Main);
  std::atomic<bool> mainWasEnabled{true};
  std::thread closer([&] {
    HWND box = nullptr;
    for (int i = 0; i < 500 && !(box = findBox("友情提醒:")); ++i) Sleep(10);
    mainWasEnabled = IsWindowEnabled(main) != FALSE;
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  });
  msgbox::show("禁止重复运行", "友情提醒:");
  closer.join();
  EXPECT_FALSE(mainWasEnabled);
  EXPECT_TRUE(IsWindowEnabled(main));
  ui::destroyWindow(Window::Main);
}

}  // namespace
