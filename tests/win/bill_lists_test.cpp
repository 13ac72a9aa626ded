// The bill lists on real list views: each row under its column captions with its channel's picture, the
// totals and counts on the labels, redrawing switched back on after every update, and updates sent from
// another thread arriving in one hop each while the window thread serves its windows.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/codepage_win32.h"
#include "app/resource.h"
#include "app/window_layer_win32.h"
#include "bills/history.h"
#include "bills/ledger.h"
#include "common/datetime.h"
#include "server/protocol.h"

namespace {

using ui::Window;

const std::string kWeChat = "微信收款";
const std::string kAlipay = "支付宝收款";

std::string history(const std::vector<std::vector<std::string>>& lines) {
  const std::string sep = protocol::kFieldSeparator;
  std::string block;
  for (const auto& l : lines) block += (block.empty() ? "" : "\r\n") + ("1" + sep + l[0] + sep + l[1] + sep + l[2]);
  return std::string(bills::kBillHistoryKind) + bills::kBillBlockMarker + block;
}

HWND listOf(const bills::Channel& channel) { return ui::controlHandle(Window::Main, channel.list); }

std::string windowText(const char* control) {
  HWND h = ui::controlHandle(Window::Main, control);
  std::wstring t(GetWindowTextLengthW(h) + 1, L'\0');
  t.resize(GetWindowTextW(h, t.data(), static_cast<int>(t.size())));
  return codepage::wideToGbk(t);
}

// The column whose header reads `caption`, or -1.
int columnCaptioned(HWND list, const std::string& caption) {
  HWND header = ListView_GetHeader(list);
  for (int c = 0; c < Header_GetItemCount(header); ++c) {
    wchar_t text[64] = {};
    HDITEMW item{};
    item.mask = HDI_TEXT;
    item.pszText = text;
    item.cchTextMax = 64;
    SendMessageW(header, HDM_GETITEMW, c, reinterpret_cast<LPARAM>(&item));
    if (codepage::wideToGbk(text) == caption) return c;
  }
  return -1;
}

std::string itemText(HWND list, int row, int column) {
  wchar_t text[256] = {};
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = text;
  item.cchTextMax = 256;
  SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
  return codepage::wideToGbk(text);
}

int itemImage(HWND list, int row) {
  LVITEMW item{};
  item.mask = LVIF_IMAGE;
  item.iItem = row;
  SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
  return item.iImage;
}

// The pixels of a 16 by 16 picture drawn on white.
template <typename Draw>
std::vector<COLORREF> picture(Draw draw) {
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, 16, 16);
  ReleaseDC(nullptr, screen);
  HGDIOBJ old = SelectObject(dc, bitmap);
  RECT all{0, 0, 16, 16};
  FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  draw(dc);
  std::vector<COLORREF> pixels;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) pixels.push_back(GetPixel(dc, x, y));
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  return pixels;
}

// Both pictures below are drawn the same way, as icons, so that they compare pixel for pixel.
std::vector<COLORREF> iconPicture(HICON icon) {
  auto pixels = picture([&](HDC dc) { DrawIconEx(dc, 0, 0, icon, 16, 16, 0, nullptr, DI_NORMAL); });
  DestroyIcon(icon);
  return pixels;
}

std::vector<COLORREF> rowPicture(HWND list, int row) {
  return iconPicture(ImageList_GetIcon(ListView_GetImageList(list, LVSIL_SMALL), itemImage(list, row), ILD_NORMAL));
}

// The channel's own picture, from the program's icons.
std::vector<COLORREF> channelPicture(const bills::Channel& channel) {
  const int id = &channel == &bills::weChat() ? IDI_WECHAT : IDI_ALIPAY;
  return iconPicture(static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR)));
}

// Waits for `done` while this thread, the window thread, keeps serving its windows.
bool pumpUntil(const std::atomic<bool>& done) {
  const DWORD start = GetTickCount();
  while (!done) {
    if (GetTickCount() - start > 20000) return false;
    ui::processPendingMessages();
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return true;
}

// Runs `work` on a thread of its own, as the server's events run, and serves the windows meanwhile.
template <typename F>
void fromAnotherThread(F work) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    work();
    done = true;
  });
  const bool finished = pumpUntil(done);
  t.join();
  ASSERT_TRUE(finished);
}

// Counts what the window thread receives: the hops of work handed to it, and the lists' redraw switches.
struct Watch {
  static inline int hops = 0;
  static inline int redrawOff = 0, redrawOn = 0;
  static inline bool lastRedraw = true;
  static LRESULT CALLBACK onMessage(int code, WPARAM wp, LPARAM lp) {
    if (code == HC_ACTION) {
      const auto* m = reinterpret_cast<const CWPSTRUCT*>(lp);
      if (m->message == ui::WMAPP_RUN) ++hops;
      if (m->message == WM_SETREDRAW &&
          (m->hwnd == listOf(bills::weChat()) || m->hwnd == listOf(bills::alipay()))) {
        (m->wParam ? redrawOn : redrawOff)++;
        lastRedraw = m->wParam != 0;
      }
    }
    return CallNextHookEx(nullptr, code, wp, lp);
  }
};

class BillListsOnScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    ui::startWindowThread();
    ui::destroyWindow(Window::Main);
    ui::createWindow(Window::Main);
    ui::setCurrentIndex(Window::Main, "高级选择夹1", 0);  // the bill page, so the lists are on screen
    ui::setChecked(Window::Main, "选择框2", false);
    bills::forgetBillHistory();
    hook_ = SetWindowsHookExW(WH_CALLWNDPROC, Watch::onMessage, nullptr, GetCurrentThreadId());
    ASSERT_NE(hook_, nullptr);
    Watch::hops = Watch::redrawOff = Watch::redrawOn = 0;
    Watch::lastRedraw = true;
  }
  void TearDown() override {
    UnhookWindowsHookEx(hook_);
    ui::destroyWindow(Window::Main);
  }
  HHOOK hook_ = nullptr;
};

