// The in-memory window layer for native unit tests: the same window definitions held as plain state,
// with the same answers the Win32 layer gives (missing windows do nothing and read as empty), except
// that a control name the definitions do not hold aborts. One lock stands in for the window thread, so work from any thread runs one at a time.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "app/window_defs.h"
#include "app/window_events.h"
#include "ui/window_layer.h"

namespace ui {
namespace {

struct Row {
  int icon = 0;
  std::vector<std::string> cells;
};

struct Control {
  const ControlDef* def = nullptr;
  std::string text;
  bool visible = true;
  bool enabled = true;
  bool checked = false;
  InputMode inputMode = InputMode::Normal;
  int index = -1;  // combo selection or tab page
  std::vector<Row> rows;
  int redrawHolds = 0;
};

struct State {
  bool exists = false;
  bool visible = false;
  WindowState windowState = WindowState::Normal;
  std::map<std::string, Control> controls;
};

std::recursive_mutex& lock() {
  static std::recursive_mutex m;
  return m;
}

State& state(Window w) {
  static State main, registration;
  return w == Window::Main ? main : registration;
}

// A name the definitions do not hold is a typo in the program: the Win32 layer would quietly do nothing
// with it, so here it stops the test that reaches it.
void requireDefined(Window w, const std::string& name) {
  if (findControlDef(w, name)) return;
  std::fprintf(stderr, "window layer: no control named \"%s\" in window %d\n", name.c_str(), static_cast<int>(w));
  std::abort();
}

Control* find(Window w, const std::string& name) {
  requireDefined(w, name);
  State& s = state(w);
  if (!s.exists) return nullptr;
  auto it = s.controls.find(name);
  return it == s.controls.end() ? nullptr : &it->second;
}

Control* findKind(Window w, const std::string& name, Kind kind) {
  Control* c = find(w, name);
  return c && c->def->kind == kind ? c : nullptr;
}

bool isCheckable(const Control* c) { return c && c->def->kind == Kind::CheckBox; }

}  // namespace

void createWindow(Window w) {
  std::unique_lock g(lock());
  State& s = state(w);
  if (s.exists) return;
  s.exists = true;
  s.controls.clear();
  for (const ControlDef& d : controlDefs(w)) {
    Control c;
    c.def = &d;
    c.text = d.text;
    c.visible = d.visible;
    c.checked = d.checked;
    c.inputMode = d.inputMode;
    if (d.kind == Kind::Tab) c.index = 0;
    for (const auto& cells : d.rows) c.rows.push_back({0, cells});
    s.controls[d.name] = c;
  }
  g.unlock();
  raiseEvent(w, "", Event::Created);
  g.lock();
  if (s.exists) s.visible = true;
}

void raiseEvent(Window w, const std::string& control, Event e) {
  if (auto handler = boundHandler(w, control, e)) runOnWindowThread(handler);
}

void destroyWindow(Window w) {
  std::lock_guard g(lock());
  state(w).exists = false;
  state(w).visible = false;
  state(w).windowState = WindowState::Normal;
  state(w).controls.clear();
}

bool windowExists(Window w) {
  std::lock_guard g(lock());
  return state(w).exists;
}

void runOnWindowThread(const std::function<void()>& work) {
  std::lock_guard g(lock());
  work();
}

void processPendingMessages() {}

void setWindowVisible(Window w, bool visible) {
  std::lock_guard g(lock());
  if (state(w).exists) state(w).visible = visible;
}

bool windowVisible(Window w) {
  std::lock_guard g(lock());
  return state(w).exists && state(w).visible;
}

void setWindowState(Window w, WindowCommand command) {
  std::lock_guard g(lock());
  State& s = state(w);
  if (!s.exists || !s.visible) return;
  switch (command) {
    case WindowCommand::ShowNormal:
    case WindowCommand::RestoreCentred:
      s.windowState = WindowState::Normal;
      break;
    case WindowCommand::Minimise:
      s.windowState = WindowState::Minimised;
      break;
    case WindowCommand::Maximise:
      s.windowState = WindowState::Maximised;
      break;
  }
}

WindowState windowState(Window w) {
  std::lock_guard g(lock());
  return state(w).exists ? state(w).windowState : WindowState::Normal;
}

void setVisible(Window w, const std::string& control, bool visible) {
  std::lock_guard g(lock());
  if (Control* c = find(w, control)) c->visible = visible;
}

bool isVisible(Window w, const std::string& control) {
  std::lock_guard g(lock());
  Control* c = find(w, control);
  return c && c->visible;
}

void setEnabled(Window w, const std::string& control, bool enabled) {
  std::lock_guard g(lock());
  if (Control* c = find(w, control)) c->enabled = enabled;
}

bool isEnabled(Window w, const std::string& control) {
  std::lock_guard g(lock());
  Control* c = find(w, control);
  return c && c->enabled;
}

void setText(Window w, const std::string& control, const std::string& text) {
  std::lock_guard g(lock());
  Control* c = find(w, control);
  if (!c || c->def->kind == Kind::List || c->def->kind == Kind::Tab || c->def->kind == Kind::Combo) return;
  c->text = text;
}

std::string text(Window w, const std::string& control) {
  std::lock_guard g(lock());
  Control* c = find(w, control);
  if (!c) return {};
  if (c->def->kind == Kind::Combo) {
    const auto& items = c->def->items;
    return c->index >= 0 && c->index < static_cast<int>(items.size()) ? items[c->index] : std::string();
  }
  return c->text;
}

void setInputMode(Window w, const std::string& control, InputMode mode) {
  std::lock_guard g(lock());
  if (Control* c = findKind(w, control, Kind::Edit)) c->inputMode = mode;
}

InputMode inputMode(Window w, const std::string& control) {
  std::lock_guard g(lock());
  Control* c = findKind(w, control, Kind::Edit);
  return c ? c->inputMode : InputMode::Normal;
}

void setChecked(Window w, const std::string& control, bool checked) {
  std::lock_guard g(lock());
  Control* c = find(w, control);
  if (isCheckable(c)) c->checked = checked;
}

bool isChecked(Window w, const std::string& control) {
  std::lock_guard g(lock());
  Control* c = find(w, control);
  return isCheckable(c) && c->checked;
}

void setCurrentIndex(Window w, const std::string& control, int index) {
  std::lock_guard g(lock());
  Control* c = find(w, control);
  if (!c) return;
  const int count = static_cast<int>(c->def->items.size());
  if (c->def->kind == Kind::Combo) {
    // As the platform's combo box does: an index outside the items leaves nothing selected.
    c->index = index >= 0 && index < count ? index : -1;
  } else if (c->def->kind == Kind::Tab) {
    if (index >= 0 && index < count) c->index = index;
  }
}

int currentIndex(Window w, const std::string& control) {
  std::lock_guard g(lock());
  Control* c = find(w, control);
  return c && (c->def->kind == Kind::Combo || c->def->kind == Kind::Tab) ? c->index : -1;
}

int rowCount(Window w, const std::string& list) {
  std::lock_guard g(lock());
  Control* c = findKind(w, list, Kind::List);
  return c ? static_cast<int>(c->rows.size()) : 0;
}

int columnCount(Window w, const std::string& list) {
  std::lock_guard g(lock());
  Control* c = findKind(w, list, Kind::List);
  return c ? static_cast<int>(c->def->columns.size()) : 0;
}

int appendRow(Window w, const std::string& list, int icon) {
  std::lock_guard g(lock());
  Control* c = findKind(w, list, Kind::List);
  if (!c) return -1;
  c->rows.push_back({icon, std::vector<std::string>(c->def->columns.size())});
  return static_cast<int>(c->rows.size()) - 1;
}

int rowIcon(Window w, const std::string& list, int row) {
  std::lock_guard g(lock());
  Control* c = findKind(w, list, Kind::List);
  if (!c || row < 0 || row >= static_cast<int>(c->rows.size())) return -1;
  return c->rows[row].icon;
}

void setCell(Window w, const std::string& list, int row, int column, const std::string& text) {
  std::lock_guard g(lock());
  Control* c = findKind(w, list, Kind::List);
  if (!c || row < 0 || row >= static_cast<int>(c->rows.size())) return;
  auto& cells = c->rows[row].cells;
  if (column < 0 || column >= static_cast<int>(cells.size())) return;
  cells[column] = text;
}

std::string cell(Window w, const std::string& list, int row, int column) {
  std::lock_guard g(lock());
  Control* c = findKind(w, list, Kind::List);
  if (!c || row < 0 || row >= static_cast<int>(c->rows.size())) return {};
  const auto& cells = c->rows[row].cells;
  return column >= 0 && column < static_cast<int>(cells.size()) ? cells[column] : std::string();
}

void clearRows(Window w, const std::string& list) {
  std::lock_guard g(lock());
  if (Control* c = findKind(w, list, Kind::List)) c->rows.clear();
}

void setRedraw(Window w, const std::string& list, bool redraw) {
  std::lock_guard g(lock());
  if (Control* c = findKind(w, list, Kind::List)) c->redrawHolds += redraw ? -1 : 1;
}

}  // namespace ui
