// The life of the process: entry, the main window's creation and window-state handlers, the tray menu
// commands, and the one way the program ends.
#pragma once

namespace app {

// The program entry: window framework, server link start, main window, message loop.
int programMain();

// Ends the program from any thread with the exit code: exit clean-up, windows destroyed (which removes
// the tray icon), process ended. From another thread the end is handed to the window thread; a request
// made while the end is already under way never returns. (The native build's stand-in only records the
// request, see lifecycle_native.h, and returns.)
void endProgram(int exitCode);

// Routines run by endProgram in the order of registration (the server link registers closeServerLink).
void registerExitCleanup(void (*routine)());

}  // namespace app
