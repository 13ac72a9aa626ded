// The life of the process: entry, the main window's creation and window-state handlers, the tray menu
// commands, and the one way the program ends (declared in common/program_end.h for every part).
#pragma once
#include "common/program_end.h"

namespace app {

// The program entry: window framework, server link start, main window, message loop.
int programMain();

}  // namespace app
