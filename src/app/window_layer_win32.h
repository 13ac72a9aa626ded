// Windows only: what the program's own Win32 code (lifecycle, tray, message box, tests) needs of the
// window layer beyond the named control operations.
#pragma once
#include <windows.h>

#include <string>

#include "app/window_layer.h"

namespace ui {

// Private messages of the window thread.
inline constexpr UINT WMAPP_RUN = WM_APP + 1;        // lParam: const std::function<void()>*
inline constexpr UINT WMAPP_END = WM_APP + 2;        // wParam: exit code

// Makes the calling thread the window thread (the one that runs the message loop), once.
void startWindowThread();
bool onWindowThread();

// The main window's messages go through this hook first; it returns true when it handled a message
// and set *result. The lifecycle installs it; without it the main window is a plain window.
using MessageHook = bool (*)(HWND, UINT, WPARAM, LPARAM, LRESULT*);
void setMainWindowHook(MessageHook hook);

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
