// Windows only: what the program's own Win32 code (lifecycle, tray, message box, tests) needs of the
// window layer beyond the named control operations.
#pragma once
#include <windows.h>

#include <string>

#include "ui/window_layer.h"

namespace ui {

// Private messages of the window thread.
inline constexpr UINT WMAPP_RUN = WM_APP + 1;      // lParam: const std::function<void()>*
inline constexpr UINT WMAPP_END = WM_APP + 2;      // wParam: exit code
inline constexpr UINT WMAPP_CREATED = WM_APP + 3;  // wParam: the Window; its controls all exist

// Makes the calling thread the window thread (the one that runs the message loop), once. The main
// window gets `mainWindowProc` as its procedure, which passes what it does not handle on to
// windowProcedure; without one the main window is a plain window that holds its controls.
void startWindowThread(WNDPROC mainWindowProc = nullptr);
bool onWindowThread();

// What every window that holds controls does with its messages: the controls' notifications turned
// into their events, the tab's page change, the link's colour, the window's Created event raised on
// WMAPP_CREATED, and the window forgotten when it goes; DefWindowProc for the rest.
LRESULT CALLBACK windowProcedure(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

// The one message pump of the window thread. One message: Tab and the arrow keys move between
// controls as in a dialog, everything else is translated and dispatched.
void dispatchMessage(MSG& msg);
// Every pending message; true, with the code, when a WM_QUIT was among them (taken out of the queue).
bool pumpPending(int* quitCode);
// Until WM_QUIT: the program's message loop; its code.
int runMessageLoop();

HWND windowHandle(Window w);  // nullptr when the window does not exist
HWND controlHandle(Window w, const std::string& control);
// The page window that holds a tab page's controls.
HWND pageHandle(int page);

// Design pixels (96 DPI) to screen pixels at the system DPI.
int scaled(int designPixels);
int systemDpi();

// While a message box raised on another thread is open, the program's windows take no input.
void holdInput(bool hold);

}  // namespace ui
