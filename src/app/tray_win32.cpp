// The notification-area icon and its menu, through the ANSI shell calls: the tooltip is GBK text and its
// limit counts bytes.
#include <windows.h>
#include <shellapi.h>

#include <cstring>

#include "common/codepage_win32.h"
#include "app/resource.h"
#include "app/tray.h"
#include "app/window_layer_win32.h"

namespace tray {
namespace {

HICON gShownImage = nullptr;  // the image of the icon that is meant to be shown, or none
std::string gTooltip;         // and its tooltip
bool gAdded = false;          // whether the shell holds the icon

constexpr UINT_PTR kAddAgainTimer = 0x7A11;  // the retry of an icon the shell did not take
constexpr UINT kAddAgainMs = 1000;

HICON loadTrayImage() {
  return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_TRAY), IMAGE_ICON,
                                       GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                       LR_DEFAULTCOLOR));
}

NOTIFYICONDATAA record(HWND window, HICON image, const std::string& tooltip) {
  NOTIFYICONDATAA nid{};
  nid.cbSize = sizeof(nid);
  nid.hWnd = window;
  nid.uID = kIconId;
  nid.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
  nid.uCallbackMessage = kCallbackMessage;
  nid.hIcon = image;
  // At most the first 62 bytes of the tooltip.
  std::memcpy(nid.szTip, tooltip.data(), tooltip.size() < 62 ? tooltip.size() : 62);
  return nid;
}

void CALLBACK addAgain(HWND, UINT, UINT_PTR, DWORD);

// Adds the icon that is meant to be shown. The shell refuses while Explorer is not running or not ready
// yet (at log-on, when the program starts itself): then it is tried again every second until it takes
// it, as the icon is the only way back to the hidden window.
void addIcon(HWND window) {
  NOTIFYICONDATAA nid = record(window, gShownImage, gTooltip);
  // An icon that is still there from before takes the image and tooltip instead.
  gAdded = Shell_NotifyIconA(NIM_ADD, &nid) || Shell_NotifyIconA(NIM_MODIFY, &nid);
  if (gAdded)
    KillTimer(window, kAddAgainTimer);
  else
    SetTimer(window, kAddAgainTimer, kAddAgainMs, addAgain);
}

void CALLBACK addAgain(HWND window, UINT, UINT_PTR, DWORD) {
  if (gShownImage && !gAdded) addIcon(window);
  if (!gShownImage || gAdded) KillTimer(window, kAddAgainTimer);
}

}  // namespace

void setTrayIcon(Image image, const std::string& tooltip) {
  ui::runOnWindowThread([&] {
    HWND window = ui::windowHandle(ui::Window::Main);
    if (!window) return;
    HICON newImage = image == Image::Tray ? loadTrayImage() : nullptr;
    HICON oldImage = gShownImage;
    gShownImage = newImage;
    gTooltip = tooltip;
    if (!newImage) {
      NOTIFYICONDATAA nid = record(window, nullptr, {});
      if (gAdded) Shell_NotifyIconA(NIM_DELETE, &nid);
      gAdded = false;
      KillTimer(window, kAddAgainTimer);
    } else if (gAdded) {
      NOTIFYICONDATAA nid = record(window, newImage, tooltip);
      Shell_NotifyIconA(NIM_MODIFY, &nid);
    } else {
      addIcon(window);
    }
    if (oldImage) DestroyIcon(oldImage);
  });
}

unsigned taskbarCreatedMessage() {
  static const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
  return message;
}

void restoreTrayIcon() {
  ui::runOnWindowThread([] {
    HWND window = ui::windowHandle(ui::Window::Main);
    if (!window || !gShownImage) return;
    // A new taskbar holds none of the old one's icons.
    gAdded = false;
    addIcon(window);
  });
}

bool trayIconShown() {
  bool shown = false;
  ui::runOnWindowThread([&] { shown = gShownImage != nullptr; });
  return shown;
}

void removeTrayIcon() { setTrayIcon(Image::None); }

void popUpTrayMenu(const MenuItem* items, size_t count) {
  ui::runOnWindowThread([&] {
    HWND window = ui::windowHandle(ui::Window::Main);
    if (!window) return;
    // "托盘菜单" is a top-level menu that no menu bar shows; its items pop up on their own.
    HMENU bar = CreateMenu();
    HMENU menu = CreatePopupMenu();
    for (size_t i = 0; i < count; ++i) AppendMenuW(menu, MF_STRING, items[i].id, codepage::gbkToWide(items[i].caption).c_str());
    AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(menu), codepage::gbkToWide("托盘菜单").c_str());
    // Our window must be foreground before TrackPopupMenu or the menu will not disappear when the user
    // clicks elsewhere.
    SetForegroundWindow(window);
    POINT pt{};
    GetCursorPos(&pt);
    TrackPopupMenu(menu, TPM_RIGHTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, pt.x - 5, pt.y - 5, 0, window, nullptr);
    // Makes the menu's own message loop notice that it is over (the platform's documented remedy).
    PostMessageW(window, WM_NULL, 0, 0);
    DestroyMenu(bar);  // releases the pop-up with it
  });
}

Operation trayOperation(unsigned mouseMessage) {
  switch (mouseMessage) {
    case WM_LBUTTONUP: return Operation::Click;
    case WM_LBUTTONDBLCLK: return Operation::DoubleClick;
    case WM_RBUTTONUP:
    case WM_CONTEXTMENU: return Operation::Menu;
    default: return Operation::None;
  }
}

}  // namespace tray
