// The wait on Win32: a one-shot waitable timer, and the thread's messages processed until it fires.
#include <windows.h>

#include "app/window_layer_win32.h"
#include "server/wait.h"

namespace server {

void waitPumping(int milliseconds) {
  const long long ms = milliseconds > 0 ? milliseconds : 0;
  HANDLE timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
  if (!timer) {
    Sleep(static_cast<DWORD>(ms));
    return;
  }
  LARGE_INTEGER due;
  due.QuadPart = -ms * 10000;  // relative, in units of 100 ns
  SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);

  bool quit = false;
  int quitCode = 0;
  for (;;) {
    // Once WM_QUIT is out of the queue, only the timer is waited for: the loop that owns the quit
    // gets it back when we are done.
    if (!quit) quit = ui::pumpPending(&quitCode);
    const DWORD woke = quit ? WaitForSingleObject(timer, INFINITE)
                            : MsgWaitForMultipleObjectsEx(1, &timer, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woke == WAIT_OBJECT_0) break;
    if (woke != WAIT_OBJECT_0 + 1) break;  // the wait failed: do not spin
  }
  CloseHandle(timer);
  if (quit) PostQuitMessage(quitCode);
}

}  // namespace server
