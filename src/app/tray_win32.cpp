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

HICON gShownImage = nullptr;  // the image of the icon that is shown, or none
bool gShown = false;

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

}  // namespace

void setTrayIcon(Image image, const std::string& tooltip) {
  ui::runOnWindowThread([&] {
    HWND window = ui::windowHandle(ui::Window::Main);
    if (!window) return;
    HICON newImage = image == Image::Tray ? loadTrayImage() : nullptr;
    NOTIFYICONDATAA nid = record(window, newImage, tooltip);
    if (gShown) {
      Shell_NotifyIconA(newImage ? NIM_MODIFY : NIM_DELETE, &nid);
    } else if (newImage) {
      Shell_NotifyIconA(NIM_ADD, &nid);
    }
    if (gShownImage) DestroyIcon(gShownImage);
    gShownImage = newImage;
    gShown = newImage != nullptr;
  });
}

bool trayIconShown() {
  bool shown = false;
  ui::runOnWindowThread([&] { shown = gShown; });
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
