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

// There is no Run key natively; the entry is tested under Wine.
bool setAutostartEntry(bool) { return true; }

std::vector<Written> writtenSettings() {
  Store& s = store();
  std::lock_guard g(s.lock);
  return s.written;
}

void clearSettings() {
  Store& s = store();
  std::lock_guard g(s.lock);
  s.values.clear();
  s.written.clear();
}

}  // namespace settings
