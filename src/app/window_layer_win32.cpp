// The window layer on Win32: windows and controls built from the window definitions, found by name,
// and every operation carried out on the window thread.
//
// Controls are children of page windows of our own class (one per tab page) or of the window itself,
// never of the tab control or a group box: those would swallow the WM_COMMAND and WM_NOTIFY that
// carry the controls' events.
#include "app/window_layer_win32.h"

#include <commctrl.h>

#include <initializer_list>
#include <map>
#include <tuple>
#include <vector>

#include "app/resource.h"
#include "app/window_defs.h"
#include "app/window_events.h"
#include "common/codepage_win32.h"

namespace ui {
namespace {

constexpr const wchar_t* kMainClass = L"KassaroMain";
constexpr const wchar_t* kRegistrationClass = L"KassaroRegistration";
constexpr const wchar_t* kPageClass = L"KassaroPage";
constexpr const wchar_t* kDispatchClass = L"KassaroDispatch";
constexpr int kPages = 3;

struct ControlRec {
  const ControlDef* def = nullptr;
  HWND hwnd = nullptr;
  int redrawHolds = 0;
};

struct WindowRec {
  HWND hwnd = nullptr;
  std::map<std::string, ControlRec> controls;
};

// All of this is touched on the window thread only.
DWORD gWindowThread = 0;
HWND gDispatcher = nullptr;
MessageHook gMainHook = nullptr;
WindowRec gWindows[2];
HWND gPages[kPages] = {};
HWND gTab = nullptr;
std::map<HWND, const ControlDef*> gByHandle;
std::map<HWND, InputMode> gInputModes;
WNDPROC gEditProc = nullptr;
HIMAGELIST gListImages = nullptr;
std::map<std::tuple<std::string, int, bool>, HFONT> gFonts;
int gInputHolds = 0;
bool gProgramWriting = false;  // setText at work: its EN_CHANGE is not the user's change

WindowRec& rec(Window w) { return gWindows[w == Window::Main ? 0 : 1]; }

ControlRec* findRec(Window w, const std::string& name) {
  WindowRec& r = rec(w);
  if (!r.hwnd) return nullptr;
  auto it = r.controls.find(name);
  return it == r.controls.end() ? nullptr : &it->second;
}

HWND findKind(Window w, const std::string& name, Kind kind) {
  ControlRec* c = findRec(w, name);
  return c && c->def->kind == kind ? c->hwnd : nullptr;
}

// Runs `work` on the window thread and hands back what it computed.
template <typename T, typename F>
T onWindow(F&& work) {
  T result{};
  runOnWindowThread([&] { result = work(); });
  return result;
}

HFONT font(const Font& f) {
  const std::string face = f.face ? f.face : kWindowFace;
  const int px = f.px ? f.px : kWindowFontPx;
  auto key = std::make_tuple(face, px, f.bold);
  auto it = gFonts.find(key);
  if (it != gFonts.end()) return it->second;
  LOGFONTW lf{};
  lf.lfHeight = -scaled(px);  // character height, not cell height
  lf.lfWeight = f.bold ? FW_BOLD : FW_NORMAL;
  lf.lfCharSet = GB2312_CHARSET;
  lf.lfQuality = CLEARTYPE_QUALITY;
  std::wstring wface = codepage::gbkToWide(face);
  wcsncpy(lf.lfFaceName, wface.c_str(), LF_FACESIZE - 1);
  HFONT h = CreateFontIndirectW(&lf);
  gFonts[key] = h;
  return h;
}

HICON loadIcon(int id, int size) {
  return static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}

HIMAGELIST listImages() {
  if (gListImages) return gListImages;
  const int size = scaled(16);
  gListImages = ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, 2, 0);
  // In the order of kIconAlipay and kIconWeChat; the list views share the set and never destroy it.
  for (int id : {IDI_ALIPAY, IDI_WECHAT}) {
    HICON icon = loadIcon(id, size);
    ImageList_AddIcon(gListImages, icon);
    if (icon) DestroyIcon(icon);
  }
  return gListImages;
}

LRESULT CALLBACK editProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_CHAR) {
    auto it = gInputModes.find(hwnd);
    const bool numbersOnly = it != gInputModes.end() && it->second == InputMode::WholeNumber;
    // Whole-number text: printable characters other than digits and "-" are dropped; control keys
    // (Backspace, Ctrl+C and the like) still reach the edit box.
    if (numbersOnly && wp >= 0x20 && !(wp >= L'0' && wp <= L'9') && wp != L'-') return 0;
  }
  if (msg == WM_NCDESTROY) gInputModes.erase(hwnd);
  return CallWindowProcW(gEditProc, hwnd, msg, wp, lp);
}

