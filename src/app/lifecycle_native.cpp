// Native stand-in for the end of the program: unit tests check that an end was asked for, and with which
// code; the exit clean-up routines are run as the real end runs them.
#include <mutex>

#include "app/lifecycle.h"
#include "app/lifecycle_native.h"

namespace app {
namespace {

std::mutex& lock() {
  static std::mutex m;
  return m;
}

std::vector<int>& requests() {
  static std::vector<int> v;
  return v;
}

std::vector<void (*)()>& cleanups() {
  static std::vector<void (*)()> v;
  return v;
}

}  // namespace

void registerExitCleanup(void (*routine)()) {
  std::lock_guard g(lock());
  cleanups().push_back(routine);
}

void endProgram(int exitCode) {
  std::vector<void (*)()> routines;
  {
    std::lock_guard g(lock());
    requests().push_back(exitCode);
    routines = cleanups();
  }
  for (auto routine : routines) routine();
}

std::vector<int> endRequests() {
  std::lock_guard g(lock());
  return requests();
}

void clearEndRequests() {
  std::lock_guard g(lock());
  requests().clear();
}

}  // namespace app
