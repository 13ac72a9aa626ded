// The probe's view of the target program: its processes and windows, its controls found through the
// window definitions, and the cross-process reads that common controls need.
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>
#include <shellapi.h>

#include <cstdio>
#include <cwctype>

#include "common/codepage_win32.h"
#include "app/tray.h"
#include "app/window_layer_win32.h"
#include "probe/probe.h"

namespace probe {
namespace {

std::wstring className(HWND h) {
  wchar_t name[128] = {};
  GetClassNameW(h, name, 128);
  return name;
}

bool sameTextIgnoringCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  return true;
}

std::wstring gDesktopName;
bool gOnDesktop = false;

// A thread without windows or hooks may change its desktop; the probe's thread never makes any.
void moveToProgramDesktop() {
  if (gOnDesktop || gDesktopName.empty()) return;
  if (HDESK desk = OpenDesktopW(gDesktopName.c_str(), 0, FALSE, GENERIC_ALL)) {
    gOnDesktop = SetThreadDesktop(desk) != FALSE;
    if (!gOnDesktop) CloseDesktop(desk);
  }
}

bool isBoxOrMenu(const std::wstring& cls) { return cls == L"#32770" || cls == L"#32768"; }

struct ChildSearch {
  int id;
  const wchar_t* cls;
  HWND found;
};

BOOL CALLBACK matchChild(HWND h, LPARAM lp) {
  auto* s = reinterpret_cast<ChildSearch*>(lp);
  if (GetDlgCtrlID(h) == s->id && className(h) == s->cls) {
    s->found = h;
    return FALSE;
  }
  return TRUE;
}

struct TopSearch {
  const std::vector<DWORD>* pids;
  std::vector<TopWindow>* out;
  bool otherDesktop = false;  // there IsWindowVisible looks at a desktop window we cannot see
};

BOOL CALLBACK collectTop(HWND h, LPARAM lp) {
  auto* s = reinterpret_cast<TopSearch*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  for (DWORD p : *s->pids) {
    if (p != pid) continue;
    TopWindow t;
    t.hwnd = h;
    t.pid = pid;
    t.cls = className(h);
    std::wstring title(GetWindowTextLengthW(h) + 1, L'\0');
    title.resize(GetWindowTextW(h, title.data(), static_cast<int>(title.size())));
    t.title = title;
    t.visible = s->otherDesktop ? (GetWindowLongW(h, GWL_STYLE) & WS_VISIBLE) != 0 : IsWindowVisible(h) != FALSE;
    s->out->push_back(t);
    break;
  }
  return TRUE;
}

HWND pickWindow(const std::vector<TopWindow>& windows, const std::wstring& title) {
  HWND hidden = nullptr;
  for (const TopWindow& t : windows) {
    if (t.title != title || isBoxOrMenu(t.cls)) continue;
    if (t.visible) return t.hwnd;
    if (!hidden) hidden = t.hwnd;
  }
  return hidden;
}

// A control's rectangle in the coordinates its definition uses for a page: from the tab control's
// top-left corner for controls on a page, from the client area's corner for the others.
RECT designRect(const Control& c) {
  RECT r{};
  GetWindowRect(c.hwnd, &r);
  POINT origin{0, 0};
  if (c.def->page >= 0) {
    for (const ui::ControlDef& d : ui::controlDefs(c.def->window)) {
      if (d.kind != ui::Kind::Tab) continue;
      HWND tab = childControl(c.top, d);
      RECT tr{};
      if (tab && GetWindowRect(tab, &tr)) origin = POINT{tr.left, tr.top};
    }
  } else {
    ClientToScreen(c.top, &origin);
  }
  return RECT{r.left - origin.x, r.top - origin.y, r.right - r.left, r.bottom - r.top};
}

std::string rectJson(const RECT& r) {  // left, top, width, height
  return "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
         std::to_string(r.bottom) + "]";
}

std::string textArray(const std::vector<std::wstring>& texts) {
  std::vector<std::string> items;
  for (const std::wstring& t : texts) items.push_back(quoted(t));
  return array(items);
}

}  // namespace

// ---- text ----

