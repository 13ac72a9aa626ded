// The window layer: every control operation the program uses, addressed by window and control name.
// Callable from the window thread and from any other thread (a call from another thread is carried out
// on the window thread). Control names are unique within a window only.
//
// The rest of the program reaches the windows only through these operations. On Windows they work on
// real controls (app/window_*_win32.cpp); the native build has an in-memory stand-in with the same
// behaviour over the same window definitions (app/window_layer_native.cpp), so the portable core is
// tested without Windows.
#pragma once
#include <functional>
#include <string>

namespace ui {

enum class Window { Main, Registration };

// Creates a window from its definition (the registration window without a modal loop) and destroys
// it. Creating a window that exists brings it to the front instead.
void createWindow(Window w);
void destroyWindow(Window w);
bool windowExists(Window w);

// Events of the windows and controls that the program reacts to. Nothing is bound by default: the
// program entry binds its handlers before it loads the main window, so a test that creates windows on
// its own gets windows that only hold their controls.
enum class Event {
  Created,    // the window and all its controls exist (control name empty)
  Clicked,    // button or check box clicked (after a check box has toggled)
  Changed,    // edit box content changed by the user (not by setText)
  Selected,   // combo box item chosen by the user
  MouseDown,  // left mouse button pressed on a label
};
void bind(Window w, const std::string& control, Event e, std::function<void()> handler);
// Runs the handler bound to the event, if any, as the control would (on the window thread).
void raiseEvent(Window w, const std::string& control, Event e);

// Runs `work` on the window thread and returns when it has run: a multi-step update (append, fill,
// renumber, total) costs one thread hop and no other writer gets in between.
void runOnWindowThread(const std::function<void()>& work);

// Processes the window messages pending for the calling thread (work handed over from other threads
// included) and returns; the in-memory layer has none.
void processPendingMessages();

// The window itself: the visible flag and the window state. A state command acts only while the window
// is visible. The numbers are the states' own in the program's design.
enum class WindowCommand {
  ShowNormal = 0,
  RestoreCentred = 1,  // restore if minimised or maximised, and centre on the screen
  Minimise = 2,
  Maximise = 3,
};
enum class WindowState { Normal = 0, Minimised = 2, Maximised = 3 };
void setWindowVisible(Window w, bool visible);
bool windowVisible(Window w);
void setWindowState(Window w, WindowCommand command);
WindowState windowState(Window w);

// Any control.
void setVisible(Window w, const std::string& control, bool visible);
bool isVisible(Window w, const std::string& control);
void setEnabled(Window w, const std::string& control, bool enabled);
bool isEnabled(Window w, const std::string& control);

// Label, group box, button, check box: the caption. Edit box: the content.
void setText(Window w, const std::string& control, const std::string& text);
std::string text(Window w, const std::string& control);

// Edit box input mode, numbered as in the program's design.
enum class InputMode {
  Normal = 0,
  Password = 2,
  WholeNumber = 3,  // only digits and "-" typed
};
void setInputMode(Window w, const std::string& control, InputMode mode);
InputMode inputMode(Window w, const std::string& control);

// Check box.
void setChecked(Window w, const std::string& control, bool checked);
bool isChecked(Window w, const std::string& control);

// Combo box current index (0-based, -1 for none); tab control current page.
void setCurrentIndex(Window w, const std::string& control, int index);
int currentIndex(Window w, const std::string& control);

// List (report view).
int rowCount(Window w, const std::string& list);
int columnCount(Window w, const std::string& list);
int appendRow(Window w, const std::string& list, int icon);  // the new row's index
int rowIcon(Window w, const std::string& list, int row);
void setCell(Window w, const std::string& list, int row, int column, const std::string& text);
std::string cell(Window w, const std::string& list, int row, int column);
void clearRows(Window w, const std::string& list);
// Suspends redrawing during a bulk update; every false is matched by a true.
void setRedraw(Window w, const std::string& list, bool redraw);

}  // namespace ui
