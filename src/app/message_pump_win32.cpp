// The one message pump of the window thread: the program's loop, the processing of what is pending
// (waits that keep the windows alive use it), and the keys that move between controls.
#include "app/window_layer_internal_win32.h"

namespace ui {
namespace {

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
  if (!onWindowThread() || isDialogCommandKey(msg)) return false;
  HWND root = GetAncestor(msg.hwnd, GA_ROOT);
  if (!root || (root != layer::rec(Window::Main).hwnd && root != layer::rec(Window::Registration).hwnd)) return false;
  return IsDialogMessageW(root, &msg);
}

}  // namespace

void dispatchMessage(MSG& msg) {
  if (isNavigationKey(msg)) return;
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
