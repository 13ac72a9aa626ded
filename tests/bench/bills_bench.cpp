// Figures for the bill updates on long lists, with announcing off: one live payment on a list that
// already holds 10,000 rows, and the load of a 10,000-line bill history. It reports times only; the
// goals (20 ms a payment, 1 s a load) are printed beside them, nothing fails.
//
// The calls come from a second thread, as the server's events do, while the window thread runs its
// message loop and repaints: each update pays its hop to the window thread and the redraw after it.
// Under Wine it needs a display: DISPLAY=:N scripts/wine-run kassaro_bills_bench.exe
#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bills/history.h"
#include "bills/ledger.h"
#include "server/protocol.h"
#include "ui/window_layer.h"

namespace {

constexpr int kRows = 10000;
constexpr int kPayments = 25;
const std::string kWeChatList = "超级列表框_微信收款";

double seconds() {
#ifdef _WIN32
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
#else
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
#endif
}

template <typename F>
double millisecondsOf(F&& work) {
  const double start = seconds();
  work();
  return (seconds() - start) * 1000;
}

enum class Order { Random, OldestFirst, NewestFirst };

// A history of `lines` bills with distinct times in 2020, in the given order; `weChatShare` of 1 puts
// every bill on WeChat.
std::string history(int lines, Order order, double weChatShare, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<int> offsets(lines);  // seconds into the year, 318 apart
  for (int i = 0; i < lines; ++i) offsets[i] = i * 318;
  if (order == Order::Random) std::shuffle(offsets.begin(), offsets.end(), random);
  if (order == Order::NewestFirst) std::reverse(offsets.begin(), offsets.end());
  const std::string sep = protocol::kFieldSeparator;
  std::string block;
  std::uniform_real_distribution<double> share(0, 1);
  for (int i = 0; i < lines; ++i) {
    const int s = offsets[i];
    const int day = s / 86400, month = 1 + day / 28, dayOfMonth = 1 + day % 28;
    char time[40];
    std::snprintf(time, sizeof time, "2020-%d-%d %02d:%02d:%02d", month, dayOfMonth, s / 3600 % 24, s / 60 % 60,
                  s % 60);
    char amount[24];
    std::snprintf(amount, sizeof amount, "%d.%02d", 1 + static_cast<int>(random() % 500),
                  static_cast<int>(random() % 100));
    const char* channel = share(random) < weChatShare ? "微信收款" : "支付宝收款";
    if (i) block += "\r\n";
    block += std::to_string(i) + sep + time + sep + channel + sep + amount;
  }
  return std::string(bills::kBillHistoryKind) + bills::kBillBlockMarker + block;
}

void report(const char* what, double ms, const char* goal = "") {
  std::printf("%-64s %10.2f ms %s\n", what, ms, goal);
  std::fflush(stdout);
}

// Starts the run again: a new main window on the bill page, announcing off, no history loaded yet.
void freshWindow() {
  ui::destroyWindow(ui::Window::Main);
  ui::createWindow(ui::Window::Main);
  ui::setCurrentIndex(ui::Window::Main, "高级选择夹1", 0);
  ui::setChecked(ui::Window::Main, "选择框2", false);
  bills::forgetBillHistory();
}

void loads() {
  struct Case {
    const char* what;
    Order order;
    double weChatShare;
  };
  for (const Case& c : {Case{"history 10,000 lines, both channels, random order", Order::Random, 0.5},
                        Case{"history 10,000 lines, one channel, random order", Order::Random, 1},
                        Case{"history 10,000 lines, one channel, oldest first", Order::OldestFirst, 1},
                        Case{"history 10,000 lines, one channel, newest first", Order::NewestFirst, 1}}) {
    freshWindow();
    const std::string message = history(kRows, c.order, c.weChatShare, 1);
    report((std::string("first ") + c.what).c_str(), millisecondsOf([&] { bills::loadBillHistory(message); }),
           "(goal < 1000 ms)");
    const std::string again = history(kRows, c.order, c.weChatShare, 2);
    report((std::string("later ") + c.what + " (replaces)").c_str(),
           millisecondsOf([&] { bills::loadBillHistory(again); }), "(goal < 1000 ms)");
  }
}

// Lets the window thread finish repainting, so that the next figure is not the previous one's redraw.
void letTheWindowSettle() {
#ifdef _WIN32
  Sleep(300);
#endif
}

void payments() {
  freshWindow();
  bills::loadBillHistory(history(kRows, Order::Random, 1, 3));
  std::vector<double> times;
  for (int i = 0; i < kPayments; ++i) {
    letTheWindowSettle();
    times.push_back(millisecondsOf([&] { bills::recordPayment("微信收款", std::to_string(i) + ".50"); }));
  }
  std::sort(times.begin(), times.end());
  report("live payment on a 10,000-row list, median of 25", times[times.size() / 2], "(goal < 20 ms)");
  report("live payment on a 10,000-row list, fastest", times.front());
  report("live payment on a 10,000-row list, slowest", times.back());
  std::vector<double> backToBack;
  for (int i = 0; i < kPayments; ++i)
    backToBack.push_back(millisecondsOf([&] { bills::recordPayment("微信收款", "1"); }));
  std::sort(backToBack.begin(), backToBack.end());
  report("live payment right after another (waits for its redraw), median", backToBack[backToBack.size() / 2]);

  // The floor under a payment: the list view's own cost of taking one more row.
  letTheWindowSettle();
  report("appendRow alone on the 10,000-row list, in one hop",
         millisecondsOf([] { ui::runOnWindowThread([] { ui::appendRow(ui::Window::Main, kWeChatList, 1); }); }));
  letTheWindowSettle();
  report("sortListByTime on 10,000 rows", millisecondsOf([] { bills::sortListByTime(kWeChatList); }));

  // What the long way round costs, to read the figures above by.
  letTheWindowSettle();
  report("numberRows on 10,000 rows in one hop, redrawing suspended", millisecondsOf([] {
           ui::runOnWindowThread([] {
             ui::setRedraw(ui::Window::Main, kWeChatList, false);
             bills::numberRows(kWeChatList);
             ui::setRedraw(ui::Window::Main, kWeChatList, true);
           });
         }));
  letTheWindowSettle();
  report("sum of the amounts of 10,000 rows in one hop",
         millisecondsOf([] { ui::runOnWindowThread([] { bills::sumAmounts(kWeChatList); }); }));
  letTheWindowSettle();
  report("one hop to the window thread, nothing to do", millisecondsOf([] { ui::runOnWindowThread([] {}); }));
}

void runAll() {
  loads();
  payments();
  ui::destroyWindow(ui::Window::Main);
}

}  // namespace

int main() {
#ifdef _WIN32
  // This thread becomes the window thread and runs the message loop; the bench runs beside it, as the
  // server's event thread would.
  ui::runOnWindowThread([] {});
  const DWORD windowThread = GetCurrentThreadId();
  std::thread bench([windowThread] {
    runAll();
    PostThreadMessageW(windowThread, WM_QUIT, 0, 0);
  });
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  bench.join();
#else
  runAll();
#endif
  return 0;
}
