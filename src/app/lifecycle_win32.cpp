// The life of the process on Win32: entry, the main window's own messages (creation, state, the tray
// icon and menu) and the end.
#include <windows.h>

#include <atomic>
#include <iterator>
#include <vector>

#include "app/controls.h"
#include "app/event_table.h"
#include "app/instance.h"
#include "app/lifecycle.h"
#include "app/settings.h"
#include "app/tray.h"
#include "app/window_layer_win32.h"
#include "server/link.h"
#include "voice/announcer.h"

namespace app {
namespace {

using ui::Window;

std::atomic<bool> gEnding{false};
std::vector<void (*)()> gExitCleanups;  // registered at start-up, on the window thread

[[noreturn]] void endOnWindowThread(int exitCode) {
  for (auto routine : gExitCleanups) routine();
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
