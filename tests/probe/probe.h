// The UI probe: finds Kassaro's windows from outside its process and reads or works them as a user
// would. Shared pieces of the probe: text conversions, the JSON it prints, and the target program's
// processes, windows and controls.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "app/window_defs.h"

namespace probe {

// Exit codes, so that a caller can tell "not there" from a broken call.
enum Exit : int {
  kOk = 0,
  kNotFound = 1,   // no such window, control, message box, row or icon (also after a wait ran out)
  kUsage = 2,      // bad command line, or a name the window definitions do not know
  kNoAnswer = 3,   // the program did not answer a window message in time
  kFailed = 4,     // anything else (remote memory, process start)
  kRefused = 5,    // the control is disabled or not on screen: a user could not do that now
};

// A failure that ends the command: its exit code and a line for stderr.
struct Failure {
  int code;
  std::string message;
};

// ---- text ----
std::string utf8(const std::wstring& w);
std::wstring fromUtf8(const std::string& s);
// The program's texts (and the window definitions' literals) are GBK.
std::wstring fromGbk(const std::string& s);
std::string toGbk(const std::wstring& w);

// ---- JSON output ----
std::string quoted(const std::wstring& text);  // a JSON string, UTF-8
std::string quoted(const std::string& utf8Text);

// A JSON object built field by field, in order.
class Json {
 public:
  Json& add(const char* key, const std::wstring& text);
  Json& add(const char* key, const char* utf8Text);
  Json& add(const char* key, long long number);
  Json& add(const char* key, bool value);
  Json& raw(const char* key, const std::string& json);  // an already formatted value
  std::string str() const { return "{" + body_ + "}"; }

 private:
  Json& field(const char* key, const std::string& value);
  std::string body_;
};
std::string array(const std::vector<std::string>& jsonValues);

// ---- the target program ----
struct Options {
  DWORD pid = 0;             // only this process (0: every Kassaro.exe)
  DWORD answerMs = 5000;     // how long a window message may take before the program counts as hung
};

// The desktop the program's windows live on. The probe moves there before it looks at windows, and
// keeps trying while the desktop does not exist yet (the program makes it when it starts).
void setProgramDesktop(const std::wstring& name);
// False while the program's desktop does not exist yet: then there is nothing of the program to see,
// and the probe stays away from any other desktop (asking Wine for one starts its shell there).
bool onProgramDesktop();

// Processes whose image is Kassaro.exe (or only options.pid).
std::vector<DWORD> kassaroProcesses(const Options& options);

struct TopWindow {
  HWND hwnd = nullptr;
  DWORD pid = 0;
  std::wstring cls;
  std::wstring title;
  bool visible = false;
};
// Top-level windows of the target processes on this desktop, in z-order.
std::vector<TopWindow> topWindows(const Options& options);

// "主窗口" / "main" and "注册" / "registration" name the program's two windows.
bool parseWindowName(const std::wstring& name, ui::Window* w);
std::wstring windowTitle(ui::Window w);
// The program's window: message boxes and menus never count, even with the same title. A visible
// one is preferred when several copies run. nullptr when absent.
HWND findWindow(ui::Window w, const Options& options);
HWND findWindowTitled(const std::wstring& title, const Options& options);

// A control as the window layer made it: found by its name in the window definitions, its control
// identifier and its class.
struct Control {
  const ui::ControlDef* def = nullptr;
  HWND hwnd = nullptr;
  HWND top = nullptr;
};
// Throws Failure(kUsage) for a name the definitions do not know and Failure(kNotFound) when the
// window or the control does not exist.
Control findControl(ui::Window w, const std::wstring& name, const Options& options);
// The control of that definition among the children of the window `top`, or nullptr.
HWND childControl(HWND top, const ui::ControlDef& def);
// True while the main window `owner` has its notification icon: the shell accepts a modification only
// for an icon it holds.
bool trayIconThere(HWND owner);
const wchar_t* expectedClass(ui::Kind kind);
const char* kindName(ui::Kind kind);

// ---- the mouse and the taskbar, as a user's own ----
// Moves the pointer as the mouse does (SetCursorPos alone does not move it under Wine).
void moveMouseTo(int x, int y);
// A press and release of the left button at that point of the screen, the pointer moved there first.
void realClickAt(int x, int y);
// The tooltip that the taskbar shows while the pointer rests on one of its notification icons (the icons
// sit at its right end), or empty when none shows or there is no taskbar on this thread's desktop.
std::wstring trayTooltip();

// ---- talking to the program's windows ----
// SendMessageTimeout that throws Failure(kNoAnswer) when the program does not answer.
LRESULT ask(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, const Options& options);
std::wstring windowText(HWND hwnd, const Options& options);  // WM_GETTEXT, marshalled by the system

// Memory inside the program's process, for the common-control messages that carry pointers the
// system does not marshal (list view, tab control). The probe and the program must have the same
// bitness, since the structures are written as the probe lays them out.
class RemoteBuffer {
 public:
  RemoteBuffer(HWND owner, size_t size);
  ~RemoteBuffer();
  RemoteBuffer(const RemoteBuffer&) = delete;
  RemoteBuffer& operator=(const RemoteBuffer&) = delete;
  void* at(size_t offset) const { return static_cast<char*>(base_) + offset; }
  void write(size_t offset, const void* data, size_t size);
  void read(size_t offset, void* data, size_t size) const;
  std::wstring readText(size_t offset, size_t chars) const;

 private:
  HANDLE process_ = nullptr;
  void* base_ = nullptr;
};

// Reading controls across the process boundary.
int listRowCount(HWND list, const Options& options);
int listColumnCount(HWND list, const Options& options);
std::wstring listCell(HWND list, RemoteBuffer& buffer, int row, int column, const Options& options);
int listIcon(HWND list, RemoteBuffer& buffer, int row, const Options& options);
struct ColumnInfo {
  std::wstring caption;
  int width = 0;
  const char* align = "left";
};
std::vector<ColumnInfo> listColumns(HWND list, const Options& options);
std::vector<std::wstring> tabCaptions(HWND tab, const Options& options);
RECT tabItemRect(HWND tab, int index, const Options& options);
std::vector<std::wstring> comboItems(HWND combo, const Options& options);

// Everything a user can see of one control, as a JSON object.
std::string describeControl(const Control& c, const Options& options);

}  // namespace probe
