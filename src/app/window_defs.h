// The two windows as data: one record per control, in creation order. The Win32 layer turns the
// records into windows and the in-memory layer into plain state, so both find a control by its name.
//
// Geometry is at 96 DPI, in the coordinates of the control's container: a tab page's origin is the
// tab control's top-left corner (tab strip included), a group box's origin is its own top-left corner.
#pragma once
#include <string>
#include <vector>

#include "ui/window_layer.h"

namespace ui {

enum class Kind { Tab, Label, GroupBox, CheckBox, Button, Edit, Combo, List, MediaPlayer };

struct Rect {
  int x = 0, y = 0, w = 0, h = 0;
};

struct Font {
  const char* face = nullptr;  // nullptr: the window font
  int px = 0;                  // character height in pixels at 96 DPI
  bool bold = false;
};

enum class Align { Left, Centre };

struct Column {
  std::string caption;
  int width = 0;
  Align align = Align::Left;
};

struct ControlDef {
  Window window = Window::Main;
  std::string name;
  Kind kind = Kind::Label;
  int page = -1;          // the tab page that holds it, -1 for the window's client area
  std::string group;      // the group box that is the origin of its geometry, empty for none
  std::string text;       // caption or initial content (for a tab control, unused)
  Rect rect;
  Font font;
  bool visible = true;
  bool checked = false;   // check boxes
  InputMode inputMode = InputMode::Normal;  // edit boxes
  bool multiline = false; // edit boxes taller than one line
  bool wrap = false;      // labels: long text wraps at the right edge (others clip, as single lines)
  bool link = false;      // labels: drawn in a link's blue, for a label that acts when pressed
  std::vector<Column> columns;                  // lists
  std::vector<std::vector<std::string>> rows;   // lists: the rows they start with
  std::vector<std::string> items;               // combo boxes; tab control: the page captions
  int dropHeight = 0;                           // combo boxes: height of the drop-down part
};

struct WindowDef {
  Window window;
  std::string title;
  Rect rect;  // outer size, on the screen
};

// The window font: SimSun, 12 px.
inline constexpr const char* kWindowFace = "SimSun";
inline constexpr int kWindowFontPx = 12;

// Small-icon indexes of the bill lists: one image per payment channel.
inline constexpr int kIconAlipay = 0;
inline constexpr int kIconWeChat = 1;

const WindowDef& windowDef(Window w);
const std::vector<ControlDef>& controlDefs(Window w);
// nullptr when the window has no control of that name.
const ControlDef* findControlDef(Window w, const std::string& name);

// A control's identifier (GetDlgCtrlID): fixed by its place in the window's definition, so that tools
// outside the process find it by the same numbering. 0 for an unknown name.
inline constexpr int kFirstControlId = 1000;
int controlId(Window w, const std::string& name);

// The control's top-left corner in its page's (or the client area's) coordinates: the group box's
// origin added when it sits in one.
Rect pageRect(const ControlDef& def);

}  // namespace ui
