// Natively there is no browser to start: the stand-in records the address for the tests.
#include <mutex>

#include "server/web_address.h"

namespace server {
namespace {

std::mutex& lock() {
  static std::mutex m;
  return m;
}

std::vector<std::string>& opened() {
  static std::vector<std::string> v;
  return v;
}

}  // namespace

bool openWebAddress(const std::string& address) {
  std::lock_guard g(lock());
  opened().push_back(address);
  return true;
}

std::vector<std::string> openedWebAddresses() {
  std::lock_guard g(lock());
  return opened();
}

void clearOpenedWebAddresses() {
  std::lock_guard g(lock());
  opened().clear();
}

}  // namespace server
