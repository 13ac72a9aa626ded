#include "common/codepage_win32.h"
#include "program/probe.h"

#include <shellapi.h>
#include <commctrl.h>

#include <cstdio>
#include <vector>

#include "app/window_defs.h"
#include "app/window_layer_win32.h"

namespace probe {

Paths& paths() {
  static Paths p;
  return p;
}

std::wstring directoryOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

std::wstring freshProgramCopy(const std::wstring& dirName, const std::wstring& exe) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring base = std::wstring(temp) + L"kassaro-e2e";
  CreateDirectoryW(base.c_str(), nullptr);
  std::wstring dir = base + L"\\" + dirName;
  CreateDirectoryW(dir.c_str(), nullptr);
  DeleteFileW((dir + L"\\pz.ini").c_str());
  std::wstring copy = dir + L"\\Kassaro.exe";
  CopyFileW(exe.c_str(), copy.c_str(), FALSE);
  return copy;
}

Process::Process(const std::wstring& exe) {
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  std::wstring commandLine = L"\"" + exe + L"\"";
  std::wstring dir = directoryOf(exe);
  CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &si, &info_);
}

Process::~Process() {
  if (!info_.hProcess) return;
  if (running()) {
    TerminateProcess(info_.hProcess, 99);
    WaitForSingleObject(info_.hProcess, 5000);
  }
  CloseHandle(info_.hThread);
  CloseHandle(info_.hProcess);
}

bool Process::running() const {
  return info_.hProcess && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT;
}

DWORD Process::waitForExit(DWORD limitMs) {
  if (!info_.hProcess || WaitForSingleObject(info_.hProcess, limitMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(info_.hProcess, &code);
  return code;
}

HWND Process::mainWindow(DWORD limitMs, bool visible) const {
  HWND found = nullptr;
  waitFor([&] { return (found = findMainWindow(id(), visible)) != nullptr; }, limitMs);
  return found;
}

namespace {

struct Search {
  DWORD processId;
  const wchar_t* className;
  std::wstring title;
  bool anyTitle;
  bool visibleOnly;
  HWND found;
};

BOOL CALLBACK matchTopLevel(HWND h, LPARAM lp) {
  auto* s = reinterpret_cast<Search*>(lp);
  DWORD owner = 0;
  GetWindowThreadProcessId(h, &owner);
  if (owner != s->processId) return TRUE;
  wchar_t cls[64] = {};
  GetClassNameW(h, cls, 64);
  if (wcscmp(cls, s->className) != 0) return TRUE;
  if (s->visibleOnly && !IsWindowVisible(h)) return TRUE;
  if (!s->anyTitle) {
    wchar_t title[128] = {};
    GetWindowTextW(h, title, 128);
    if (s->title != title) return TRUE;
  }
  s->found = h;
  return FALSE;
}

BOOL CALLBACK findTip(HWND h, LPARAM lp) {
  wchar_t cls[64] = {};
  GetClassNameW(h, cls, 64);
  if (wcscmp(cls, L"tooltips_class32") == 0 && IsWindowVisible(h)) {
    wchar_t text[256] = {};
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(h, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, &ignored);
    if (text[0]) {
      *reinterpret_cast<std::wstring*>(lp) = text;
      return FALSE;
    }
  }
  return TRUE;
}

}  // namespace

void moveMouseTo(int x, int y) {
  SetCursorPos(x, y);
  INPUT in{};
  in.type = INPUT_MOUSE;
  in.mi.dx = MulDiv(x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
  in.mi.dy = MulDiv(y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
  in.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  SendInput(1, &in, sizeof in);
}

HWND findMainWindow(DWORD processId, bool visible) {
  Search s{processId, L"KassaroMain", L"", true, visible, nullptr};
  EnumWindows(matchTopLevel, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

HWND findWindowOf(DWORD processId, const wchar_t* className, const std::string& title) {
  Search s{processId, className, codepage::gbkToWide(title), false, true, nullptr};
  EnumWindows(matchTopLevel, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

HWND control(HWND window, ui::Window which, const std::string& name) {
  const ui::ControlDef* def = ui::findControlDef(which, name);
  return def ? childControl(window, *def) : nullptr;
}

std::string textOf(HWND h) {
  try {
    return toGbk(windowText(h, Options{}));
  } catch (const Failure&) {
    return {};  // gone or not answering: nothing to read
  }
}

std::string comboItem(HWND combo, int index) {
  const std::vector<std::wstring> items = comboItems(combo, Options{});
  return index >= 0 && index < static_cast<int>(items.size()) ? toGbk(items[index]) : std::string();
}

RECT rectOf(HWND h) {
  RECT r{};
  GetWindowRect(h, &r);
  return r;
}

std::string trayTooltip() {
  HWND taskbar = FindWindowW(L"Shell_TrayWnd", nullptr);
  if (!taskbar) return {};
  RECT bar = rectOf(taskbar);
  const int y = (bar.top + bar.bottom) / 2;
  // The icons sit at the right end of the taskbar: rest the pointer on each spot until a tip shows.
  for (int x = bar.right - 6; x > bar.right - 160; x -= 10) {
    moveMouseTo(x, y);
    std::wstring tip;
    if (waitFor([&] {
          EnumWindows(findTip, reinterpret_cast<LPARAM>(&tip));
          return !tip.empty();
        }, 1500)) {
      moveMouseTo(bar.left + 300, bar.top - 200);
      return codepage::wideToGbk(tip);
    }
  }
  return {};
}

void pressKey(WORD vk) {
  INPUT in[2] = {};
  in[0].type = in[1].type = INPUT_KEYBOARD;
  in[0].ki.wVk = in[1].ki.wVk = vk;
  in[1].ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(2, in, sizeof(INPUT));
  Sleep(100);
}

void clickAt(HWND window, int x, int y) {
  PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
  PostMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
}

void screenshot(const std::string& name) {
  if (paths().screenshots.empty()) return;
  const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = width;
  bi.bmiHeader.biHeight = height;  // bottom-up, as a BMP file keeps it
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(dc, bitmap);
  BitBlt(dc, 0, 0, width, height, screen, 0, 0, SRCCOPY);
  GdiFlush();
  const DWORD stride = ((width * 3 + 3) / 4) * 4, size = stride * height;
  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
  fh.bfSize = fh.bfOffBits + size;
  std::wstring path = paths().screenshots + L"\\" + codepage::gbkToWide(name) + L".bmp";
  if (FILE* f = _wfopen(path.c_str(), L"wb")) {
    fwrite(&fh, sizeof fh, 1, f);
    fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, f);
    fwrite(bits, size, 1, f);
    fclose(f);
  }
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
}

}  // namespace probe
