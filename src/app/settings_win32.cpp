// pz.ini through the private-profile calls (GBK text, one key per call, no cached copy) and the
// autostart value in the current user's Run key.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "app/settings.h"
#include "common/msgbox.h"

namespace settings {
namespace {

constexpr DWORD kValueLimit = 10240;  // a value read keeps at most 10,239 bytes

std::string modulePath() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

// The path in quotes, so that a folder with blanks in its name starts the program and nothing else.
std::string runCommand() { return '"' + exePath() + '"'; }

std::string readRunValue() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return {};
  std::vector<char> data(4 * MAX_PATH);
  DWORD size = static_cast<DWORD>(data.size() - 1), type = 0;
  const bool read = RegQueryValueExA(key, kRunValue, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) ==
                        ERROR_SUCCESS && type == REG_SZ;
  RegCloseKey(key);
  return read ? std::string(data.data(), strnlen(data.data(), size)) : std::string();
}

// Written, then read back: a security program may refuse or undo the write without the call failing.
bool writeRunValue() {
  HKEY key = nullptr;
  const std::string command = runCommand();
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) ==
      ERROR_SUCCESS) {
    RegSetValueExA(key, kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                   static_cast<DWORD>(command.size() + 1));
    RegCloseKey(key);
  }
  return readRunValue() == command;
}

bool deleteRunValue() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return true;
  // A value of that name, or failing that a subkey of that name.
  if (RegDeleteValueA(key, kRunValue) != ERROR_SUCCESS) RegDeleteKeyA(key, kRunValue);
  RegCloseKey(key);
  return true;
}

// Once a run: the merchant needs to hear it once, not at every keystroke in the closing phrase.
void reportUnwritableSettings() {
  static std::atomic<bool> reported{false};
  if (reported.exchange(true)) return;
  msgbox::showWithoutWaiting("无法保存设置：Kassaro 所在的文件夹\n" + exeDirectory() +
                             "\n不能写入，记住的登陆、声音和播报结尾在下次启动时都会丢失。\n"
                             "请把 Kassaro 移到一个您自己能写入的文件夹中（例如 D:\\Kassaro），再从那里启动；"
                             "不要直接在压缩包里运行。");
}

bool isBlank(unsigned char c) { return c <= ' '; }

bool hasFullWidthSpaceAt(const std::string& value, size_t at) { return value.compare(at, 2, "\xA1\xA1") == 0; }

// The form in which a value goes into the file so that the read gives back exactly the value. The read
// takes blanks (the full-width space too) and then a pair of quotes off both ends, and a line break
// would end the line and start a line of its own: line breaks are left out, and a value that the read
// would change goes inside double quotes, which the read takes off again.
std::string storedForm(std::string value) {
  std::erase_if(value, [](char c) { return c == '\r' || c == '\n'; });
  if (value.empty()) return value;
  const bool changedByRead = isBlank(value.front()) || isBlank(value.back()) || value.front() == '"' ||
                             value.front() == '\'' || hasFullWidthSpaceAt(value, 0) ||
                             (value.size() >= 2 && hasFullWidthSpaceAt(value, value.size() - 2));
  return changedByRead ? '"' + value + '"' : value;
}

}  // namespace

std::string exePath() { return modulePath(); }

std::string exeDirectory() {
  const std::string path = modulePath();
  const size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string iniPath() { return exeDirectory() + "\\pz.ini"; }

std::string readSetting(const std::string& section, const std::string& key, const std::string& fallback) {
  std::vector<char> buffer(kValueLimit);
  DWORD n = GetPrivateProfileStringA(section.c_str(), key.c_str(), fallback.c_str(), buffer.data(), kValueLimit,
                                     iniPath().c_str());
  return std::string(buffer.data(), n);
}

void writeSetting(const std::string& section, const std::string& key, const std::string& value) {
  if (!WritePrivateProfileStringA(section.c_str(), key.c_str(), storedForm(value).c_str(), iniPath().c_str()))
    reportUnwritableSettings();
}

bool setAutostartEntry(bool on) { return on ? writeRunValue() : deleteRunValue(); }

void checkSettingsWritable() {
  // Opened for writing as the profile calls would, and removed again when it did not exist before.
  HANDLE file = CreateFileA(iniPath().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return reportUnwritableSettings();
  const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
  CloseHandle(file);
  if (created) DeleteFileA(iniPath().c_str());
}

}  // namespace settings