void applyInputMode(HWND edit, InputMode mode) {
  gInputModes[edit] = mode;
  SendMessageW(edit, EM_SETPASSWORDCHAR, mode == InputMode::Password ? L'*' : 0, 0);
  InvalidateRect(edit, nullptr, TRUE);
}

void showPage(int page) {
  for (int i = 0; i < kPages; ++i)
    if (gPages[i]) ShowWindow(gPages[i], i == page ? SW_SHOW : SW_HIDE);
}

void dispatchEvent(HWND control, Event e) {
  auto it = gByHandle.find(control);
  if (it == gByHandle.end()) return;
  if (auto handler = boundHandler(it->second->window, it->second->name, e)) handler();
}

// WM_COMMAND from a control of ours, turned into the control's event.
void onCommand(HWND control, UINT code) {
  auto it = gByHandle.find(control);
  if (it == gByHandle.end()) return;
  switch (it->second->kind) {
    case Kind::Button:
    case Kind::CheckBox:
      if (code == BN_CLICKED) dispatchEvent(control, Event::Clicked);
      break;
    case Kind::Edit:
      if (code == EN_CHANGE && !gProgramWriting) dispatchEvent(control, Event::Changed);
      break;
    case Kind::Combo:
      if (code == CBN_SELCHANGE) dispatchEvent(control, Event::Selected);
      break;
    case Kind::Label:
      // A fast second press arrives as a double click; it is a press all the same.
      if (code == STN_CLICKED || code == STN_DBLCLK) dispatchEvent(control, Event::MouseDown);
      break;
    default:
      break;
  }
}

// The controls' parent windows (pages, the registration window, the main window) share this.
bool handleChildMessages(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
  switch (msg) {
    case WM_COMMAND:
      if (lp) {
        onCommand(reinterpret_cast<HWND>(lp), HIWORD(wp));
        *result = 0;
        return true;
      }
      return false;
    case WM_NOTIFY: {
      auto* hdr = reinterpret_cast<NMHDR*>(lp);
      if (hdr->hwndFrom == gTab && hdr->code == TCN_SELCHANGE) {
        showPage(TabCtrl_GetCurSel(gTab));
        *result = 0;
        return true;
      }
      return false;
    }
    case WM_CTLCOLORSTATIC: {
      auto it = gByHandle.find(reinterpret_cast<HWND>(lp));
      if (it != gByHandle.end() && it->second->link) {
        HDC dc = reinterpret_cast<HDC>(wp);
        SetTextColor(dc, RGB(0, 0, 238));
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        *result = reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        return true;
      }
      return false;
    }
    default:
      return false;
  }
}

void forgetWindow(Window w) {
  WindowRec& r = rec(w);
  for (auto& [name, c] : r.controls) gByHandle.erase(c.hwnd);
  r.controls.clear();
  r.hwnd = nullptr;
  if (w == Window::Main) {
    gTab = nullptr;
    for (HWND& p : gPages) p = nullptr;
  }
}

LRESULT CALLBACK mainProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  LRESULT result = 0;
  if (gMainHook && gMainHook(hwnd, msg, wp, lp, &result)) return result;
  if (handleChildMessages(msg, wp, lp, &result)) return result;
  if (msg == WM_NCDESTROY) forgetWindow(Window::Main);
  return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK registrationProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  LRESULT result = 0;
  if (handleChildMessages(msg, wp, lp, &result)) return result;
  if (msg == WM_NCDESTROY) forgetWindow(Window::Registration);
  return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK pageProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  LRESULT result = 0;
  if (handleChildMessages(msg, wp, lp, &result)) return result;
  // A multi-line edit asks its parent to close on Esc; a page lives as long as its window.
  if (msg == WM_CLOSE) return 0;
  return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK dispatchProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WMAPP_RUN) {
    (*reinterpret_cast<const std::function<void()>*>(lp))();
    return 1;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

void registerClass(const wchar_t* name, WNDPROC proc, HICON icon, HICON smallIcon, UINT style = 0) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.style = style;
  wc.lpfnWndProc = proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hIcon = icon;
  wc.hIconSm = smallIcon;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = name;
  RegisterClassExW(&wc);
}

