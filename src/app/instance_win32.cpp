// The single-instance guard: the named event marks the running copy; a later copy says so, brings the
// running copy's window to the front if it can see one, and ends.
#include <windows.h>
#include <tlhelp32.h>

#include "app/instance.h"
#include "app/lifecycle.h"
#include "app/settings.h"
#include "common/msgbox.h"
#include "ui/window_layer.h"

namespace instance {
namespace {

HANDLE gMarker = nullptr;  // held, never signalled, until the process ends

std::string exeFileName() {
  const std::string path = settings::exePath();
  const size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

DWORD findProcessByExeName(const std::string& fileName) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof(entry);  // a smaller size is refused
  DWORD found = 0;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (lstrcmpiA(entry.szExeFile, fileName.c_str()) == 0) {
      found = entry.th32ProcessID;
      break;
    }
  }
  CloseHandle(snapshot);
  return found;
}

HWND findVisibleWindowOfProcess(DWORD processId, DWORD limitMs) {
  const DWORD start = GetTickCount();
  HWND candidate = nullptr;
  for (;;) {
    if (GetTickCount() - start >= limitMs) return nullptr;
    // The next top-level window after the candidate; past the last one the walk starts over.
    candidate = FindWindowExA(nullptr, candidate, nullptr, nullptr);
    if (IsWindow(candidate)) {
      if (!IsWindowVisible(candidate)) continue;
      DWORD owner = 0;
      GetWindowThreadProcessId(candidate, &owner);
      if (owner == processId) return candidate;
    }
    ui::processPendingMessages();
  }
}

void bringWindowToFront(HWND window) {
  if (IsIconic(window)) OpenIcon(window);
  SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE);
}

void guardSingleInstance() {
  HANDLE existing = OpenEventA(EVENT_ALL_ACCESS, FALSE, kMarkerName);
  if (!existing) {
    gMarker = CreateEventA(nullptr, FALSE, FALSE, kMarkerName);
    return;
  }
  CloseHandle(existing);
  msgbox::show("禁止重复运行", "友情提醒:");
  if (DWORD process = findProcessByExeName(exeFileName())) {
    if (HWND window = findVisibleWindowOfProcess(process, 100)) bringWindowToFront(window);
  }
  app::endProgram(0);
}

}  // namespace instance
