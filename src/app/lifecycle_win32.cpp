// The life of the process on Win32: entry, the main window's own messages (creation, state, the tray
// icon and menu) and the end.
#include <windows.h>

#include <atomic>
#include <iterator>
#include <vector>

#include "app/event_table.h"
#include "app/instance.h"
#include "app/lifecycle.h"
#include "app/settings.h"
#include "app/tray.h"
#include "app/window_layer_win32.h"
#include "server/link.h"
#include "ui/controls.h"
#include "voice/announcer.h"

namespace app {
namespace {

using ui::Window;

std::atomic<bool> gEnding{false};
std::vector<void (*)()> gExitCleanups;  // registered at start-up, on the window thread

[[noreturn]] void endOnWindowThread(int exitCode) {
  for (auto routine : gExitCleanups) routine();
  SetThreadExecutionState(ES_CONTINUOUS);  // the system may sleep again
  ui::destroyWindow(Window::Registration);
  ui::destroyWindow(Window::Main);  // its WM_DESTROY removes the tray icon
  ExitProcess(static_cast<UINT>(exitCode));
}

void onMainWindowCreated() {
  server::openServerLink();
  voice::captureStartupClosingPhrase();
  ui::setCurrentIndex(Window::Main, controls::kPages, 1);
  settings::loadSettings();
  tray::setTrayIcon(tray::Image::Tray, tray::kTooltip);
  instance::guardSingleInstance();
  settings::checkSettingsWritable();
}

// The program's files, event name and registry value are GBK text, which Windows hands over as it is
// only when its code page for non-Unicode programs is 936. Otherwise the merchant is told, through the
// Unicode calls so that the text reads right whatever the code page, and the program goes on.
void warnOfForeignCodePage() {
  if (GetACP() == 936) return;
  MessageBoxW(nullptr,
              L"Kassaro 需要 Windows 的“非 Unicode 程序的语言”设为中文（简体）。否则托盘提示、开机自启和"
              L"中文路径下的设置与声音文件都会出错。\n"
              L"设置方法：控制面板 > 区域 > 管理 > 更改系统区域设置 > 中文(简体，中国)，"
              L"不要勾选“Beta 版: 使用 Unicode UTF-8 提供全球语言支持”，确定后重新启动电脑。\n\n"
              L"Kassaro needs Windows' language for non-Unicode programs to be Chinese (Simplified, China); "
              L"otherwise the tray tooltip, autostart and settings or sound files in Chinese folders go wrong.\n"
              L"To set it: Control Panel > Region > Administrative > Change system locale > "
              L"Chinese (Simplified, China), leave \"Beta: Use Unicode UTF-8 for worldwide language support\" "
              L"unticked, press OK and restart the computer.",
              L"Kassaro", MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
}

// Minimised, the window hides into the notification area.
void onMainWindowMoved() {
  if (ui::windowState(Window::Main) != ui::WindowState::Minimised) return;
  ui::setWindowVisible(Window::Main, false);
  tray::setTrayIcon(tray::Image::Tray, tray::kTooltip);
}

// Closing never closes the window: it minimises it, which hides it into the tray.
void onMainWindowClose() { ui::setWindowState(Window::Main, ui::WindowCommand::Minimise); }

void showFromTray() {
  ui::setWindowVisible(Window::Main, true);
  ui::setWindowState(Window::Main, ui::WindowCommand::RestoreCentred);
}

void exitFromTray() {
  tray::setTrayIcon(tray::Image::None);
  endProgram(0);
}

// "托盘菜单": its items, in menu order, and what each does.
constexpr tray::MenuItem kTrayMenu[] = {
    {tray::kOpenWindowItem, "打开窗口", showFromTray},
    {tray::kExitItem, "退出软件", exitFromTray},
};

void onTrayEvent(tray::Operation operation) {
  if (operation == tray::Operation::Click) showFromTray();
  if (operation == tray::Operation::Menu) tray::popUpTrayMenu(kTrayMenu, std::size(kTrayMenu));
}

// The main window's own messages; its controls' go on to the window layer.
LRESULT CALLBACK mainWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == tray::taskbarCreatedMessage()) {
    tray::restoreTrayIcon();
    return 0;
  }
  switch (msg) {
    case ui::WMAPP_CREATED:
      onMainWindowCreated();
      return 0;
    case WM_CLOSE:
      onMainWindowClose();
      return 0;
    case WM_MOVE:
    case WM_SIZE:
      onMainWindowMoved();
      break;
    case tray::kCallbackMessage:
      if (wp == tray::kIconId) onTrayEvent(tray::trayOperation(LOWORD(lp)));
      return 0;
    case WM_COMMAND:
      if (lp != 0) break;  // a control's notification
      for (const tray::MenuItem& item : kTrayMenu)
        if (LOWORD(wp) == item.id) item.command();
      return 0;
    case ui::WMAPP_END:
      endProgram(static_cast<int>(wp));
      return 0;
    case WM_DESTROY:
      tray::removeTrayIcon();
      break;
    default:
      break;
  }
  return ui::windowProcedure(hwnd, msg, wp, lp);
}

}  // namespace

int programMain() {
  warnOfForeignCodePage();
  // A PC kept for announcing payments must not go to sleep: socket traffic is no activity to the power
  // manager. The request holds while this thread lives, which is the whole run; the display may still
  // go dark.
  SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  ui::startWindowThread(mainWindowProc);
  server::createServerLink();
  bindEvents();
  ui::createWindow(Window::Main);  // onMainWindowCreated runs, then the window shows
  return ui::runMessageLoop();
}

void registerExitCleanup(void (*routine)()) { gExitCleanups.push_back(routine); }

void endProgram(int exitCode) {
  if (ui::onWindowThread()) {
    if (gEnding.exchange(true)) return;  // the end is under way further up this thread
    endOnWindowThread(exitCode);
  }
  HWND main = ui::windowHandle(Window::Main);
  if (main) SendMessageW(main, ui::WMAPP_END, static_cast<WPARAM>(exitCode), 0);
  // Back here only when the window thread did not take the end on (no window, or already ending).
  if (!gEnding) ExitProcess(static_cast<UINT>(exitCode));
  for (;;) Sleep(INFINITE);  // the window thread is ending the process
}

}  // namespace app
