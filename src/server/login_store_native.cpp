// Natively there is no settings file: the stand-in records what would have been written, for the tests.
#include <mutex>

#include "server/login_store.h"
#include "server/login_store_native.h"

namespace account {
namespace {

std::mutex& lock() {
  static std::mutex m;
  return m;
}

std::vector<std::pair<std::string, std::string>>& stored() {
  static std::vector<std::pair<std::string, std::string>> v;
  return v;
}

}  // namespace

void storeLoginSetting(const std::string& key, const std::string& value) {
  std::lock_guard g(lock());
  stored().emplace_back(key, value);
}

std::vector<std::pair<std::string, std::string>> storedLoginSettings() {
  std::lock_guard g(lock());
  return stored();
}

void clearStoredLoginSettings() {
  std::lock_guard g(lock());
  stored().clear();
}

}  // namespace account
