// The settings file pz.ini beside the executable and the autostart entry in the current user's Run
// key. The main window's controls hold the values; the file is read once at creation and each key
// written when its control changes.
//
// On Windows the store is the real file and registry; the native build has an in-memory stand-in
// (settings_native.h) that records what was written.
#pragma once
#include <string>

#include "common/settings_file.h"

namespace settings {

// The Run value that starts the program when the user logs on: written with the executable's path in
// quotes and read back, or removed. False when a value written is not there after all (a security
// program may block it).
bool setAutostartEntry(bool on);

// The main window's controls from pz.ini, and each control's handler that writes its key.
void loadSettings();
void saveAutostart();      // "开机自启" clicked
void saveClosingPhrase();  // the closing phrase edited
void saveVoice();          // a voice chosen

#ifdef _WIN32
// The directory of the running executable (no trailing backslash), its full path and pz.ini's.
std::string exeDirectory();
std::string exePath();
std::string iniPath();

// Tells the merchant, once a run, when pz.ini cannot be written beside the program (a folder of
// Program Files, a zip's temporary folder): checked at start, and by every write that fails.
void checkSettingsWritable();

inline constexpr const char* kRunKey = "software\\microsoft\\windows\\CurrentVersion\\Run";
inline constexpr const char* kRunValue = "我的启动项";
#endif

}  // namespace settings
