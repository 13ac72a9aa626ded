// Native stand-in for the message box: nobody is there to press OK, so a box is recorded and
// dismissed at once.
#include <mutex>

#include "common/msgbox.h"
#include "common/msgbox_shown.h"

namespace msgbox {
namespace {

std::mutex& lock() {
  static std::mutex m;
  return m;
}

std::vector<Shown>& boxes() {
  static std::vector<Shown> v;
  return v;
}

}  // namespace

void show(const std::string& text, const std::string& title) {
  std::lock_guard g(lock());
  boxes().push_back({text, title});
}

void showWithoutWaiting(const std::string& text) { show(text); }

std::vector<Shown> shownBoxes() {
  std::lock_guard g(lock());
  return boxes();
}

void clearShownBoxes() {
  std::lock_guard g(lock());
  boxes().clear();
}

}  // namespace msgbox
