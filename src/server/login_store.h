// Where the remembered login goes: section "登陆" of pz.ini, through the shell's settings store.
#pragma once
#include <string>

namespace account {

void storeLoginSetting(const std::string& key, const std::string& value);

}  // namespace account
