// kassaro_probe: reads what a user sees of a running Kassaro and acts as a user would, from outside its
// process. One command per run; the answer goes to stdout as UTF-8 (JSON, or plain text for `text`),
// a failure to stderr, and the exit code says which (see probe.h: 0 done, 1 not found, 2 usage,
// 3 no answer or still running, 4 failed, 5 refused because a user could not do it now).
//
// Windows are named 主窗口 (main) and 注册 (registration); controls by their names in the window
// definitions. Where a command takes a window and a control, the window may be left out for the main
// window. Run it on the program's desktop: it switches itself to the desktop "kassaro" when that exists.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <map>
#include <set>

#include "app/tray.h"
#include "probe/probe.h"

namespace probe {
namespace {

const char* const kUsageText =
    "usage: kassaro_probe [--pid N] [--desktop NAME (kassaro; \"\" for its own)] [--answer-ms MS] COMMAND ...\n"
    "reading:\n"
    "  windows                      every top-level window of the program (message boxes, menus too)\n"
    "  window WIN                   title, visibility, state (0 normal, 2 minimised, 3 maximised), rect;\n"
    "                               for 主窗口 and 注册 also the rect they are designed with and the\n"
    "                               names of the controls that are missing\n"
    "  get [WIN] CONTROL            everything a user sees of a control (JSON)\n"
    "  text [WIN] CONTROL           caption or content as plain text (combo: the chosen item)\n"
    "  tree [WIN]                   every control of the window (JSON array)\n"
    "  rows [WIN] LIST [FIRST [N]]  list rows cell by cell, with each row's small-icon index\n"
    "  columns [WIN] LIST           list column captions, widths and alignments\n"
    "  msgbox                       the open message boxes: title, text, buttons (1 when none)\n"
    "  tray [--hwnd H]              whether the main window's notification icon exists (1 when not)\n"
    "  tooltip                      the tooltip the taskbar shows for our icon, the pointer resting on it\n"
    "  focus [WIN]                  the control that has the keyboard focus (\"\" for none of ours)\n"
    "  menu                         the open pop-up menu's rect (1 when none opens)\n"
    "  screenshot FILE              a picture of the program's desktop, as a BMP file\n"
    "waiting:\n"
    "  wait-window WIN|TITLE MS     until such a window is visible; prints when\n"
    "  wait-gone WIN|TITLE MS       until no such window exists\n"
    "  wait-rows [WIN] LIST N MS    until the list holds N rows; prints the count and when\n"
    "  wait-msgbox MS               until a message box is open; prints it\n"
    "  wait-exit MS                 until the program's process ends; prints its exit code\n"
    "acting (add --exit MS to wait for the program to end afterwards and print its exit code):\n"
    "  click [WIN] CONTROL [--force]  button, check box, or label (a mouse press)\n"
    "  type [WIN] EDIT TEXT [--replace]  types TEXT at the end (\\b is Backspace)\n"
    "  select [WIN] COMBO INDEX     chooses an item as the user does\n"
    "  page INDEX                   clicks the tab of that page\n"
    "  close [WIN] / minimize [WIN] the title bar's buttons\n"
    "  close-request [WIN]          the close request that Alt+F4 and the taskbar send (WM_CLOSE)\n"
    "  dismiss [BUTTON]             presses OK (or BUTTON) on the first message box\n"
    "  tray-click / tray-dblclick / tray-rclick   the notification icon's mouse messages\n"
    "  tray-menu ITEM               right-click, then choose the item with that caption from the menu\n"
    "  tray-command ITEM            the menu item's command without the menu\n"
    "  tray-lost                    removes the icon and broadcasts TaskbarCreated, as Explorer's restart\n"
    "  keys [WIN] CONTROL KEY... [--post]  gives the control the focus, then presses the keys (esc, enter,\n"
    "                               tab, end or a virtual-key number) on the keyboard; --post: posts\n"
    "                               them to the control, shown or not, without the focus\n"
    "  pointer X Y                  moves the mouse pointer there, as the mouse does\n"
    "  menu-click ITEM              a real mouse click on that item of the open tray menu\n"
    "starting:\n"
    "  launch EXE                   starts EXE on the desktop, waits, exits with its exit code\n";

struct Args {
  std::vector<std::wstring> words;  // positional
  std::map<std::wstring, std::wstring> flags;
  bool has(const wchar_t* flag) const { return flags.count(flag) != 0; }
};

void out(const std::string& line) {
  const std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

int number(const std::wstring& text) {
  wchar_t* end = nullptr;
  long v = wcstol(text.c_str(), &end, 0);
  if (text.empty() || *end) throw Failure{kUsage, "not a number: " + utf8(text)};
  return static_cast<int>(v);
}

void need(const Args& a, size_t count) {
  if (a.words.size() < count) throw Failure{kUsage, "missing arguments"};
}

// [WIN] NAME: the window is optional and defaults to the main window.
ui::Window windowArg(const Args& a, size_t* next) {
  ui::Window w = ui::Window::Main;
  if (a.words.size() > *next && parseWindowName(a.words[*next], &w)) ++*next;
  return w;
}

// [WIN] CONTROL and then `more` arguments: the control, with *next at its name's place.
Control controlArg(const Args& a, const Options& o, size_t* next, size_t more = 0) {
  const ui::Window w = windowArg(a, next);
  need(a, *next + 1 + more);
  return findControl(w, a.words[*next], o);
}

template <typename F>
bool pollUntil(DWORD limitMs, F condition, DWORD intervalMs = 50) {
  const ULONGLONG end = GetTickCount64() + limitMs;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= end) return false;
    Sleep(intervalMs);
  }
}

// Now as Unix time in milliseconds: the clock a test on the Unix side can compare its own events with
// (Wine's system time is the Unix clock).
long long unixMs() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const ULONGLONG ticks = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<long long>((ticks - 116444736000000000ULL) / 10000);
}

