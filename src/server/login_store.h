// Where the remembered login goes: section "登陆" of pz.ini, through the shell's settings store.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace account {

void storeLoginSetting(const std::string& key, const std::string& value);

// Native builds only (there is no pz.ini): the keys and values stored, oldest first.
std::vector<std::pair<std::string, std::string>> storedLoginSettings();
void clearStoredLoginSettings();

}  // namespace account
