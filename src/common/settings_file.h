// One key of pz.ini, the settings file beside the executable, read and written by any part of the
// program. Implemented with the rest of the settings (app/settings_win32.cpp on Windows; natively an
// in-memory stand-in that records what was written, app/settings_native.cpp).
#pragma once
#include <string>

namespace settings {

// Values read are cut at 10,239 bytes. What is written reads back byte for byte, except that line breaks
// are left out: a value is one line of the file.
std::string readSetting(const std::string& section, const std::string& key, const std::string& fallback);
void writeSetting(const std::string& section, const std::string& key, const std::string& value);

}  // namespace settings