const wchar_t* controlClass(Kind kind) {
  switch (kind) {
    case Kind::Tab: return WC_TABCONTROLW;
    case Kind::GroupBox:
    case Kind::CheckBox:
    case Kind::Button: return WC_BUTTONW;
    case Kind::Edit: return WC_EDITW;
    case Kind::Combo: return WC_COMBOBOXW;
    case Kind::List: return WC_LISTVIEWW;
    case Kind::Label:
    case Kind::MediaPlayer: return WC_STATICW;
  }
  return WC_STATICW;
}

DWORD controlStyle(const ControlDef& d) {
  DWORD style = WS_CHILD | (d.visible ? WS_VISIBLE : 0);
  switch (d.kind) {
    case Kind::Tab: return style | WS_CLIPSIBLINGS | TCS_TABS;
    case Kind::Label: return style | (d.wrap ? SS_LEFT : SS_LEFTNOWORDWRAP) | SS_NOTIFY;
    case Kind::MediaPlayer: return style;
    case Kind::GroupBox: return style | BS_GROUPBOX;
    case Kind::CheckBox: return style | WS_TABSTOP | BS_AUTOCHECKBOX;
    case Kind::Button: return style | WS_TABSTOP | BS_PUSHBUTTON;
    case Kind::Edit:
      return style | WS_TABSTOP | (d.multiline ? ES_MULTILINE | ES_AUTOVSCROLL : ES_AUTOHSCROLL);
    case Kind::Combo: return style | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST;
    case Kind::List:
      return style | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS | LVS_SINGLESEL | LVS_SHAREIMAGELISTS;
  }
  return style;
}

void setupList(HWND list, const ControlDef& d) {
  ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
  ListView_SetImageList(list, listImages(), LVSIL_SMALL);
  if (d.font.bold) {
    // Bold is for the bill rows; the column captions in the same face at normal weight fit their widths.
    Font captions = d.font;
    captions.bold = false;
    SendMessageW(ListView_GetHeader(list), WM_SETFONT, reinterpret_cast<WPARAM>(font(captions)), FALSE);
  }
  for (size_t i = 0; i < d.columns.size(); ++i) {
    const Column& c = d.columns[i];
    std::wstring caption = codepage::gbkToWide(c.caption);
    LVCOLUMNW col{};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT | LVCF_SUBITEM;
    col.fmt = c.align == Align::Centre ? LVCFMT_CENTER : LVCFMT_LEFT;
    col.cx = scaled(c.width);
    col.pszText = caption.data();
    col.iSubItem = static_cast<int>(i);
    SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&col));
  }
  for (const auto& cells : d.rows) {
    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_IMAGE;
    item.iItem = ListView_GetItemCount(list);
    item.iImage = 0;
    item.pszText = const_cast<wchar_t*>(L"");
    int row = static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    for (size_t c = 0; c < cells.size(); ++c) {
      std::wstring t = codepage::gbkToWide(cells[c]);
      LVITEMW sub{};
      sub.iSubItem = static_cast<int>(c);
      sub.pszText = t.data();
      SendMessageW(list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&sub));
    }
  }
}

void setupCombo(HWND combo, const ControlDef& d) {
  for (const std::string& item : d.items) {
    std::wstring t = codepage::gbkToWide(item);
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(t.c_str()));
  }
  // The closed box has the design height; the height it was created with is the drop-down part. The
  // field's height is set and the outcome measured, since the border differs with the theme.
  // (Wine reads back a field height other than the one written: correct what was written.)
  const int want = scaled(d.rect.h);
  int field = static_cast<int>(SendMessageW(combo, CB_GETITEMHEIGHT, -1, 0));
  for (int attempt = 0; attempt < 3; ++attempt) {
    RECT r;
    GetWindowRect(combo, &r);
    const int off = (r.bottom - r.top) - want;
    if (off == 0 || field - off <= 0) break;
    field -= off;
    SendMessageW(combo, CB_SETITEMHEIGHT, -1, field);
  }
}