std::string rectJson(const RECT& r) {
  return "[" + std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right - r.left) +
         "," + std::to_string(r.bottom - r.top) + "]";
}

HWND mainWindow(const Options& o) {
  HWND h = findWindow(ui::Window::Main, o);
  if (!h) throw Failure{kNotFound, "the main window is not there"};
  return h;
}

// A window named by the program's name for it or by its title.
HWND windowByNameOrTitle(const std::wstring& name, const Options& o) {
  ui::Window w;
  return parseWindowName(name, &w) ? findWindow(w, o) : findWindowTitled(name, o);
}

// ---- message boxes ----

struct Box {
  HWND hwnd;
  std::wstring title, text;
  std::vector<std::pair<int, std::wstring>> buttons;  // identifier, caption; visible ones only
};

BOOL CALLBACK collectButton(HWND h, LPARAM lp) {
  wchar_t cls[32] = {};
  GetClassNameW(h, cls, 32);
  // The button's own style: the box may be on a desktop whose visibility this thread cannot judge.
  if (!wcscmp(cls, L"Button") && (GetWindowLongW(h, GWL_STYLE) & WS_VISIBLE)) {
    auto* box = reinterpret_cast<Box*>(lp);
    box->buttons.push_back({GetDlgCtrlID(h), std::wstring()});
  }
  return TRUE;
}

std::vector<Box> messageBoxes(const Options& o) {
  std::vector<Box> boxes;
  for (const TopWindow& t : topWindows(o)) {
    if (t.cls != L"#32770" || !t.visible) continue;
    Box b{t.hwnd, t.title, {}, {}};
    // The message box's text is the static control with identifier 0xFFFF.
    if (HWND text = GetDlgItem(t.hwnd, 0xFFFF)) b.text = windowText(text, o);
    EnumChildWindows(t.hwnd, collectButton, reinterpret_cast<LPARAM>(&b));
    for (auto& [id, caption] : b.buttons) caption = windowText(GetDlgItem(t.hwnd, id), o);
    boxes.push_back(b);
  }
  return boxes;
}

std::string boxJson(const Box& b) {
  std::vector<std::string> buttons;
  for (const auto& [id, caption] : b.buttons) buttons.push_back(quoted(caption));
  DWORD pid = 0;
  GetWindowThreadProcessId(b.hwnd, &pid);
  return Json()
      .add("title", b.title)
      .add("text", b.text)
      .raw("buttons", array(buttons))
      .add("pid", static_cast<long long>(pid))
      .str();
}

// ---- the notification icon ----

// The shell's callback: wParam the icon's identifier, lParam the mouse message.
void trayCallback(HWND main, UINT mouseMessage) {
  SendNotifyMessageW(main, tray::kCallbackMessage, tray::kIconId, mouseMessage);
}

struct MenuItem {
  const char* caption;  // GBK, as the program's menu shows it
  int position;         // 0-based, in the menu
  unsigned command;
};
const MenuItem kTrayMenu[] = {{"打开窗口", 0, tray::kOpenWindowItem}, {"退出软件", 1, tray::kExitItem}};

const MenuItem& trayMenuItem(const std::wstring& caption) {
  for (const MenuItem& m : kTrayMenu)
    if (fromGbk(m.caption) == caption) return m;
  throw Failure{kUsage, "the tray menu has no item " + utf8(caption)};
}

// The open pop-up menu of the process `pid` (0: of any target process).
HWND popupMenuOf(DWORD pid, const Options& o) {
  for (const TopWindow& t : topWindows(o))
    if (t.cls == L"#32768" && t.visible && (!pid || t.pid == pid)) return t.hwnd;
  return nullptr;
}

HWND waitPopupMenu(const Options& o, DWORD pid = 0) {
  HWND menu = nullptr;
  if (!pollUntil(o.answerMs, [&] { return (menu = popupMenuOf(pid, o)) != nullptr; }))
    throw Failure{kNotFound, "no pop-up menu appeared"};
  return menu;
}

