// Starting copies of the program and acting on them from outside their process, as a user and the shell
// would: the keyboard, the mouse, the tray tooltip and pictures of the screen. Controls are found and
// read with the UI probe's own pieces (probe/probe.h), so both see the program the same way.
#pragma once
#include <windows.h>

#include <string>

#include "app/window_layer.h"
#include "probe/probe.h"

namespace probe {

// Paths handed to the test binary on its command line.
struct Paths {
  std::wstring program;      // the built Kassaro.exe
  std::wstring endHelper;    // the copy whose other thread calls endProgram
  std::wstring screenshots;  // where pictures of the screen go (BMP; the driver makes them PNG)
};
Paths& paths();

// A directory of its own under the temporary directory holding a copy of `exe` as Kassaro.exe (so that
// pz.ini beside it starts absent); returns the copy's full path.
std::wstring freshProgramCopy(const std::wstring& dirName, const std::wstring& exe);
std::wstring directoryOf(const std::wstring& path);

// One started process.
class Process {
 public:
  explicit Process(const std::wstring& exe);
  ~Process();  // a copy still running at the end of a test is terminated
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  DWORD id() const { return info_.dwProcessId; }
  bool running() const;
  // The exit code once the process has ended within `limitMs`, else STILL_ACTIVE.
  DWORD waitForExit(DWORD limitMs);
  // The main window, once it exists (and, when asked, is visible).
  HWND mainWindow(DWORD limitMs, bool visible = true) const;

 private:
  PROCESS_INFORMATION info_{};
};

// Waits until `condition` holds, polling; false when `limitMs` passed first.
template <typename F>
bool waitFor(F condition, DWORD limitMs = 10000) {
  const DWORD start = GetTickCount();
  while (!condition()) {
    if (GetTickCount() - start > limitMs) return false;
    Sleep(20);
  }
  return true;
}

HWND findMainWindow(DWORD processId, bool visible);
HWND control(HWND window, ui::Window which, const std::string& name);
std::string textOf(HWND h);  // WM_GETTEXT, GBK
std::string comboItem(HWND combo, int index);
RECT rectOf(HWND h);
// The text of the tray tooltip that shows while the pointer rests on our icon, or empty.
std::string trayTooltip();

// A top-level window of the process with the class and title, or nullptr.
HWND findWindowOf(DWORD processId, const wchar_t* className, const std::string& title);

// Moves the mouse pointer as the mouse does (SetCursorPos alone does not move it under Wine).
void moveMouseTo(int x, int y);
// Real input, delivered to whatever has the focus.
void pressKey(WORD vk);
// A click (press and release) at a point in the window's client coordinates, posted to it.
void clickAt(HWND window, int x, int y);

// Writes a picture of the whole screen (inside Wine's virtual desktop) as name.bmp.
void screenshot(const std::string& name);

}  // namespace probe
