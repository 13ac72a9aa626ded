// The window layer on Win32, the window procedures: the controls' notifications turned into their
// events, the tab's pages, the windows forgotten when they go, and the hop onto the window thread.
#include "app/window_layer_internal_win32.h"

#include <commctrl.h>

#include <initializer_list>

#include "app/window_events.h"

namespace ui {
namespace layer {
namespace {

void dispatchEvent(HWND control, Event e) {
  const auto& byHandle = layerState().byHandle;
  auto it = byHandle.find(control);
  if (it == byHandle.end()) return;
  if (auto handler = boundHandler(it->second->window, it->second->name, e)) handler();
}

// WM_COMMAND from a control of ours, turned into the control's event.
void onCommand(HWND control, UINT code) {
  const auto& byHandle = layerState().byHandle;
  auto it = byHandle.find(control);
  if (it == byHandle.end()) return;
  switch (it->second->kind) {
    case Kind::Button:
    case Kind::CheckBox:
      if (code == BN_CLICKED) dispatchEvent(control, Event::Clicked);
      break;
    case Kind::Edit:
      if (code == EN_CHANGE && !layerState().programWriting) dispatchEvent(control, Event::Changed);
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

void forgetWindow(Window w) {
  WindowRec& r = rec(w);
  for (auto& [name, c] : r.controls) layerState().byHandle.erase(c.hwnd);
  r.controls.clear();
  r.hwnd = nullptr;
  if (w == Window::Main) {
    layerState().tab = nullptr;
    for (HWND& p : layerState().pages) p = nullptr;
  }
}

}  // namespace

LRESULT CALLBACK pageProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  // A multi-line edit asks its parent to close on Esc; a page lives as long as its window.
  if (msg == WM_CLOSE) return 0;
  return windowProcedure(hwnd, msg, wp, lp);
}

LRESULT CALLBACK dispatchProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WMAPP_RUN) {
    (*reinterpret_cast<const std::function<void()>*>(lp))();
    return 1;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace layer

using namespace layer;

LRESULT CALLBACK windowProcedure(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WMAPP_CREATED:
      if (auto created = boundHandler(static_cast<Window>(wp), "", Event::Created)) created();
      return 0;
    case WM_COMMAND:
      if (!lp) break;  // a menu's or an accelerator's, not a control's
      onCommand(reinterpret_cast<HWND>(lp), HIWORD(wp));
      return 0;
    case WM_NOTIFY: {
      auto* hdr = reinterpret_cast<NMHDR*>(lp);
      if (hdr->hwndFrom != layerState().tab || hdr->code != TCN_SELCHANGE) break;
      showPage(TabCtrl_GetCurSel(layerState().tab));
      return 0;
    }
    case WM_CTLCOLORSTATIC: {
      auto it = layerState().byHandle.find(reinterpret_cast<HWND>(lp));
      if (it == layerState().byHandle.end() || !it->second->link) break;
      HDC dc = reinterpret_cast<HDC>(wp);
      SetTextColor(dc, RGB(0, 0, 238));
      SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_NCDESTROY:
      for (Window w : {Window::Main, Window::Registration})
        if (rec(w).hwnd == hwnd) forgetWindow(w);
      break;
    default:
      break;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

bool onWindowThread() { return layerState().windowThread == GetCurrentThreadId(); }

void runOnWindowThread(const std::function<void()>& work) {
  if (!layerState().windowThread) startWindowThread();
  if (onWindowThread()) {
    work();
    return;
  }
  // One synchronous hop: the window thread runs the whole update before it reads its next message.
  SendMessageW(layerState().dispatcher, WMAPP_RUN, 0, reinterpret_cast<LPARAM>(&work));
}

void raiseEvent(Window w, const std::string& control, Event e) {
  if (auto handler = boundHandler(w, control, e)) runOnWindowThread(handler);
}

void holdInput(bool hold) {
  if (!layerState().windowThread) return;  // no windows to hold
  runOnWindowThread([&] {
    LayerState& state = layerState();
    state.inputHolds += hold ? 1 : -1;
    if (state.inputHolds == (hold ? 1 : 0)) {
      for (WindowRec& r : state.windows)
        if (r.hwnd) EnableWindow(r.hwnd, hold ? FALSE : TRUE);
    }
  });
}

}  // namespace ui