std::string utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::wstring fromUtf8(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// The program's own conversions, so that the probe reads its texts exactly as it writes them.
std::wstring fromGbk(const std::string& s) { return codepage::gbkToWide(s); }
std::string toGbk(const std::wstring& w) { return codepage::wideToGbk(w); }

// ---- JSON ----

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char ch : text) {
    switch (ch) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (ch < 0x20) {
          char esc[8];
          snprintf(esc, sizeof(esc), "\\u%04x", ch);
          out += esc;
        } else {
          out += static_cast<char>(ch);
        }
    }
  }
  return out + "\"";
}

std::string quoted(const std::wstring& text) { return quoted(utf8(text)); }

Json& Json::field(const char* key, const std::string& value) {
  if (!body_.empty()) body_ += ",";
  body_ += quoted(std::string(key)) + ":" + value;
  return *this;
}
Json& Json::add(const char* key, const std::wstring& text) { return field(key, quoted(text)); }
Json& Json::add(const char* key, const char* utf8Text) { return field(key, quoted(std::string(utf8Text))); }
Json& Json::add(const char* key, long long number) { return field(key, std::to_string(number)); }
Json& Json::add(const char* key, bool value) { return field(key, value ? "true" : "false"); }
Json& Json::raw(const char* key, const std::string& json) { return field(key, json); }

std::string array(const std::vector<std::string>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) out += (i ? "," : "") + values[i];
  return out + "]";
}

// ---- processes and windows ----

std::vector<DWORD> kassaroProcesses(const Options& options) {
  std::vector<DWORD> pids;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return pids;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snap, &entry); more; more = Process32NextW(snap, &entry)) {
    if (!sameTextIgnoringCase(entry.szExeFile, L"Kassaro.exe")) continue;
    if (options.pid && entry.th32ProcessID != options.pid) continue;
    pids.push_back(entry.th32ProcessID);
  }
  CloseHandle(snap);
  return pids;
}

void setProgramDesktop(const std::wstring& name) {
  gDesktopName = name;
  moveToProgramDesktop();
}

bool onProgramDesktop() {
  moveToProgramDesktop();
  return gOnDesktop || gDesktopName.empty();
}

std::vector<TopWindow> topWindows(const Options& options) {
  std::vector<TopWindow> out;
  if (!onProgramDesktop()) return out;
  std::vector<DWORD> pids = kassaroProcesses(options);
  if (pids.empty()) return out;
  TopSearch s{&pids, &out};
  EnumWindows(collectTop, reinterpret_cast<LPARAM>(&s));
  // Under Wine a thread that the program starts before its first window lives on the default desktop,
  // not on the one the program was started on, so message boxes shown from the server link's thread
  // are found there. (Windows puts every thread of a process on the process's desktop.)
  if (!gDesktopName.empty() && !sameTextIgnoringCase(gDesktopName, L"Default")) {
    if (HDESK other = OpenDesktopW(L"Default", 0, FALSE, GENERIC_ALL)) {
      s.otherDesktop = true;
      EnumDesktopWindows(other, collectTop, reinterpret_cast<LPARAM>(&s));
      CloseDesktop(other);
    }
  }
  return out;
}

bool parseWindowName(const std::wstring& name, ui::Window* w) {
  if (name == L"主窗口" || name == L"main") {
    *w = ui::Window::Main;
    return true;
  }
  if (name == L"注册" || name == L"注册窗口" || name == L"registration") {
    *w = ui::Window::Registration;
    return true;
  }
  return false;
}

std::wstring windowTitle(ui::Window w) { return fromGbk(ui::windowDef(w).title); }

HWND findWindow(ui::Window w, const Options& options) { return findWindowTitled(windowTitle(w), options); }

HWND findWindowTitled(const std::wstring& title, const Options& options) {
  return pickWindow(topWindows(options), title);
}

const wchar_t* expectedClass(ui::Kind kind) {
  switch (kind) {
    case ui::Kind::Tab: return L"SysTabControl32";
    case ui::Kind::Label:
    case ui::Kind::MediaPlayer: return L"Static";
    case ui::Kind::GroupBox:
    case ui::Kind::CheckBox:
    case ui::Kind::Button: return L"Button";
    case ui::Kind::Edit: return L"Edit";
    case ui::Kind::Combo: return L"ComboBox";
    case ui::Kind::List: return L"SysListView32";
  }
  return L"";
}