void createTab(HWND parent, const ControlDef& d, WindowRec& r) {
  const Rect g = d.rect;
  HWND tab = CreateWindowExW(0, WC_TABCONTROLW, L"", controlStyle(d), scaled(g.x), scaled(g.y), scaled(g.w),
                             scaled(g.h), parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(controlId(d.window, d.name))),
                             GetModuleHandleW(nullptr), nullptr);
  SendMessageW(tab, WM_SETFONT, reinterpret_cast<WPARAM>(font(d.font)), FALSE);
  for (size_t i = 0; i < d.items.size(); ++i) {
    std::wstring caption = codepage::gbkToWide(d.items[i]);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = caption.data();
    SendMessageW(tab, TCM_INSERTITEMW, i, reinterpret_cast<LPARAM>(&item));
  }
  gTab = tab;
  r.controls[d.name] = ControlRec{&d, tab};
  gByHandle[tab] = &d;

  // Each page is a window of ours over the tab's display area, above the tab in the z-order.
  RECT area{0, 0, scaled(g.w), scaled(g.h)};
  TabCtrl_AdjustRect(tab, FALSE, &area);
  for (int i = 0; i < kPages; ++i) {
    gPages[i] = CreateWindowExW(WS_EX_CONTROLPARENT, kPageClass, L"", WS_CHILD | WS_CLIPSIBLINGS,
                                scaled(g.x) + area.left, scaled(g.y) + area.top, area.right - area.left,
                                area.bottom - area.top, parent, nullptr, GetModuleHandleW(nullptr), nullptr);
    SetWindowPos(gPages[i], HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    // Page coordinates start at the tab control's corner, tab strip included.
    SetWindowLongPtrW(gPages[i], GWLP_USERDATA, MAKELONG(area.left, area.top));
  }
  showPage(0);
}

void createControl(HWND windowHwnd, const ControlDef& d, WindowRec& r) {
  const int id = controlId(d.window, d.name);
  HWND parent = windowHwnd;
  int offsetX = 0, offsetY = 0;
  if (d.page >= 0 && gPages[d.page]) {
    parent = gPages[d.page];
    LONG_PTR origin = GetWindowLongPtrW(parent, GWLP_USERDATA);
    offsetX = static_cast<short>(LOWORD(origin));
    offsetY = static_cast<short>(HIWORD(origin));
  }
  const Rect g = pageRect(d);
  const int height = d.kind == Kind::Combo ? d.rect.h + d.dropHeight : g.h;
  const DWORD exStyle = (d.kind == Kind::Edit || d.kind == Kind::List) ? WS_EX_CLIENTEDGE : 0;
  std::wstring caption = d.kind == Kind::Edit || d.kind == Kind::Label || d.kind == Kind::GroupBox ||
                                 d.kind == Kind::Button || d.kind == Kind::CheckBox
                             ? codepage::gbkToWide(d.text)
                             : std::wstring();
  HWND h = CreateWindowExW(exStyle, controlClass(d.kind), caption.c_str(), controlStyle(d),
                           scaled(g.x) - offsetX, scaled(g.y) - offsetY, scaled(g.w), scaled(height), parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr),
                           nullptr);
  SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font(d.font)), FALSE);
  r.controls[d.name] = ControlRec{&d, h};
  gByHandle[h] = &d;
  switch (d.kind) {
    case Kind::CheckBox:
      SendMessageW(h, BM_SETCHECK, d.checked ? BST_CHECKED : BST_UNCHECKED, 0);
      break;
    case Kind::Edit: {
      WNDPROC original = reinterpret_cast<WNDPROC>(
          SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(editProc)));
      if (!gEditProc) gEditProc = original;
      applyInputMode(h, d.inputMode);
      break;
    }
    case Kind::Combo:
      setupCombo(h, d);
      break;
    case Kind::List:
      setupList(h, d);
      break;
    default:
      break;
  }
}

void createOnWindowThread(Window w) {
  WindowRec& r = rec(w);
  if (r.hwnd) {
    ShowWindow(r.hwnd, SW_SHOW);
    SetForegroundWindow(r.hwnd);
    return;
  }
  const WindowDef& wd = windowDef(w);
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN |
                      (w == Window::Main ? WS_MINIMIZEBOX : 0);
  std::wstring title = codepage::gbkToWide(wd.title);
  HWND hwnd = CreateWindowExW(WS_EX_CONTROLPARENT, w == Window::Main ? kMainClass : kRegistrationClass,
                              title.c_str(), style, scaled(wd.rect.x), scaled(wd.rect.y), scaled(wd.rect.w),
                              scaled(wd.rect.h), nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (!hwnd) return;
  r.hwnd = hwnd;
  for (const ControlDef& d : controlDefs(w)) {
    if (d.kind == Kind::Tab)
      createTab(hwnd, d, r);
    else
      createControl(hwnd, d, r);
  }
  if (auto created = boundHandler(w, "", Event::Created)) created();
  if (rec(w).hwnd == hwnd) {
    ShowWindow(hwnd, SW_SHOW);
    UpdateWindow(hwnd);
  }
}

}  // namespace

