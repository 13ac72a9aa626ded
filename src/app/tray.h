// Windows only: the main window's notification-area icon (identifier 100, callback message 0x8064) and
// its pop-up menu "托盘菜单".
#pragma once
#include <cstddef>
#include <string>

namespace tray {

inline constexpr unsigned kIconId = 100;
inline constexpr unsigned kCallbackMessage = 0x8064;
inline constexpr const char* kTooltip = "欢迎使用Kassaro系统";
// Menu item identifiers, in menu order. Far from IDOK, IDCANCEL and the control identifiers: a command
// that a key or a control can also send must never open or end the program.
inline constexpr unsigned kOpenWindowItem = 40001;  // "打开窗口"
inline constexpr unsigned kExitItem = 40002;        // "退出软件"

enum class Image { None, Tray };

// Puts, replaces or removes the icon: with an image the icon is added or its image and tooltip (cut to
// 62 bytes) replaced; without one it is removed. The previous image is released either way.
void setTrayIcon(Image image, const std::string& tooltip = {});
bool trayIconShown();  // whether an icon is meant to be there (the shell may not have taken it yet)
// The message Explorer broadcasts when it (re)starts its taskbar, which then holds none of our icon:
// restoreTrayIcon puts it back with its image and tooltip.
unsigned taskbarCreatedMessage();
void restoreTrayIcon();
// What WM_DESTROY of the main window does: the shell does not remove the icon of a dead window.
void removeTrayIcon();

// One item of "托盘菜单": it builds the menu and carries the command the item stands for.
struct MenuItem {
  unsigned id;
  const char* caption;
  void (*command)();
};

// Pops up "托盘菜单" with these items next to the mouse pointer, owned by the main window; the chosen
// item arrives as WM_COMMAND with its identifier.
void popUpTrayMenu(const MenuItem* items, size_t count);

// What a notification that arrives with the callback message asks for; numbered as in the program's design.
enum class Operation { None = 0, Click = 1, DoubleClick = 2, Menu = 3 };
Operation trayOperation(unsigned mouseMessage);

}  // namespace tray