const char* kindName(ui::Kind kind) {
  switch (kind) {
    case ui::Kind::Tab: return "tab";
    case ui::Kind::Label: return "label";
    case ui::Kind::GroupBox: return "group";
    case ui::Kind::CheckBox: return "check";
    case ui::Kind::Button: return "button";
    case ui::Kind::Edit: return "edit";
    case ui::Kind::Combo: return "combo";
    case ui::Kind::List: return "list";
    case ui::Kind::MediaPlayer: return "media";
  }
  return "";
}

Control findControl(ui::Window w, const std::wstring& name, const Options& options) {
  Control c;
  c.def = ui::findControlDef(w, toGbk(name));
  if (!c.def) throw Failure{kUsage, "no control named " + utf8(name) + " in that window's definition"};
  c.top = findWindow(w, options);
  if (!c.top) throw Failure{kNotFound, "window not found: " + utf8(windowTitle(w))};
  c.hwnd = childControl(c.top, *c.def);
  if (!c.hwnd) throw Failure{kNotFound, "control not found: " + utf8(name)};
  return c;
}

HWND childControl(HWND top, const ui::ControlDef& def) {
  ChildSearch s{ui::controlId(def.window, def.name), expectedClass(def.kind), nullptr};
  EnumChildWindows(top, matchChild, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

bool trayIconThere(HWND owner) {
  NOTIFYICONDATAW nid{};
  nid.cbSize = sizeof(nid);
  nid.hWnd = owner;
  nid.uID = tray::kIconId;
  nid.uFlags = 0;
  return Shell_NotifyIconW(NIM_MODIFY, &nid) != FALSE;
}

// ---- the mouse and the taskbar ----

namespace {

// A point on the screen as SendInput's absolute mouse positions take it.
INPUT mouseInput(int x, int y, DWORD flags) {
  INPUT in{};
  in.type = INPUT_MOUSE;
  in.mi.dx = MulDiv(x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
  in.mi.dy = MulDiv(y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
  in.mi.dwFlags = flags | MOUSEEVENTF_ABSOLUTE;
  return in;
}

BOOL CALLBACK findShownTip(HWND h, LPARAM lp) {
  if (className(h) != L"tooltips_class32" || !IsWindowVisible(h)) return TRUE;
  wchar_t text[256] = {};
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(h, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, &ignored);
  if (!text[0]) return TRUE;
  *reinterpret_cast<std::wstring*>(lp) = text;
  return FALSE;
}

}  // namespace

void moveMouseTo(int x, int y) {
  SetCursorPos(x, y);
  INPUT in = mouseInput(x, y, MOUSEEVENTF_MOVE);
  SendInput(1, &in, sizeof in);
}

void realClickAt(int x, int y) {
  moveMouseTo(x, y);
  Sleep(300);  // a menu marks the item under the pointer before it takes the press
  INPUT in[2] = {mouseInput(x, y, MOUSEEVENTF_LEFTDOWN), mouseInput(x, y, MOUSEEVENTF_LEFTUP)};
  SendInput(2, in, sizeof(INPUT));
}

std::wstring trayTooltip() {
  HWND taskbar = FindWindowW(L"Shell_TrayWnd", nullptr);
  if (!taskbar || !IsWindowVisible(taskbar)) return {};
  RECT bar{};
  GetWindowRect(taskbar, &bar);
  const int y = (bar.top + bar.bottom) / 2;
  for (int x = bar.right - 6; x > bar.right - 160; x -= 10) {
    moveMouseTo(x, y);
    std::wstring tip;
    for (int look = 0; look < 75 && tip.empty(); ++look) {  // 1.5 s for the tip to show
      EnumWindows(findShownTip, reinterpret_cast<LPARAM>(&tip));
      if (tip.empty()) Sleep(20);
    }
    if (!tip.empty()) {
      moveMouseTo(bar.left + 300, bar.top - 200);  // away, so that the tip goes
      return tip;
    }
  }
  return {};
}

// ---- messages ----

LRESULT ask(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, const Options& options) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(hwnd, msg, wp, lp, SMTO_ABORTIFHUNG, options.answerMs, &result)) {
    if (!IsWindow(hwnd)) throw Failure{kNotFound, "the window went away"};
    throw Failure{kNoAnswer, "the program did not answer message 0x" + std::to_string(msg)};
  }
  return static_cast<LRESULT>(result);
}

std::wstring windowText(HWND hwnd, const Options& options) {
  const int length = static_cast<int>(ask(hwnd, WM_GETTEXTLENGTH, 0, 0, options));
  std::wstring text(length + 1, L'\0');
  const int n = static_cast<int>(ask(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), options));
  text.resize(n > 0 ? n : 0);
  return text;
}

RemoteBuffer::RemoteBuffer(HWND owner, size_t size) {
  DWORD pid = 0;
  GetWindowThreadProcessId(owner, &pid);
  process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_INFORMATION,
                         FALSE, pid);
  if (process_) base_ = VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (!base_) {
    if (process_) CloseHandle(process_);
    throw Failure{kFailed, "cannot reserve memory in the program's process"};
  }
}

