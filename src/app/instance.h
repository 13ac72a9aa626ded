// Windows only: one copy of the program per log-on, marked by the named event "收款监控".
#pragma once
#include <windows.h>

#include <string>

namespace instance {

inline constexpr const char* kMarkerName = "收款监控";

// Returns in the first copy (which then holds the marker); ends a later copy after telling the user and
// bringing the running copy's visible window to the front.
void guardSingleInstance();

// The first process in the snapshot whose executable file name equals `fileName`, ignoring case; 0 for none.
DWORD findProcessByExeName(const std::string& fileName);
// A visible top-level window of the process, searched for at most `limitMs` while messages are pumped.
HWND findVisibleWindowOfProcess(DWORD processId, DWORD limitMs);
void bringWindowToFront(HWND window);

}  // namespace instance