// ---- acting ----

// Makes sure the program has taken the message sent before: a message sent after it is answered only
// once the window thread has reached it (a modal loop started by the first one answers it too).
// A window that the message closed has nothing left to answer.
void settle(HWND h, const Options& o) {
  try {
    ask(h, WM_NULL, 0, 0, o);
  } catch (const Failure& f) {
    if (f.code != kNotFound) throw;
  }
}

void checkUsable(const Control& c, const Args& a) {
  if (a.has(L"--force")) return;
  if (!IsWindowVisible(c.hwnd)) throw Failure{kRefused, "the control is not on screen"};
  if (!IsWindowEnabled(c.hwnd) || !IsWindowEnabled(c.top)) throw Failure{kRefused, "the control is disabled"};
}

void mouseClick(HWND h, int x, int y) {
  const LPARAM at = MAKELPARAM(x, y);
  SendNotifyMessageW(h, WM_LBUTTONDOWN, MK_LBUTTON, at);
  SendNotifyMessageW(h, WM_LBUTTONUP, 0, at);
}

// ---- commands ----

using Command = std::function<int(const Args&, const Options&)>;

int cmdWindows(const Args&, const Options& o) {
  std::vector<std::string> items;
  for (const TopWindow& t : topWindows(o)) {
    RECT r{};
    GetWindowRect(t.hwnd, &r);
    items.push_back(Json()
                        .add("hwnd", static_cast<long long>(reinterpret_cast<INT_PTR>(t.hwnd)))
                        .add("pid", static_cast<long long>(t.pid))
                        .add("class", t.cls)
                        .add("title", t.title)
                        .add("visible", t.visible)
                        .raw("rect", rectJson(r))
                        .str());
  }
  out(array(items));
  return items.empty() ? kNotFound : kOk;
}

BOOL CALLBACK collectChild(HWND h, LPARAM lp) {
  wchar_t cls[64] = {};
  GetClassNameW(h, cls, 64);
  reinterpret_cast<std::set<std::pair<int, std::wstring>>*>(lp)->insert({GetDlgCtrlID(h), cls});
  return TRUE;
}

// The names of the window's controls, by its definition, that are not among its children: each child
// looked at once.
std::vector<std::wstring> missingControls(HWND top, ui::Window w) {
  std::set<std::pair<int, std::wstring>> children;
  EnumChildWindows(top, collectChild, reinterpret_cast<LPARAM>(&children));
  std::vector<std::wstring> missing;
  for (const ui::ControlDef& d : ui::controlDefs(w))
    if (!children.count({ui::controlId(w, d.name), expectedClass(d.kind)})) missing.push_back(fromGbk(d.name));
  return missing;
}