TEST_F(BillListsOnScreen, RowsSitUnderTheirColumnsWithTheirChannelsPicture) {
  bills::loadBillHistory(history({{"2020-6-29 09:53:40", kAlipay, "1.5"},
                                  {"2020-6-30 10:00:00", kAlipay, "2"},
                                  {"2020-6-29 08:00:00", kWeChat, "3"}}));
  bills::recordPayment(kWeChat, "12.5");

  struct Expected {
    const bills::Channel& channel;
    std::vector<std::string> amounts;
  };
  for (const Expected& e : {Expected{bills::alipay(), {"2", "1.5"}}, Expected{bills::weChat(), {"3", "12.5"}}}) {
    SCOPED_TRACE(e.channel.text);
    HWND list = listOf(e.channel);
    ASSERT_NE(list, nullptr);
    const int number = columnCaptioned(list, "序号"), time = columnCaptioned(list, "时间");
    const int kind = columnCaptioned(list, "收款类型"), amount = columnCaptioned(list, "收款金额");
    ASSERT_GE(number, 0);
    ASSERT_GE(time, 0);
    ASSERT_GE(kind, 0);
    ASSERT_GE(amount, 0);
    ASSERT_EQ(ListView_GetItemCount(list), static_cast<int>(e.amounts.size()));
    const std::vector<COLORREF> own = channelPicture(e.channel);
    for (int r = 0; r < ListView_GetItemCount(list); ++r) {
      EXPECT_EQ(itemText(list, r, number), std::to_string(r + 1));
      EXPECT_NE(datetime::readTimeText(itemText(list, r, time)), datetime::kEarliest);
      EXPECT_EQ(itemText(list, r, kind), e.channel.text);
      EXPECT_EQ(itemText(list, r, amount), e.amounts[r]);
      EXPECT_TRUE(rowPicture(list, r) == own) << "row " << r << " shows another channel's picture";
    }
  }
  EXPECT_EQ(itemText(listOf(bills::alipay()), 0, 1), "2020-6-30 10:00:00");
  EXPECT_EQ(windowText("标签_支付宝合计"), "支付宝收款合计：3.5元");
  EXPECT_EQ(windowText("标签_微信合计"), "微信收款合计：15.5元");
  EXPECT_EQ(windowText("标签_微信累计收款"), "微信累计收款：2笔");
  EXPECT_EQ(windowText("标签_支付宝累计收款"), "支付宝累计收款：2笔");
}

TEST_F(BillListsOnScreen, RedrawingIsBackOnAfterEveryUpdate) {
  bills::loadBillHistory(history({{"2020-6-29 09:53:40", kWeChat, "1"}, {"2020-6-30 10:00:00", kAlipay, "2"}}));
  EXPECT_GT(Watch::redrawOff, 0);  // bulk updates suspend it
  bills::recordPayment(kWeChat, "3");
  const int r = ui::appendRow(Window::Main, bills::weChat().list, 1);  // a row the ledger did not add:
  ui::setCell(Window::Main, bills::weChat().list, r, 3, "4");          // the next payment renumbers all
  bills::recordPayment(kWeChat, "5");
  bills::sortListByTime(bills::weChat().list);
  bills::loadBillHistory(history({{"2020-6-29 09:53:40", kWeChat, "6"}}));
  EXPECT_EQ(Watch::redrawOn, Watch::redrawOff);
  EXPECT_TRUE(Watch::lastRedraw);
  EXPECT_EQ(ListView_GetItemCount(listOf(bills::weChat())), 1);
  EXPECT_EQ(ListView_GetItemCount(listOf(bills::alipay())), 0);
}

TEST_F(BillListsOnScreen, UpdatesFromAnotherThreadTakeOneHopWhateverTheListsLength) {
  std::vector<std::vector<std::string>> lines;
  for (int i = 0; i < 1000; ++i) lines.push_back({"2020-6-29 09:53:40", i % 2 ? kWeChat : kAlipay, "1"});
  const std::string longHistory = history(lines);

  Watch::hops = 0;
  fromAnotherThread([&] { bills::loadBillHistory(longHistory); });
  EXPECT_EQ(Watch::hops, 1);

  Watch::hops = 0;
  fromAnotherThread([] { bills::recordPayment("银联收款", "1"); });
  EXPECT_EQ(Watch::hops, 1);

  // A payment costs as many hops on a 500-row list as on a short one.
  Watch::hops = 0;
  fromAnotherThread([] { bills::recordPayment(kWeChat, "2"); });
  const int onALongList = Watch::hops;
  ui::destroyWindow(Window::Main);
  ui::createWindow(Window::Main);
  ui::setChecked(Window::Main, "选择框2", false);
  bills::forgetBillHistory();
  Watch::hops = 0;
  fromAnotherThread([] { bills::recordPayment(kWeChat, "2"); });
  EXPECT_EQ(onALongList, Watch::hops);
  EXPECT_LE(onALongList, 2);  // the ledger's own, and the announcer's look at its switch

  EXPECT_EQ(ui::rowCount(Window::Main, bills::weChat().list), 1);
  EXPECT_EQ(windowText("标签_微信合计"), "微信收款合计：2元");
}

}  // namespace
