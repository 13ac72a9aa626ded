// The one way the program ends, for every part of it; implemented by the program's lifecycle
// (app/lifecycle_win32.cpp, and natively a stand-in that records the request, app/lifecycle_native.cpp).
#pragma once

namespace app {

// Ends the program from any thread with the exit code: exit clean-up, windows destroyed (which removes
// the tray icon), process ended. From another thread the end is handed to the window thread; a request
// made while the end is already under way never returns. (The native build's stand-in only records the
// request, see lifecycle_native.h, and returns.)
void endProgram(int exitCode);

// Routines run by endProgram in the order of registration (the server link registers closeServerLink).
void registerExitCleanup(void (*routine)());

}  // namespace app
