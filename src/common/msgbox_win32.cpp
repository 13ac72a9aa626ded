// The message box on Win32. A task-modal box without owner disables the windows of the thread that
// shows it; a box raised on another thread would leave the main window usable, so while it is open
// the window thread holds the program's windows disabled.
#include <windows.h>

#include "app/window_layer_win32.h"
#include "common/msgbox.h"

namespace msgbox {

void show(const std::string& text, const std::string& title) {
  const std::wstring wideText = ui::toWide(text), wideTitle = ui::toWide(title);
  const bool elsewhere = !ui::onWindowThread();
  if (elsewhere) ui::holdInput(true);
  MessageBoxW(nullptr, wideText.c_str(), wideTitle.c_str(), MB_OK | MB_TASKMODAL | MB_SETFOREGROUND);
  if (elsewhere) ui::holdInput(false);
}

}  // namespace msgbox
