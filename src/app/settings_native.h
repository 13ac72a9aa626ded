// Native builds only: there is no pz.ini, so the stand-in keeps the keys in memory and records, for the
// tests, what was written, oldest first.
#pragma once
#include <string>
#include <vector>

namespace settings {

struct Written {
  std::string section, key, value;
};
std::vector<Written> writtenSettings();
// Forgets every key and the record.
void clearSettings();

}  // namespace settings
