// Windows only: the settings file pz.ini beside the executable and the autostart entry in the current
// user's Run key. The main window's controls hold the values; the file is read once at creation and
// each key written when its control changes.
#pragma once
#include <string>

namespace settings {

// The directory of the running executable (no trailing backslash) and its full path.
std::string exeDirectory();
std::string exePath();
std::string iniPath();

// One key of pz.ini; values read are cut at 10,239 bytes. What is written reads back byte for byte,
// except that line breaks are left out: a value is one line of the file.
std::string readSetting(const std::string& section, const std::string& key, const std::string& fallback);
void writeSetting(const std::string& section, const std::string& key, const std::string& value);

void loadSettings();
void saveAutostart();      // click on 选择框3 ("开机自启")
void saveClosingPhrase();  // content of 编辑框1 changed
void saveVoice();          // item chosen in 组合框1

inline constexpr const char* kRunKey = "software\\microsoft\\windows\\CurrentVersion\\Run";
inline constexpr const char* kRunValue = "我的启动项";

}  // namespace settings
