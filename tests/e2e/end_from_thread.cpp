// The program with one addition for the test of ending from another thread: a thread that waits for the
// test's go-ahead (the named event "kassaro-test-end") and then calls endProgram with exit code 7, as the
// server link's thread does when it gives up.
#include <windows.h>

#include <thread>

#include "app/lifecycle.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  HANDLE goAhead = CreateEventW(nullptr, TRUE, FALSE, L"kassaro-test-end");
  std::thread([goAhead] {
    WaitForSingleObject(goAhead, INFINITE);
    app::endProgram(7);
  }).detach();
  return app::programMain();
}
