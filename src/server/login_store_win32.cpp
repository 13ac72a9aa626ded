#include "app/settings.h"
#include "server/login_store.h"

namespace account {

void storeLoginSetting(const std::string& key, const std::string& value) {
  settings::writeSetting("登陆", key, value);
}

std::vector<std::pair<std::string, std::string>> storedLoginSettings() { return {}; }
void clearStoredLoginSettings() {}

}  // namespace account
