// The life of the process on Win32: entry, event binding, the main window's state handlers, the tray
// commands and the end.
#include <windows.h>

#include <atomic>
#include <iterator>
#include <vector>

#include "app/controls.h"
#include "app/instance.h"
#include "app/lifecycle.h"
#include "app/settings.h"
#include "app/tray.h"
#include "app/window_layer_win32.h"
#include "server/account.h"
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

bool mainWindowHook(HWND, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
  *result = 0;
  switch (msg) {
    case WM_CLOSE:
      onMainWindowClose();
      return true;
    case WM_MOVE:
    case WM_SIZE:
      onMainWindowMoved();
      return false;
    case tray::kCallbackMessage:
      if (wp == tray::kIconId) onTrayEvent(tray::trayOperation(LOWORD(lp)));
      return true;
    case WM_COMMAND:
      if (lp != 0) return false;  // a control's notification
      for (const tray::MenuItem& item : kTrayMenu)
        if (LOWORD(wp) == item.id) item.command();
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
  using namespace controls;
  ui::bind(Window::Main, "", ui::Event::Created, onMainWindowCreated);
  ui::bind(Window::Main, kAutostartBox, ui::Event::Clicked, settings::saveAutostart);
  ui::bind(Window::Main, kClosingPhraseBox, ui::Event::Changed, settings::saveClosingPhrase);
  ui::bind(Window::Main, kVoiceBox, ui::Event::Selected, settings::saveVoice);
  ui::bind(Window::Main, kTestButton, ui::Event::Clicked, voice::announceTest);
  account::bindAccountEvents();
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
  server::createServerLink();
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

}  // namespace app
