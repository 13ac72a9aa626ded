// The notification icon as the shell holds it: put, given a tooltip, replaced and removed. Wine draws a
// taskbar, where a tooltip shows, only on a virtual desktop of its own: the case runs again on one.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/codepage_win32.h"
#include "app/tray.h"
#include "app/window_layer_win32.h"
#include "probe/probe.h"

namespace {

using ui::Window;

constexpr const wchar_t* kTrayDesktop = L"kassaro-tray";

bool onTrayDesktop() {
  wchar_t name[64] = {};
  GetUserObjectInformationW(GetThreadDesktop(GetCurrentThreadId()), UOI_NAME, name, sizeof name, nullptr);
  return std::wstring(name) == kTrayDesktop;
}

// Runs this binary's case `name` on the desktop kTrayDesktop, which Wine makes a virtual desktop with a
// taskbar because its size is in the registry; its output goes where ours goes. Returns its exit code.
DWORD runOnTrayDesktop(const std::string& name) {
  HKEY key = nullptr;
  const std::wstring size = L"1024x768";  // room below the main window for the taskbar
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Explorer\\Desktops", 0, nullptr, 0, KEY_WRITE, nullptr,
                      &key, nullptr) != ERROR_SUCCESS)
    return 101;
  RegSetValueExW(key, kTrayDesktop, 0, REG_SZ, reinterpret_cast<const BYTE*>(size.c_str()),
                 static_cast<DWORD>((size.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  wchar_t exe[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring commandLine = L"\"" + std::wstring(exe) + L"\" --gtest_filter=" + std::wstring(name.begin(), name.end());
  std::wstring desktop = kTrayDesktop;
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.lpDesktop = desktop.data();
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(exe, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return 102;
  WaitForSingleObject(pi.hProcess, 120000);
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(pi.hProcess, &code);
  if (code == STILL_ACTIVE) TerminateProcess(pi.hProcess, 103);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

// The tooltip once the taskbar shows it (the taskbar comes up with the desktop's first window).
std::string tooltipShown() {
  std::wstring tip;
  for (int i = 0; i < 10 && (tip = probe::trayTooltip()).empty(); ++i) Sleep(200);
  return codepage::wideToGbk(tip);
}

TEST(TrayIcon, TooltipIsCutTo62BytesAndTheIconCanBeReplacedAndRemoved) {
  if (!onTrayDesktop()) {
    const testing::TestInfo* self = testing::UnitTest::GetInstance()->current_test_info();
    EXPECT_EQ(runOnTrayDesktop(std::string(self->test_suite_name()) + "." + self->name()), 0u);
    return;
  }
  ui::startWindowThread();
  ui::createWindow(Window::Main);
  HWND main = ui::windowHandle(Window::Main);
  ASSERT_NE(main, nullptr);
  EXPECT_FALSE(probe::trayIconThere(main));
  tray::setTrayIcon(tray::Image::Tray, "欢迎");
  EXPECT_TRUE(probe::trayIconThere(main));
  // 30 Chinese characters are 60 bytes: two of the letters after them still fit.
  const std::string thirty = "一二三四五六七八九十一二三四五六七八九十一二三四五六七八九十";
  tray::setTrayIcon(tray::Image::Tray, thirty + "ABCDEFGH");
  EXPECT_TRUE(tray::trayIconShown());
  EXPECT_EQ(tooltipShown(), thirty + "AB");
  tray::setTrayIcon(tray::Image::None);
  EXPECT_FALSE(probe::trayIconThere(main));
  EXPECT_FALSE(tray::trayIconShown());
  ui::destroyWindow(Window::Main);
}

}  // namespace