RemoteBuffer::~RemoteBuffer() {
  VirtualFreeEx(process_, base_, 0, MEM_RELEASE);
  CloseHandle(process_);
}

void RemoteBuffer::write(size_t offset, const void* data, size_t size) {
  SIZE_T done = 0;
  if (!WriteProcessMemory(process_, at(offset), data, size, &done) || done != size)
    throw Failure{kFailed, "cannot write the program's memory"};
}

void RemoteBuffer::read(size_t offset, void* data, size_t size) const {
  SIZE_T done = 0;
  if (!ReadProcessMemory(process_, at(offset), data, size, &done) || done != size)
    throw Failure{kFailed, "cannot read the program's memory"};
}

std::wstring RemoteBuffer::readText(size_t offset, size_t chars) const {
  std::wstring text(chars, L'\0');
  if (chars) read(offset, text.data(), chars * sizeof(wchar_t));
  return text;
}

// ---- list view, tab control, combo box ----

namespace {
// Room for one cell's text behind the structure that asks for it.
constexpr size_t kTextChars = 4096;
constexpr size_t kTextOffset = 256;  // past any of the structures below
constexpr size_t kBufferSize = kTextOffset + kTextChars * sizeof(wchar_t);
static_assert(sizeof(LVITEMW) <= kTextOffset && sizeof(LVCOLUMNW) <= kTextOffset && sizeof(TCITEMW) <= kTextOffset);
}  // namespace

int listRowCount(HWND list, const Options& options) {
  return static_cast<int>(ask(list, LVM_GETITEMCOUNT, 0, 0, options));
}

int listColumnCount(HWND list, const Options& options) {
  HWND header = reinterpret_cast<HWND>(ask(list, LVM_GETHEADER, 0, 0, options));
  return header ? static_cast<int>(ask(header, HDM_GETITEMCOUNT, 0, 0, options)) : 0;
}

std::wstring listCell(HWND list, RemoteBuffer& buffer, int row, int column, const Options& options) {
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = static_cast<LPWSTR>(buffer.at(kTextOffset));
  item.cchTextMax = static_cast<int>(kTextChars);
  buffer.write(0, &item, sizeof(item));
  const int n = static_cast<int>(ask(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(buffer.at(0)), options));
  return buffer.readText(kTextOffset, n > 0 ? static_cast<size_t>(n) : 0);
}

int listIcon(HWND list, RemoteBuffer& buffer, int row, const Options& options) {
  LVITEMW item{};
  item.mask = LVIF_IMAGE;
  item.iItem = row;
  buffer.write(0, &item, sizeof(item));
  if (!ask(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(buffer.at(0)), options)) return -1;
  buffer.read(0, &item, sizeof(item));
  return item.iImage;
}

std::vector<ColumnInfo> listColumns(HWND list, const Options& options) {
  std::vector<ColumnInfo> out;
  RemoteBuffer buffer(list, kBufferSize);
  const int count = listColumnCount(list, options);
  for (int i = 0; i < count; ++i) {
    LVCOLUMNW col{};
    col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
    col.pszText = static_cast<LPWSTR>(buffer.at(kTextOffset));
    col.cchTextMax = static_cast<int>(kTextChars);
    buffer.write(0, &col, sizeof(col));
    if (!ask(list, LVM_GETCOLUMNW, i, reinterpret_cast<LPARAM>(buffer.at(0)), options)) break;
    buffer.read(0, &col, sizeof(col));
    std::wstring caption = buffer.readText(kTextOffset, kTextChars);
    caption.resize(wcsnlen(caption.c_str(), kTextChars));
    const int justify = col.fmt & LVCFMT_JUSTIFYMASK;
    out.push_back({caption, col.cx, justify == LVCFMT_CENTER ? "centre" : justify == LVCFMT_RIGHT ? "right" : "left"});
  }
  return out;
}

