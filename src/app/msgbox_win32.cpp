// The message box on Win32. A task-modal box without owner disables the windows of the thread that
// shows it; a box raised on another thread would leave the main window usable, so while it is open
// the window thread holds the program's windows disabled.
#include <windows.h>

#include <mutex>
#include <set>
#include <thread>

#include "app/window_layer_win32.h"
#include "common/codepage_win32.h"
#include "common/msgbox.h"

namespace msgbox {
namespace {

std::mutex& openLock() {
  static std::mutex m;
  return m;
}

// The texts of the boxes shown without waiting that are still open.
std::set<std::string>& openTexts() {
  static std::set<std::string> texts;
  return texts;
}

}  // namespace

void show(const std::string& text, const std::string& title) {
  const std::wstring wideText = codepage::gbkToWide(text), wideTitle = codepage::gbkToWide(title);
  const bool elsewhere = !ui::onWindowThread();
  if (elsewhere) ui::holdInput(true);
  MessageBoxW(nullptr, wideText.c_str(), wideTitle.c_str(), MB_OK | MB_TASKMODAL | MB_SETFOREGROUND);
  if (elsewhere) ui::holdInput(false);
}

void showWithoutWaiting(const std::string& text) {
  if (ui::onWindowThread()) return show(text);
  {
    std::lock_guard g(openLock());
    if (!openTexts().insert(text).second) return;  // that box is up already
  }
  std::thread([text] {
    show(text);
    std::lock_guard g(openLock());
    openTexts().erase(text);
  }).detach();
}

}  // namespace msgbox
