// The one message pump of the window thread: the program's loop, the processing of what is pending
// (waits that keep the windows alive use it), and the keys that move between controls.
#include "app/window_layer_internal_win32.h"

namespace ui {
namespace {

// The keys the dialog manager is there for: Tab (with or without Shift) and the arrow keys, pressed in a
// control that is shown. Everything else goes to the focused control: Esc and Enter would become the
// window's IDCANCEL and IDOK (our windows are not dialogs), and a character would start the manager's
// mnemonic search, which walks the shown controls from the window's top and never finds its way back to
// a control on a hidden page, spinning the window thread for good.
bool isNavigationKey(const MSG& msg) {
  if (msg.message != WM_KEYDOWN) return false;
  switch (msg.wParam) {
    case VK_TAB:
    case VK_LEFT:
    case VK_RIGHT:
    case VK_UP:
    case VK_DOWN:
      return IsWindowVisible(msg.hwnd) != FALSE;
    default:
      return false;
  }
}

// Moves the focus between the controls of the main and registration windows as in a dialog.
bool movedFocus(MSG& msg) {
  if (!onWindowThread() || !isNavigationKey(msg)) return false;
  HWND root = GetAncestor(msg.hwnd, GA_ROOT);
  if (!root || (root != layer::rec(Window::Main).hwnd && root != layer::rec(Window::Registration).hwnd)) return false;
  return IsDialogMessageW(root, &msg);
}

}  // namespace

void dispatchMessage(MSG& msg) {
  if (movedFocus(msg)) return;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

bool pumpPending(int* quitCode) {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      *quitCode = static_cast<int>(msg.wParam);
      return true;
    }
    dispatchMessage(msg);
  }
  return false;
}

void processPendingMessages() {
  int quitCode = 0;
  // The loop that owns the quit gets it back.
  if (pumpPending(&quitCode)) PostQuitMessage(quitCode);
}

int runMessageLoop() {
  MSG msg;
  int got;
  while ((got = GetMessageW(&msg, nullptr, 0, 0)) > 0) dispatchMessage(msg);
  return got == 0 ? static_cast<int>(msg.wParam) : 0;
}

}  // namespace ui