int systemDpi() {
  static const int dpi = [] {
    HDC dc = GetDC(nullptr);
    int v = dc ? GetDeviceCaps(dc, LOGPIXELSX) : 96;
    if (dc) ReleaseDC(nullptr, dc);
    return v > 0 ? v : 96;
  }();
  return dpi;
}

int scaled(int designPixels) { return MulDiv(designPixels, systemDpi(), 96); }

void startWindowThread() {
  if (gWindowThread) return;
  gWindowThread = GetCurrentThreadId();
  INITCOMMONCONTROLSEX icc{};
  icc.dwSize = sizeof(icc);
  icc.dwICC = ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES;
  InitCommonControlsEx(&icc);
  const int big = GetSystemMetrics(SM_CXICON), small = GetSystemMetrics(SM_CXSMICON);
  registerClass(kMainClass, mainProc, loadIcon(IDI_MAIN, big), loadIcon(IDI_TRAY, small));
  registerClass(kRegistrationClass, registrationProc, loadIcon(IDI_TRAY, big), loadIcon(IDI_TRAY, small));
  registerClass(kPageClass, pageProc, nullptr, nullptr);
  registerClass(kDispatchClass, dispatchProc, nullptr, nullptr);
  gDispatcher = CreateWindowExW(0, kDispatchClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
}

bool onWindowThread() { return gWindowThread == GetCurrentThreadId(); }

void runOnWindowThread(const std::function<void()>& work) {
  if (!gWindowThread) startWindowThread();
  if (onWindowThread()) {
    work();
    return;
  }
  // One synchronous hop: the window thread runs the whole update before it reads its next message.
  SendMessageW(gDispatcher, WMAPP_RUN, 0, reinterpret_cast<LPARAM>(&work));
}

void processPendingMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void setMainWindowHook(MessageHook hook) { gMainHook = hook; }

HWND windowHandle(Window w) {
  return onWindow<HWND>([&] { return rec(w).hwnd; });
}

HWND controlHandle(Window w, const std::string& control) {
  return onWindow<HWND>([&]() -> HWND {
    ControlRec* c = findRec(w, control);
    return c ? c->hwnd : nullptr;
  });
}

HWND pageHandle(int page) {
  return onWindow<HWND>([&]() -> HWND { return page >= 0 && page < kPages ? gPages[page] : nullptr; });
}

void holdInput(bool hold) {
  if (!gWindowThread) return;  // no windows to hold
  runOnWindowThread([&] {
    gInputHolds += hold ? 1 : -1;
    if (gInputHolds == (hold ? 1 : 0)) {
      for (WindowRec& r : gWindows)
        if (r.hwnd) EnableWindow(r.hwnd, hold ? FALSE : TRUE);
    }
  });
}

void createWindow(Window w) {
  runOnWindowThread([&] { createOnWindowThread(w); });
}

void destroyWindow(Window w) {
  runOnWindowThread([&] {
    if (HWND h = rec(w).hwnd) DestroyWindow(h);
  });
}

bool windowExists(Window w) {
  return onWindow<bool>([&] { return rec(w).hwnd != nullptr; });
}

void raiseEvent(Window w, const std::string& control, Event e) {
  if (auto handler = boundHandler(w, control, e)) runOnWindowThread(handler);
}

void setWindowVisible(Window w, bool visible) {
  runOnWindowThread([&] {
    if (HWND h = rec(w).hwnd) ShowWindow(h, visible ? SW_SHOW : SW_HIDE);
  });
}

bool windowVisible(Window w) {
  return onWindow<bool>([&] { return rec(w).hwnd && IsWindowVisible(rec(w).hwnd); });
}

void setWindowState(Window w, WindowCommand command) {
  runOnWindowThread([&] {
    HWND h = rec(w).hwnd;
    if (!h || !IsWindowVisible(h)) return;
    switch (command) {
      case WindowCommand::ShowNormal:
        ShowWindow(h, SW_SHOWNORMAL);
        break;
      case WindowCommand::RestoreCentred: {
        if (IsIconic(h) || IsZoomed(h)) ShowWindow(h, SW_RESTORE);
        RECT r;
        GetWindowRect(h, &r);
        const int width = r.right - r.left, height = r.bottom - r.top;
        SetWindowPos(h, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                     (GetSystemMetrics(SM_CYSCREEN) - height) / 2, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        break;
      }
      case WindowCommand::Minimise:
        ShowWindow(h, SW_MINIMIZE);
        break;
      case WindowCommand::Maximise:
        ShowWindow(h, SW_MAXIMIZE);
        break;
    }
  });
}

WindowState windowState(Window w) {
  return onWindow<WindowState>([&] {
    HWND h = rec(w).hwnd;
    if (!h) return WindowState::Normal;
    return IsIconic(h) ? WindowState::Minimised : IsZoomed(h) ? WindowState::Maximised : WindowState::Normal;
  });
}

void setVisible(Window w, const std::string& control, bool visible) {
  runOnWindowThread([&] {
    if (ControlRec* c = findRec(w, control)) ShowWindow(c->hwnd, visible ? SW_SHOW : SW_HIDE);
  });
}

bool isVisible(Window w, const std::string& control) {
  // The control's own flag: a control on a page that is not shown still counts as visible.
  return onWindow<bool>([&] {
    ControlRec* c = findRec(w, control);
    return c && (GetWindowLongW(c->hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
  });
}

void setEnabled(Window w, const std::string& control, bool enabled) {
  runOnWindowThread([&] {
    if (ControlRec* c = findRec(w, control)) EnableWindow(c->hwnd, enabled);
  });
}

bool isEnabled(Window w, const std::string& control) {
  return onWindow<bool>([&] {
    ControlRec* c = findRec(w, control);
    return c && IsWindowEnabled(c->hwnd);
  });
}

void setText(Window w, const std::string& control, const std::string& text) {
  runOnWindowThread([&] {
    ControlRec* c = findRec(w, control);
    if (!c || c->def->kind == Kind::List || c->def->kind == Kind::Tab || c->def->kind == Kind::Combo) return;
    gProgramWriting = true;
    SetWindowTextW(c->hwnd, codepage::gbkToWide(text).c_str());
    gProgramWriting = false;
  });
}

std::string text(Window w, const std::string& control) {
  return onWindow<std::string>([&]() -> std::string {
    ControlRec* c = findRec(w, control);
    if (!c) return {};
    if (c->def->kind == Kind::Combo) {
      int sel = static_cast<int>(SendMessageW(c->hwnd, CB_GETCURSEL, 0, 0));
      if (sel < 0) return {};
      std::wstring t(SendMessageW(c->hwnd, CB_GETLBTEXTLEN, sel, 0) + 1, L'\0');
      int n = static_cast<int>(SendMessageW(c->hwnd, CB_GETLBTEXT, sel, reinterpret_cast<LPARAM>(t.data())));
      t.resize(n > 0 ? n : 0);
      return codepage::wideToGbk(t);
    }
    if (c->def->kind == Kind::List || c->def->kind == Kind::Tab) return {};
    std::wstring t(GetWindowTextLengthW(c->hwnd) + 1, L'\0');
    t.resize(GetWindowTextW(c->hwnd, t.data(), static_cast<int>(t.size())));
    return codepage::wideToGbk(t);
  });
}

void setInputMode(Window w, const std::string& control, InputMode mode) {
  runOnWindowThread([&] {
    if (HWND h = findKind(w, control, Kind::Edit)) applyInputMode(h, mode);
  });
}

InputMode inputMode(Window w, const std::string& control) {
  return onWindow<InputMode>([&] {
    HWND h = findKind(w, control, Kind::Edit);
    auto it = gInputModes.find(h);
    return h && it != gInputModes.end() ? it->second : InputMode::Normal;
  });
}

void setChecked(Window w, const std::string& control, bool checked) {
  runOnWindowThread([&] {
    if (HWND h = findKind(w, control, Kind::CheckBox))
      SendMessageW(h, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  });
}

bool isChecked(Window w, const std::string& control) {
  return onWindow<bool>([&] {
    HWND h = findKind(w, control, Kind::CheckBox);
    return h && SendMessageW(h, BM_GETCHECK, 0, 0) == BST_CHECKED;
  });
}

void setCurrentIndex(Window w, const std::string& control, int index) {
  runOnWindowThread([&] {
    ControlRec* c = findRec(w, control);
    if (!c) return;
    if (c->def->kind == Kind::Combo) {
      // An index outside the items clears the selection, as Windows documents it (Wine keeps the old).
      const int count = static_cast<int>(SendMessageW(c->hwnd, CB_GETCOUNT, 0, 0));
      SendMessageW(c->hwnd, CB_SETCURSEL, index >= 0 && index < count ? index : -1, 0);
    } else if (c->def->kind == Kind::Tab) {
      if (index < 0 || index >= TabCtrl_GetItemCount(c->hwnd)) return;
      TabCtrl_SetCurSel(c->hwnd, index);
      showPage(index);
    }
  });
}

int currentIndex(Window w, const std::string& control) {
  return onWindow<int>([&] {
    ControlRec* c = findRec(w, control);
    if (!c) return -1;
    if (c->def->kind == Kind::Combo) return static_cast<int>(SendMessageW(c->hwnd, CB_GETCURSEL, 0, 0));
    if (c->def->kind == Kind::Tab) return TabCtrl_GetCurSel(c->hwnd);
    return -1;
  });
}

int rowCount(Window w, const std::string& list) {
  return onWindow<int>([&] {
    HWND h = findKind(w, list, Kind::List);
    return h ? ListView_GetItemCount(h) : 0;
  });
}

int columnCount(Window w, const std::string& list) {
  return onWindow<int>([&] {
    HWND h = findKind(w, list, Kind::List);
    return h ? Header_GetItemCount(ListView_GetHeader(h)) : 0;
  });
}

int appendRow(Window w, const std::string& list, int icon) {
  return onWindow<int>([&] {
    HWND h = findKind(w, list, Kind::List);
    if (!h) return -1;
    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_IMAGE;
    item.iItem = ListView_GetItemCount(h);
    item.iImage = icon;
    item.pszText = const_cast<wchar_t*>(L"");
    return static_cast<int>(SendMessageW(h, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
  });
}

int rowIcon(Window w, const std::string& list, int row) {
  return onWindow<int>([&] {
    HWND h = findKind(w, list, Kind::List);
    if (!h || row < 0 || row >= ListView_GetItemCount(h)) return -1;
    LVITEMW item{};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    SendMessageW(h, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    return item.iImage;
  });
}

void setCell(Window w, const std::string& list, int row, int column, const std::string& text) {
  runOnWindowThread([&] {
    HWND h = findKind(w, list, Kind::List);
    if (!h || row < 0 || row >= ListView_GetItemCount(h)) return;
    if (column < 0 || column >= Header_GetItemCount(ListView_GetHeader(h))) return;
    std::wstring t = codepage::gbkToWide(text);
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = t.data();
    SendMessageW(h, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
  });
}

std::string cell(Window w, const std::string& list, int row, int column) {
  return onWindow<std::string>([&]() -> std::string {
    HWND h = findKind(w, list, Kind::List);
    if (!h || row < 0 || row >= ListView_GetItemCount(h)) return {};
    if (column < 0 || column >= Header_GetItemCount(ListView_GetHeader(h))) return {};
    // The list view copies at most the buffer's size and says how much it copied: grow until it fits.
    for (int size = 256;; size *= 4) {
      std::wstring buffer(size, L'\0');
      LVITEMW item{};
      item.iSubItem = column;
      item.pszText = buffer.data();
      item.cchTextMax = size;
      int n = static_cast<int>(SendMessageW(h, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item)));
      if (n < size - 1 || size > (1 << 24)) {
        buffer.resize(n);
        return codepage::wideToGbk(buffer);
      }
    }
  });
}

void clearRows(Window w, const std::string& list) {
  runOnWindowThread([&] {
    if (HWND h = findKind(w, list, Kind::List)) ListView_DeleteAllItems(h);
  });
}

void setRedraw(Window w, const std::string& list, bool redraw) {
  runOnWindowThread([&] {
    ControlRec* c = findRec(w, list);
    if (!c || c->def->kind != Kind::List) return;
    c->redrawHolds += redraw ? -1 : 1;
    if (!redraw && c->redrawHolds == 1) SendMessageW(c->hwnd, WM_SETREDRAW, FALSE, 0);
    if (redraw && c->redrawHolds == 0) {
      SendMessageW(c->hwnd, WM_SETREDRAW, TRUE, 0);
      InvalidateRect(c->hwnd, nullptr, TRUE);
    }
  });
}

}  // namespace ui