int cmdWindow(const Args& a, const Options& o) {
  need(a, 2);
  HWND h = windowByNameOrTitle(a.words[1], o);
  if (!h) throw Failure{kNotFound, "window not found"};
  RECT r{};
  GetWindowRect(h, &r);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  std::wstring title(GetWindowTextLengthW(h) + 1, L'\0');
  title.resize(GetWindowTextW(h, title.data(), static_cast<int>(title.size())));
  Json json;
  json.add("hwnd", static_cast<long long>(reinterpret_cast<INT_PTR>(h)))
      .add("pid", static_cast<long long>(pid))
      .add("title", title)
      .add("visible", IsWindowVisible(h) != 0)
      .add("enabled", IsWindowEnabled(h) != 0)
      .add("state", static_cast<long long>(IsIconic(h) ? 2 : IsZoomed(h) ? 3 : 0))
      .add("topmost", (GetWindowLongW(h, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0)
      .raw("rect", rectJson(r))
      .raw("screen", "[" + std::to_string(GetSystemMetrics(SM_CXSCREEN)) + "," +
                         std::to_string(GetSystemMetrics(SM_CYSCREEN)) + "]");
  // Where the window's definition puts it, so that a caller compares with it instead of restating it,
  // and which of the controls it defines are not there (a look that asks the program nothing).
  ui::Window w;
  if (parseWindowName(a.words[1], &w)) {
    const ui::Rect d = ui::windowDef(w).rect;
    std::vector<std::string> missing;
    for (const std::wstring& name : missingControls(h, w)) missing.push_back(quoted(name));
    json.raw("design", rectJson(RECT{d.x, d.y, d.x + d.w, d.y + d.h})).raw("missing", array(missing));
  }
  out(json.str());
  return kOk;
}

int cmdGet(const Args& a, const Options& o) {
  size_t i = 1;
  out(describeControl(controlArg(a, o, &i), o));
  return kOk;
}

int cmdText(const Args& a, const Options& o) {
  size_t i = 1;
  Control c = controlArg(a, o, &i);
  std::wstring text;
  if (c.def->kind == ui::Kind::Combo) {
    const int index = static_cast<int>(ask(c.hwnd, CB_GETCURSEL, 0, 0, o));
    std::vector<std::wstring> items = comboItems(c.hwnd, o);
    if (index >= 0 && index < static_cast<int>(items.size())) text = items[index];
  } else if (c.def->kind == ui::Kind::Tab) {
    const int page = static_cast<int>(ask(c.hwnd, TCM_GETCURSEL, 0, 0, o));
    std::vector<std::wstring> pages = tabCaptions(c.hwnd, o);
    if (page >= 0 && page < static_cast<int>(pages.size())) text = pages[page];
  } else {
    text = windowText(c.hwnd, o);
  }
  out(utf8(text));
  return kOk;
}

int cmdTree(const Args& a, const Options& o) {
  size_t i = 1;
  ui::Window w = windowArg(a, &i);
  if (!findWindow(w, o)) throw Failure{kNotFound, "window not found"};
  std::vector<std::string> items;
  for (const ui::ControlDef& d : ui::controlDefs(w)) {
    try {
      items.push_back(describeControl(findControl(w, fromGbk(d.name), o), o));
    } catch (const Failure& f) {
      if (f.code != kNotFound) throw;
      items.push_back(Json().add("name", fromGbk(d.name)).add("missing", true).str());
    }
  }
  out(array(items));
  return kOk;
}

int cmdRows(const Args& a, const Options& o) {
  size_t i = 1;
  Control c = controlArg(a, o, &i);
  if (c.def->kind != ui::Kind::List) throw Failure{kUsage, "not a list"};
  const int count = listRowCount(c.hwnd, o);
  const int columns = listColumnCount(c.hwnd, o);
  int first = a.words.size() > i + 1 ? number(a.words[i + 1]) : 0;
  int last = a.words.size() > i + 2 ? first + number(a.words[i + 2]) : count;
  if (first < 0) first = 0;
  if (last > count) last = count;
  RemoteBuffer buffer(c.hwnd, 256 + 4096 * sizeof(wchar_t));
  std::vector<std::string> rows, icons;
  for (int row = first; row < last; ++row) {
    std::vector<std::string> cells;
    for (int col = 0; col < columns; ++col) cells.push_back(quoted(listCell(c.hwnd, buffer, row, col, o)));
    rows.push_back(array(cells));
    icons.push_back(std::to_string(listIcon(c.hwnd, buffer, row, o)));
  }
  out(Json().add("count", static_cast<long long>(count)).raw("rows", array(rows)).raw("icons", array(icons)).str());
  return kOk;
}

int cmdColumns(const Args& a, const Options& o) {
  size_t i = 1;
  Control c = controlArg(a, o, &i);
  if (c.def->kind != ui::Kind::List) throw Failure{kUsage, "not a list"};
  std::vector<std::string> items;
  for (const ColumnInfo& col : listColumns(c.hwnd, o))
    items.push_back(Json().add("text", col.caption).add("width", static_cast<long long>(col.width)).add("align", col.align).str());
  out(array(items));
  return kOk;
}

int cmdMsgbox(const Args&, const Options& o) {
  std::vector<std::string> items;
  for (const Box& b : messageBoxes(o)) items.push_back(boxJson(b));
  out(array(items));
  return items.empty() ? kNotFound : kOk;
}

int cmdWaitMsgbox(const Args& a, const Options& o) {
  need(a, 2);
  std::vector<Box> boxes;
  std::string last;
  // A box caught while it is being made may not answer yet (its thread has not reached its message loop,
  // and Wine counts a thread that long away from its queue as hung), or be gone again: look again.
  auto open = [&] {
    try {
      boxes = messageBoxes(o);
    } catch (const Failure& f) {
      if (f.code != kNoAnswer && f.code != kNotFound) throw;
      last = f.message;
      return false;
    }
    return !boxes.empty();
  };
  if (!pollUntil(number(a.words[1]), open))
    throw Failure{kNotFound, "no message box appeared" + (last.empty() ? "" : " (last: " + last + ")")};
  out(boxJson(boxes.front()));
  return kOk;
}

int cmdTray(const Args& a, const Options& o) {
  HWND owner = nullptr;
  if (a.has(L"--hwnd"))
    owner = reinterpret_cast<HWND>(static_cast<INT_PTR>(wcstoll(a.flags.at(L"--hwnd").c_str(), nullptr, 0)));
  else
    owner = findWindow(ui::Window::Main, o);
  const bool there = owner && onProgramDesktop() && trayIconThere(owner);
  out(Json().add("icon", there).str());
  return there ? kOk : kNotFound;
}

// What a restart of Explorer does to the program: its taskbar comes back without our icon and tells every
// window so.
int cmdTrayLost(const Args&, const Options& o) {
  HWND owner = findWindow(ui::Window::Main, o);
  if (!owner || !onProgramDesktop()) throw Failure{kNotFound, "no main window on the program's desktop"};
  NOTIFYICONDATAW nid{};
  nid.cbSize = sizeof(nid);
  nid.hWnd = owner;
  nid.uID = tray::kIconId;
  if (!Shell_NotifyIconW(NIM_DELETE, &nid)) throw Failure{kFailed, "the icon could not be removed"};
  PostMessageW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  out(Json().add("at", unixMs()).str());
  return kOk;
}

int cmdWaitWindow(const Args& a, const Options& o) {
  need(a, 3);
  HWND h = nullptr;
  if (!pollUntil(number(a.words[2]), [&] {
        h = windowByNameOrTitle(a.words[1], o);
        return h && IsWindowVisible(h);
      }, 10))
    throw Failure{kNotFound, "no such visible window"};
  out(Json().add("hwnd", static_cast<long long>(reinterpret_cast<INT_PTR>(h))).add("at", unixMs()).str());
  return kOk;
}

// Until the list holds at least COUNT rows, looking every millisecond or two, so that the moment a row
// is listed is known closely; prints the count and that moment.
int cmdWaitRows(const Args& a, const Options& o) {
  size_t i = 1;
  ui::Window w = windowArg(a, &i);
  need(a, i + 3);
  const int wanted = number(a.words[i + 1]);
  HWND list = nullptr;
  int count = 0;
  const bool reached = pollUntil(
      number(a.words[i + 2]),
      [&] {
        if (!list) {
          try {
            list = findControl(w, a.words[i], o).hwnd;
          } catch (const Failure& f) {
            if (f.code != kNotFound) throw;
            return false;  // not made yet: the program is still starting
          }
        }
        count = listRowCount(list, o);
        return count >= wanted;
      },
      1);
  const long long at = unixMs();
  if (!reached) throw Failure{kNotFound, "the list holds " + std::to_string(count) + " rows"};
  out(Json().add("count", static_cast<long long>(count)).add("at", at).str());
  return kOk;
}

int cmdWaitGone(const Args& a, const Options& o) {
  need(a, 3);
  if (!pollUntil(number(a.words[2]), [&] { return !windowByNameOrTitle(a.words[1], o); }))
    throw Failure{kNotFound, "the window is still there"};
  out("{}");
  return kOk;
}

int cmdClick(const Args& a, const Options& o) {
  size_t i = 1;
  Control c = controlArg(a, o, &i);
  checkUsable(c, a);
  switch (c.def->kind) {
    case ui::Kind::Button:
    case ui::Kind::CheckBox:
      // Sent without waiting: the click may open a message box, whose loop would hold a sender.
      SendNotifyMessageW(c.hwnd, BM_CLICK, 0, 0);
      break;
    case ui::Kind::Label:
      mouseClick(c.hwnd, 2, 2);
      break;
    default:
      throw Failure{kUsage, "a click means nothing to that control here"};
  }
  settle(c.hwnd, o);
  out("{}");
  return kOk;
}

int cmdType(const Args& a, const Options& o) {
  size_t i = 1;
  Control c = controlArg(a, o, &i, 1);
  if (c.def->kind != ui::Kind::Edit) throw Failure{kUsage, "not an edit box"};
  checkUsable(c, a);
  // Where the user's click would put the caret: at the end, or over everything to replace it.
  const WPARAM end = static_cast<WPARAM>(ask(c.hwnd, WM_GETTEXTLENGTH, 0, 0, o));
  ask(c.hwnd, EM_SETSEL, a.has(L"--replace") ? 0 : end, static_cast<LPARAM>(end), o);
  const std::wstring& text = a.words[i + 1];
  for (size_t k = 0; k < text.size(); ++k) {
    wchar_t ch = text[k];
    if (ch == L'\\' && k + 1 < text.size()) {
      const wchar_t next = text[++k];
      ch = next == L'b' ? L'\b' : next == L'n' ? L'\r' : next;
    }
    ask(c.hwnd, WM_CHAR, ch, 1, o);
  }
  out(Json().add("text", windowText(c.hwnd, o)).str());
  return kOk;
}

int cmdSelect(const Args& a, const Options& o) {
  size_t i = 1;
  Control c = controlArg(a, o, &i, 1);
  if (c.def->kind != ui::Kind::Combo) throw Failure{kUsage, "not a combo box"};
  checkUsable(c, a);
  const int index = number(a.words[i + 1]);
  ask(c.hwnd, CB_SETCURSEL, index, 0, o);
  // The user's choice also tells the parent, which a program's CB_SETCURSEL does not.
  SendNotifyMessageW(GetParent(c.hwnd), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(c.hwnd), CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(c.hwnd));
  settle(c.hwnd, o);
  out(Json().add("index", static_cast<long long>(ask(c.hwnd, CB_GETCURSEL, 0, 0, o))).str());
  return kOk;
}

int cmdPage(const Args& a, const Options& o) {
  need(a, 2);
  const int index = number(a.words[1]);
  for (const ui::ControlDef& d : ui::controlDefs(ui::Window::Main)) {
    if (d.kind != ui::Kind::Tab) continue;
    Control c = findControl(ui::Window::Main, fromGbk(d.name), o);
    checkUsable(c, a);
    const RECT r = tabItemRect(c.hwnd, index, o);
    mouseClick(c.hwnd, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    settle(c.hwnd, o);
    out(Json().add("page", static_cast<long long>(ask(c.hwnd, TCM_GETCURSEL, 0, 0, o))).str());
    return kOk;
  }
  throw Failure{kUsage, "the window has no tab control"};
}

// A message to the window as the title bar's buttons (WM_SYSCOMMAND) or the shell (WM_CLOSE) send it.
int cmdWindowMessage(const Args& a, const Options& o, UINT message, WPARAM wp) {
  ui::Window w = ui::Window::Main;
  if (a.words.size() > 1 && !parseWindowName(a.words[1], &w)) throw Failure{kUsage, "unknown window"};
  HWND h = findWindow(w, o);
  if (!h) throw Failure{kNotFound, "window not found"};
  SendNotifyMessageW(h, message, wp, 0);
  settle(h, o);
  out("{}");
  return kOk;
}

int cmdDismiss(const Args& a, const Options& o) {
  std::vector<Box> boxes = messageBoxes(o);
  if (boxes.empty()) throw Failure{kNotFound, "no message box"};
  const Box& b = boxes.front();
  int id = -1;
  for (const auto& [bid, caption] : b.buttons) {
    const bool wanted = a.words.size() > 1 ? caption == a.words[1] : bid == IDOK;
    if (wanted) id = bid;
  }
  if (id < 0 && a.words.size() == 1 && b.buttons.size() == 1) id = b.buttons.front().first;
  if (id < 0) throw Failure{kNotFound, "no such button on the message box"};
  SendNotifyMessageW(GetDlgItem(b.hwnd, id), BM_CLICK, 0, 0);
  out(boxJson(b));
  return kOk;
}

int cmdTrayMouse(const Options& o, UINT mouseMessage) {
  HWND main = mainWindow(o);
  trayCallback(main, mouseMessage);
  settle(main, o);
  out("{}");
  return kOk;
}

int cmdTrayMenu(const Args& a, const Options& o) {
  need(a, 2);
  const MenuItem& item = trayMenuItem(a.words[1]);
  HWND main = mainWindow(o);
  DWORD pid = 0;
  GetWindowThreadProcessId(main, &pid);
  trayCallback(main, WM_RBUTTONUP);
  HWND menu = waitPopupMenu(o, pid);
  // The menu's own loop reads the keyboard from the program's queue: down to the item, then Enter.
  for (int k = 0; k <= item.position; ++k) PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
  PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
  out("{}");
  return kOk;
}

int cmdTrayCommand(const Args& a, const Options& o) {
  need(a, 2);
  const MenuItem& item = trayMenuItem(a.words[1]);
  HWND main = mainWindow(o);
  SendNotifyMessageW(main, WM_COMMAND, MAKEWPARAM(item.command, 0), 0);
  out("{}");
  return kOk;
}

// ---- the keyboard, the mouse and the screen, as a user's own ----

void pressKey(WORD vk) {
  INPUT in[2] = {};
  in[0].type = in[1].type = INPUT_KEYBOARD;
  in[0].ki.wVk = in[1].ki.wVk = vk;
  in[1].ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(2, in, sizeof(INPUT));
  Sleep(100);
}

WORD keyCode(const std::wstring& name) {
  static const std::pair<const wchar_t*, WORD> kNames[] = {
      {L"esc", VK_ESCAPE}, {L"enter", VK_RETURN}, {L"tab", VK_TAB}, {L"end", VK_END}};
  for (const auto& [n, vk] : kNames)
    if (name == n) return vk;
  return static_cast<WORD>(number(name));
}

HWND focusedWindow(HWND top) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(GetWindowThreadProcessId(top, nullptr), &info) ? info.hwndFocus : nullptr;
}

// The name of the control of the window that has the keyboard focus in its thread, or "".
std::wstring focusedControl(HWND top, ui::Window w) {
  HWND focus = focusedWindow(top);
  if (!focus) return {};
  for (const ui::ControlDef& d : ui::controlDefs(w))
    if (childControl(top, d) == focus) return fromGbk(d.name);
  return {};
}

// Gives the control the keyboard focus as a click would, without clicking it, and brings its window to
// the front so that the keyboard's input goes there.
void giveFocus(const Control& c) {
  const DWORD theirs = GetWindowThreadProcessId(c.hwnd, nullptr), ours = GetCurrentThreadId();
  AttachThreadInput(ours, theirs, TRUE);
  SetForegroundWindow(c.top);
  SetFocus(c.hwnd);
  AttachThreadInput(ours, theirs, FALSE);
  if (!pollUntil(5000, [&] { return focusedWindow(c.top) == c.hwnd; }))
    throw Failure{kFailed, "the control did not take the focus"};
}

// A key's press and release posted straight to the control, as a control that keeps the focus on a
// hidden page gets them; the window thread makes the character of it as for a real key.
void postKey(HWND h, WORD vk) {
  PostMessageW(h, WM_KEYDOWN, vk, 1);
  PostMessageW(h, WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001u));
}

int cmdKeys(const Args& a, const Options& o) {
  size_t i = 1;
  Control c = controlArg(a, o, &i, 1);
  const bool post = a.has(L"--post");
  if (!post) {
    checkUsable(c, a);
    giveFocus(c);
  }
  for (size_t k = i + 1; k < a.words.size(); ++k) {
    if (post)
      postKey(c.hwnd, keyCode(a.words[k]));
    else
      pressKey(keyCode(a.words[k]));
  }
  // A message sent now may be answered before the posted keys are taken: room for them first.
  if (post) Sleep(300);
  settle(c.top, o);
  out(Json().add("focus", focusedControl(c.top, c.def->window)).str());
  return kOk;
}

int cmdFocus(const Args& a, const Options& o) {
  size_t i = 1;
  const ui::Window w = windowArg(a, &i);
  HWND top = findWindow(w, o);
  if (!top) throw Failure{kNotFound, "window not found"};
  out(Json().add("focus", focusedControl(top, w)).str());
  return kOk;
}

int cmdPointer(const Args& a, const Options&) {
  need(a, 3);
  moveMouseTo(number(a.words[1]), number(a.words[2]));
  out("{}");
  return kOk;
}

int cmdMenu(const Args&, const Options& o) {
  RECT r{};
  GetWindowRect(waitPopupMenu(o), &r);
  out(Json().raw("rect", rectJson(r)).str());
  return kOk;
}

int cmdMenuClick(const Args& a, const Options& o) {
  need(a, 2);
  const MenuItem& item = trayMenuItem(a.words[1]);
  RECT r{};
  GetWindowRect(waitPopupMenu(o), &r);
  // The items are of one height and fill the menu.
  const int count = static_cast<int>(std::size(kTrayMenu));
  realClickAt((r.left + r.right) / 2, r.top + (r.bottom - r.top) * (2 * item.position + 1) / (2 * count));
  out("{}");
  return kOk;
}

int cmdTooltip(const Args&, const Options&) {
  const std::wstring tip = onProgramDesktop() ? trayTooltip() : std::wstring();
  if (tip.empty()) throw Failure{kNotFound, "no tooltip showed"};
  out(Json().add("text", tip).str());
  return kOk;
}

// The whole of the program's desktop as a 24-bit BMP file.
int cmdScreenshot(const Args& a, const Options&) {
  need(a, 2);
  if (!onProgramDesktop()) throw Failure{kNotFound, "the program's desktop is not there"};
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
  bool written = false;
  if (FILE* f = _wfopen(a.words[1].c_str(), L"wb")) {
    written = fwrite(&fh, sizeof fh, 1, f) == 1 && fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, f) == 1 &&
              fwrite(bits, size, 1, f) == 1;
    written = fclose(f) == 0 && written;
  }
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  if (!written) throw Failure{kFailed, "cannot write " + utf8(a.words[1])};
  out("{}");
  return kOk;
}

