// Natively the settings live in memory: what is written reads back, and the tests see every write.
#include <map>
#include <mutex>
#include <utility>

#include "app/settings.h"
#include "app/settings_native.h"

namespace settings {
namespace {

struct Store {
  std::mutex lock;
  std::map<std::pair<std::string, std::string>, std::string> values;
  std::vector<Written> written;
  bool autostart = false;
};

Store& store() {
  static Store s;
  return s;
}

}  // namespace

std::string readSetting(const std::string& section, const std::string& key, const std::string& fallback) {
  Store& s = store();
  std::lock_guard g(s.lock);
  auto it = s.values.find({section, key});
  return it == s.values.end() ? fallback : it->second;
}

void writeSetting(const std::string& section, const std::string& key, const std::string& value) {
  Store& s = store();
  std::lock_guard g(s.lock);
  s.values[{section, key}] = value;
  s.written.push_back({section, key, value});
}

void setAutostartEntry(bool on) {
  Store& s = store();
  std::lock_guard g(s.lock);
  s.autostart = on;
}

std::vector<Written> writtenSettings() {
  Store& s = store();
  std::lock_guard g(s.lock);
  return s.written;
}

bool autostartEntry() {
  Store& s = store();
  std::lock_guard g(s.lock);
  return s.autostart;
}

void clearSettings() {
  Store& s = store();
  std::lock_guard g(s.lock);
  s.values.clear();
  s.written.clear();
  s.autostart = false;
}

}  // namespace settings
