// The window layer on Win32, building: windows and controls made from the window definitions, with
// their fonts, images and the edit boxes' input filter, and the window thread set up.
//
// Controls are children of page windows of our own class (one per tab page) or of the window itself,
// never of the tab control or a group box: those would swallow the WM_COMMAND and WM_NOTIFY that
// carry the controls' events.
#include "app/window_layer_internal_win32.h"

#include <commctrl.h>

#include <initializer_list>
#include <vector>

#include "app/resource.h"
#include "common/codepage_win32.h"

namespace ui {
namespace layer {

LayerState& layerState() {
  static LayerState state;
  return state;
}

namespace {

WNDPROC gEditProc = nullptr;
HIMAGELIST gListImages = nullptr;
std::map<std::tuple<std::string, int, bool>, HFONT> gFonts;

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
    const auto& modes = layerState().inputModes;
    auto it = modes.find(hwnd);
    const bool numbersOnly = it != modes.end() && it->second == InputMode::WholeNumber;
    // Whole-number text: printable characters other than digits and "-" are dropped; control keys
    // (Backspace, Ctrl+C and the like) still reach the edit box.
    if (numbersOnly && wp >= 0x20 && !(wp >= L'0' && wp <= L'9') && wp != L'-') return 0;
  }
  if (msg == WM_NCDESTROY) layerState().inputModes.erase(hwnd);
  return CallWindowProcW(gEditProc, hwnd, msg, wp, lp);
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
    const int row = insertRow(list, kIconAlipay);
    for (size_t c = 0; c < cells.size(); ++c) writeCell(list, row, static_cast<int>(c), cells[c]);
  }}

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
  layerState().tab = tab;
  r.controls[d.name] = ControlRec{&d, tab};
  layerState().byHandle[tab] = &d;

  // Each page is a window of ours over the tab's display area, above the tab in the z-order.
  RECT area{0, 0, scaled(g.w), scaled(g.h)};
  TabCtrl_AdjustRect(tab, FALSE, &area);
  for (HWND& page : layerState().pages) {
    page = CreateWindowExW(WS_EX_CONTROLPARENT, kPageClass, L"", WS_CHILD | WS_CLIPSIBLINGS,
                           scaled(g.x) + area.left, scaled(g.y) + area.top, area.right - area.left,
                           area.bottom - area.top, parent, nullptr, GetModuleHandleW(nullptr), nullptr);
    SetWindowPos(page, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    // Page coordinates start at the tab control's corner, tab strip included.
    SetWindowLongPtrW(page, GWLP_USERDATA, MAKELONG(area.left, area.top));
  }
  showPage(0);
}

void createControl(HWND windowHwnd, const ControlDef& d, WindowRec& r) {
  const int id = controlId(d.window, d.name);
  HWND parent = windowHwnd;
  int offsetX = 0, offsetY = 0;
  if (d.page >= 0 && layerState().pages[d.page]) {
    parent = layerState().pages[d.page];
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
  layerState().byHandle[h] = &d;
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
  SendMessageW(hwnd, WMAPP_CREATED, static_cast<WPARAM>(w), 0);
  if (rec(w).hwnd == hwnd) {
    ShowWindow(hwnd, SW_SHOW);
    UpdateWindow(hwnd);
  }
}

}  // namespace

void applyInputMode(HWND edit, InputMode mode) {
  layerState().inputModes[edit] = mode;
  SendMessageW(edit, EM_SETPASSWORDCHAR, mode == InputMode::Password ? L'*' : 0, 0);
  InvalidateRect(edit, nullptr, TRUE);
}

void showPage(int page) {
  const HWND* pages = layerState().pages;
  for (int i = 0; i < kPages; ++i)
    if (pages[i]) ShowWindow(pages[i], i == page ? SW_SHOW : SW_HIDE);
}

int insertRow(HWND list, int icon) {
  LVITEMW item{};
  item.mask = LVIF_TEXT | LVIF_IMAGE;
  item.iItem = ListView_GetItemCount(list);
  item.iImage = icon;
  item.pszText = const_cast<wchar_t*>(L"");
  return static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
}

void writeCell(HWND list, int row, int column, const std::string& text) {
  std::wstring t = codepage::gbkToWide(text);
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = t.data();
  SendMessageW(list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
}

bool holdsCell(HWND list, int row, int column) {
  return row >= 0 && row < ListView_GetItemCount(list) && column >= 0 &&
         column < Header_GetItemCount(ListView_GetHeader(list));
}

}  // namespace layer

using namespace layer;

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

void startWindowThread(WNDPROC mainWindowProc) {
  if (layerState().windowThread) return;
  layerState().windowThread = GetCurrentThreadId();
  INITCOMMONCONTROLSEX icc{};
  icc.dwSize = sizeof(icc);
  icc.dwICC = ICC_TAB_CLASSES | ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES;
  InitCommonControlsEx(&icc);
  const int big = GetSystemMetrics(SM_CXICON), small = GetSystemMetrics(SM_CXSMICON);
  registerClass(kMainClass, mainWindowProc ? mainWindowProc : windowProcedure, loadIcon(IDI_MAIN, big), loadIcon(IDI_TRAY, small));
  registerClass(kRegistrationClass, windowProcedure, loadIcon(IDI_TRAY, big), loadIcon(IDI_TRAY, small));
  registerClass(kPageClass, pageProc, nullptr, nullptr);
  registerClass(kDispatchClass, dispatchProc, nullptr, nullptr);
  layerState().dispatcher = CreateWindowExW(0, kDispatchClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
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

}  // namespace ui