HANDLE holdTarget(const Options& o);
int awaitExit(HANDLE process, DWORD limitMs);

int cmdWaitExit(const Args& a, const Options& o) {
  need(a, 2);
  return awaitExit(holdTarget(o), number(a.words[1]));
}

int cmdLaunch(const Args& a, const std::wstring& desktop) {
  need(a, 2);
  std::wstring commandLine = L"\"" + a.words[1] + L"\"";
  for (size_t i = 2; i < a.words.size(); ++i) commandLine += L" \"" + a.words[i] + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  std::wstring desk = desktop;
  si.lpDesktop = desk.data();
  PROCESS_INFORMATION pi{};
  const long long started = unixMs();
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    throw Failure{kFailed, "cannot start " + utf8(a.words[1]) + ": error " + std::to_string(GetLastError())};
  CloseHandle(pi.hThread);
  out(Json().add("pid", static_cast<long long>(pi.dwProcessId)).add("at", started).str());
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  out(Json().add("exit", static_cast<long long>(code)).str());
  return static_cast<int>(code);
}

const std::map<std::wstring, Command>& commands() {
  static const std::map<std::wstring, Command> table = {
      {L"windows", cmdWindows},
      {L"window", cmdWindow},
      {L"get", cmdGet},
      {L"text", cmdText},
      {L"tree", cmdTree},
      {L"rows", cmdRows},
      {L"columns", cmdColumns},
      {L"msgbox", cmdMsgbox},
      {L"tray", cmdTray},
      {L"tray-lost", cmdTrayLost},
      {L"wait-window", cmdWaitWindow},
      {L"wait-gone", cmdWaitGone},
      {L"wait-rows", cmdWaitRows},
      {L"wait-msgbox", cmdWaitMsgbox},
      {L"wait-exit", cmdWaitExit},
      {L"click", cmdClick},
      {L"type", cmdType},
      {L"select", cmdSelect},
      {L"page", cmdPage},
      {L"close", [](const Args& a, const Options& o) { return cmdWindowMessage(a, o, WM_SYSCOMMAND, SC_CLOSE); }},
      {L"close-request", [](const Args& a, const Options& o) { return cmdWindowMessage(a, o, WM_CLOSE, 0); }},
      {L"minimize", [](const Args& a, const Options& o) { return cmdWindowMessage(a, o, WM_SYSCOMMAND, SC_MINIMIZE); }},
      {L"dismiss", cmdDismiss},
      {L"tray-click", [](const Args&, const Options& o) { return cmdTrayMouse(o, WM_LBUTTONUP); }},
      {L"tray-dblclick", [](const Args&, const Options& o) { return cmdTrayMouse(o, WM_LBUTTONDBLCLK); }},
      {L"tray-rclick", [](const Args&, const Options& o) { return cmdTrayMouse(o, WM_RBUTTONUP); }},
      {L"tray-menu", cmdTrayMenu},
      {L"tray-command", cmdTrayCommand},
      {L"tooltip", cmdTooltip},
      {L"focus", cmdFocus},
      {L"keys", cmdKeys},
      {L"pointer", cmdPointer},
      {L"menu", cmdMenu},
      {L"menu-click", cmdMenuClick},
      {L"screenshot", cmdScreenshot},
  };
  return table;
}

