// The event bindings, shared by the Win32 and the in-memory window layers.
#include "app/window_events.h"

#include <map>
#include <mutex>
#include <tuple>

namespace ui {
namespace {

using Key = std::tuple<Window, std::string, Event>;

std::mutex& lock() {
  static std::mutex m;
  return m;
}

std::map<Key, std::function<void()>>& bindings() {
  static std::map<Key, std::function<void()>> m;
  return m;
}

}  // namespace

void bind(Window w, const std::string& control, Event e, std::function<void()> handler) {
  std::lock_guard g(lock());
  bindings()[Key{w, control, e}] = std::move(handler);
}

std::function<void()> boundHandler(Window w, const std::string& control, Event e) {
  std::lock_guard g(lock());
  auto it = bindings().find(Key{w, control, e});
  return it == bindings().end() ? std::function<void()>() : it->second;
}

}  // namespace ui