std::vector<std::wstring> tabCaptions(HWND tab, const Options& options) {
  std::vector<std::wstring> out;
  RemoteBuffer buffer(tab, kBufferSize);
  const int count = static_cast<int>(ask(tab, TCM_GETITEMCOUNT, 0, 0, options));
  for (int i = 0; i < count; ++i) {
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = static_cast<LPWSTR>(buffer.at(kTextOffset));
    item.cchTextMax = static_cast<int>(kTextChars);
    buffer.write(0, &item, sizeof(item));
    buffer.write(kTextOffset, L"", sizeof(wchar_t));
    ask(tab, TCM_GETITEMW, i, reinterpret_cast<LPARAM>(buffer.at(0)), options);
    std::wstring caption = buffer.readText(kTextOffset, kTextChars);
    caption.resize(wcsnlen(caption.c_str(), kTextChars));
    out.push_back(caption);
  }
  return out;
}

RECT tabItemRect(HWND tab, int index, const Options& options) {
  RemoteBuffer buffer(tab, sizeof(RECT));
  RECT r{};
  if (!ask(tab, TCM_GETITEMRECT, index, reinterpret_cast<LPARAM>(buffer.at(0)), options))
    throw Failure{kNotFound, "no tab page " + std::to_string(index)};
  buffer.read(0, &r, sizeof(r));
  return r;
}

std::vector<std::wstring> comboItems(HWND combo, const Options& options) {
  // The system carries CB_GETLBTEXT's buffer across processes itself.
  std::vector<std::wstring> out;
  const int count = static_cast<int>(ask(combo, CB_GETCOUNT, 0, 0, options));
  for (int i = 0; i < count; ++i) {
    const int length = static_cast<int>(ask(combo, CB_GETLBTEXTLEN, i, 0, options));
    std::wstring text(length > 0 ? length + 1 : 1, L'\0');
    const int n = static_cast<int>(ask(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data()), options));
    text.resize(n > 0 ? n : 0);
    out.push_back(text);
  }
  return out;
}

std::string describeControl(const Control& c, const Options& options) {
  const LONG style = GetWindowLongW(c.hwnd, GWL_STYLE);
  Json j;
  j.add("name", fromGbk(c.def->name))
      .add("kind", kindName(c.def->kind))
      .add("class", className(c.hwnd))
      .add("visible", (style & WS_VISIBLE) != 0)   // the control's own flag
      .add("shown", IsWindowVisible(c.hwnd) != 0)  // and on screen: its page shown too
      .add("enabled", IsWindowEnabled(c.hwnd) != 0)
      .raw("rect", rectJson(designRect(c)));
  switch (c.def->kind) {
    case ui::Kind::Tab:
      j.add("page", static_cast<long long>(ask(c.hwnd, TCM_GETCURSEL, 0, 0, options)))
          .raw("pages", textArray(tabCaptions(c.hwnd, options)));
      break;
    case ui::Kind::CheckBox:
      j.add("text", windowText(c.hwnd, options))
          .add("checked", ask(c.hwnd, BM_GETCHECK, 0, 0, options) == BST_CHECKED);
      break;
    case ui::Kind::Edit:
      j.add("text", windowText(c.hwnd, options))
          .add("password", ask(c.hwnd, EM_GETPASSWORDCHAR, 0, 0, options) != 0)
          .add("readonly", (style & ES_READONLY) != 0);
      break;
    case ui::Kind::Combo: {
      const int index = static_cast<int>(ask(c.hwnd, CB_GETCURSEL, 0, 0, options));
      std::vector<std::wstring> items = comboItems(c.hwnd, options);
      j.add("index", static_cast<long long>(index))
          .add("text", index >= 0 && index < static_cast<int>(items.size()) ? items[index] : std::wstring())
          .raw("items", textArray(items));
      break;
    }
    case ui::Kind::List:
      j.add("rows", static_cast<long long>(listRowCount(c.hwnd, options)))
          .add("columns", static_cast<long long>(listColumnCount(c.hwnd, options)));
      break;
    case ui::Kind::MediaPlayer:
      break;
    default:
      j.add("text", windowText(c.hwnd, options));
      break;
  }
  return j.str();
}

}  // namespace probe