// With --exit: the process that the command acts on, held open before it acts, so that its exit code
// is there to read however fast it ends.
HANDLE holdTarget(const Options& o) {
  std::vector<DWORD> pids = kassaroProcesses(o);
  DWORD pid = pids.size() == 1 ? pids.front() : 0;
  if (!pid) {
    if (HWND main = findWindow(ui::Window::Main, o)) GetWindowThreadProcessId(main, &pid);
  }
  return pid ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid) : nullptr;
}

int awaitExit(HANDLE process, DWORD limitMs) {
  if (!process) throw Failure{kNotFound, "the program is not running"};
  const DWORD waited = WaitForSingleObject(process, limitMs);
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  if (waited != WAIT_OBJECT_0) throw Failure{kNoAnswer, "the program is still running"};
  out(Json().add("exit", static_cast<long long>(code)).str());
  return kOk;
}

int run(int argc, wchar_t** argv) {
  Options options;
  std::wstring desktop = L"kassaro";
  Args args;
  static const wchar_t* const valued[] = {L"--pid", L"--desktop", L"--answer-ms", L"--exit", L"--hwnd"};
  for (int i = 1; i < argc; ++i) {
    std::wstring word = argv[i];
    bool takesValue = false;
    for (const wchar_t* v : valued) takesValue = takesValue || word == v;
    if (takesValue) {
      if (i + 1 >= argc) throw Failure{kUsage, "missing value for " + utf8(word)};
      args.flags[word] = argv[++i];
    } else if (word == L"--force" || word == L"--replace" || word == L"--post") {
      args.flags[word] = L"";
    } else {
      args.words.push_back(word);
    }
    // Everything after the program to launch belongs to it.
    if (!args.words.empty() && args.words.front() == L"launch" && args.words.size() == 2) {
      for (++i; i < argc; ++i) args.words.push_back(argv[i]);
    }
  }
  if (args.has(L"--pid")) options.pid = number(args.flags[L"--pid"]);
  if (args.has(L"--answer-ms")) options.answerMs = number(args.flags[L"--answer-ms"]);
  if (args.has(L"--desktop")) desktop = args.flags[L"--desktop"];
  if (args.words.empty()) throw Failure{kUsage, ""};

  if (args.words[0] == L"launch") return cmdLaunch(args, desktop);
  setProgramDesktop(desktop);  // where the program's windows and notification icon live
  auto it = commands().find(args.words[0]);
  if (it == commands().end()) throw Failure{kUsage, "unknown command " + utf8(args.words[0])};
  HANDLE held = args.has(L"--exit") ? holdTarget(options) : nullptr;
  const int code = it->second(args, options);
  if (!args.has(L"--exit") || code != kOk) return code;
  return awaitExit(held, number(args.flags[L"--exit"]));
}

}  // namespace
}  // namespace probe

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  try {
    return probe::run(argc, argv);
  } catch (const probe::Failure& f) {
    if (f.code == probe::kUsage) std::fputs(probe::kUsageText, stderr);
    if (!f.message.empty()) std::fprintf(stderr, "kassaro_probe: %s\n", f.message.c_str());
    return f.code;
  }
}
