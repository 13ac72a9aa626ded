#include "app/pz_ini.h"
#include "app/settings.h"
#include "server/login_store.h"

namespace account {

void storeLoginSetting(const std::string& key, const std::string& value) {
  settings::writeSetting(pz::kLoginSection, key, value);
}

}  // namespace account
