// The program with one addition for the end-to-end case of ending from another thread: a thread that
// waits for the test's go-ahead (a file "go-ahead" appearing beside the exe) and then calls endProgram
// with exit code 7, as the server link's thread does when it gives up.
#include <windows.h>

#include <string>
#include <thread>

#include "app/lifecycle.h"

namespace {

std::wstring goAheadPath() {
  wchar_t exe[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring path = exe;
  return path.substr(0, path.find_last_of(L'\\') + 1) + L"go-ahead";
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  std::thread([path = goAheadPath()] {
    while (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(20);
    app::endProgram(7);
  }).detach();
  return app::programMain();
}
