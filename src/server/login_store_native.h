// Native builds only: there is no pz.ini, so the stand-in records the keys and values stored, oldest
// first, for the tests.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace account {

std::vector<std::pair<std::string, std::string>> storedLoginSettings();
void clearStoredLoginSettings();

}  // namespace account
