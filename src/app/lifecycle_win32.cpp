// The life of the process on Win32: entry, event binding, the main window's state handlers, the tray
// commands and the end.
#include <windows.h>

#include <atomic>
#include <vector>

#include "app/instance.h"
#include "app/lifecycle.h"
#include "app/pending_hooks.h"
#include "app/settings.h"
#include "app/tray.h"
#include "app/window_layer_win32.h"
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

bool mainWindowHook(HWND, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
  *result = 0;
  switch (msg) {
    case WM_CLOSE:
      onMainWindowCloseQuery();  // never lets the window close
      return true;
    case WM_MOVE:
    case WM_SIZE:
      onMainWindowMoved();
      return false;
    case tray::kCallbackMessage:
      if (wp == tray::kIconId) {
        if (int operation = tray::trayOperation(LOWORD(lp))) onTrayEvent(operation);
      }
      return true;
    case WM_COMMAND:
      if (lp != 0) return false;  // a control's notification
      if (LOWORD(wp) == tray::kOpenWindowItem) showFromTray();
      if (LOWORD(wp) == tray::kExitItem) exitFromTray();
      return true;
    case ui::WMAPP_END:
      endProgram(static_cast<int>(wp));
      return true;
    case WM_DESTROY:
      tray::removeTrayIcon();
      return false;
    default:
      return false;
  }
}

void bindHandlers() {
  ui::bind(Window::Main, "", ui::Event::Created, onMainWindowCreated);
  ui::bind(Window::Main, "选择框3", ui::Event::Clicked, settings::saveAutostart);
  ui::bind(Window::Main, "编辑框1", ui::Event::Changed, settings::saveClosingPhrase);
  ui::bind(Window::Main, "组合框1", ui::Event::Selected, settings::saveVoice);
  ui::bind(Window::Main, "按钮1", ui::Event::Clicked, voice::announceTest);
  ui::bind(Window::Main, "按钮_登陆", ui::Event::Clicked, account::submitLogin);
  ui::bind(Window::Main, "标签3", ui::Event::MouseDown, account::openRegistration);
  ui::bind(Window::Registration, "按钮1", ui::Event::Clicked, account::submitRegistration);
}

// Esc, Enter and their like, which the dialog manager turns into IDCANCEL and IDOK for the window. Our
// windows are not dialogs: these keys go to the focused control and do what it does with them.
bool isDialogCommandKey(const MSG& msg) {
  if (msg.message != WM_KEYDOWN && msg.message != WM_KEYUP) return false;
  switch (msg.wParam) {
    case VK_ESCAPE:
    case VK_CANCEL:
    case VK_RETURN:
    case VK_EXECUTE:
      return true;
    default:
      return false;
  }
}

// Tab and the arrow keys move between controls as in a dialog.
bool isNavigationKey(MSG& msg) {
  if (isDialogCommandKey(msg)) return false;
  HWND root = GetAncestor(msg.hwnd, GA_ROOT);
  if (!root || (root != ui::windowHandle(Window::Main) && root != ui::windowHandle(Window::Registration)))
    return false;
  return IsDialogMessageW(root, &msg);
}

}  // namespace

int programMain() {
  ui::startWindowThread();
  server::startServerLink();
  ui::setMainWindowHook(mainWindowHook);
  bindHandlers();
  ui::createWindow(Window::Main);  // raises onMainWindowCreated, then shows the window
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (isNavigationKey(msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
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

void onMainWindowCreated() {
  server::openServerLink();
  voice::captureStartupClosingPhrase();
  ui::setCurrentIndex(Window::Main, "高级选择夹1", 1);
  settings::loadSettings();
  instance::guardSingleInstance();
}

void onMainWindowMoved() {
  if (ui::windowState(Window::Main) != 2) return;
  ui::setWindowVisible(Window::Main, false);
  tray::setTrayIcon(tray::Image::Tray, tray::kTooltip);
}

bool onMainWindowCloseQuery() {
  ui::setWindowState(Window::Main, 2);  // minimising hides the window into the tray
  return false;
}

void onTrayEvent(int operation) {
  if (operation == 1) showFromTray();
  if (operation == 3) tray::popUpTrayMenu();
}

void showFromTray() {
  ui::setWindowVisible(Window::Main, true);
  ui::setWindowState(Window::Main, 1);
}

void exitFromTray() {
  tray::setTrayIcon(tray::Image::None);
  endProgram(0);
}

}  // namespace app
