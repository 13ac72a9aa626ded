// Inside the Win32 window layer: what its files share. Everything here is touched on the window thread
// only.
#pragma once
#include <windows.h>

#include <map>
#include <string>
#include <tuple>

#include "app/window_defs.h"
#include "app/window_layer_win32.h"

namespace ui::layer {

inline constexpr const wchar_t* kMainClass = L"KassaroMain";
inline constexpr const wchar_t* kRegistrationClass = L"KassaroRegistration";
inline constexpr const wchar_t* kPageClass = L"KassaroPage";
inline constexpr const wchar_t* kDispatchClass = L"KassaroDispatch";
inline constexpr int kPages = 3;

struct ControlRec {
  const ControlDef* def = nullptr;
  HWND hwnd = nullptr;
  int redrawHolds = 0;
};

struct WindowRec {
  HWND hwnd = nullptr;
  std::map<std::string, ControlRec> controls;
};

// The window layer's state: one owner, reached through layerState() (window_build_win32.cpp). Touched
// on the window thread only, but for `windowThread`, which is set once before another thread calls in.
struct LayerState {
  DWORD windowThread = 0;
  HWND dispatcher = nullptr;  // the message-only window that runs work handed over
  WindowRec windows[2];       // Main, Registration
  HWND pages[kPages] = {};
  HWND tab = nullptr;
  std::map<HWND, const ControlDef*> byHandle;
  std::map<HWND, InputMode> inputModes;
  int inputHolds = 0;
  bool programWriting = false;  // setText at work: its EN_CHANGE is not the user's change
};
LayerState& layerState();

inline WindowRec& rec(Window w) { return layerState().windows[w == Window::Main ? 0 : 1]; }

inline ControlRec* findRec(Window w, const std::string& name) {
  WindowRec& r = rec(w);
  if (!r.hwnd) return nullptr;
  auto it = r.controls.find(name);
  return it == r.controls.end() ? nullptr : &it->second;
}

inline HWND findKind(Window w, const std::string& name, Kind kind) {
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

// Shows one tab page and hides the others.
void showPage(int page);
void applyInputMode(HWND edit, InputMode mode);
// List views: an empty row appended with the image `icon` (its index), a cell's text, and whether the
// list has that cell.
int insertRow(HWND list, int icon);
void writeCell(HWND list, int row, int column, const std::string& text);
bool holdsCell(HWND list, int row, int column);

// The procedures of the tab pages' windows and of the message-only window that runs work handed over.
LRESULT CALLBACK pageProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
LRESULT CALLBACK dispatchProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

}  // namespace ui::layer
