// pz.ini through the private-profile calls (GBK text, one key per call, no cached copy) and the
// autostart value in the current user's Run key.
#include <windows.h>

#include <vector>

#include "app/settings.h"

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

void writeRunValue() {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return;
  const std::string path = exePath();
  RegSetValueExA(key, kRunValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                 static_cast<DWORD>(path.size() + 1));
  RegCloseKey(key);
}

void deleteRunValue() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kRunKey, 0, KEY_WRITE, &key) != ERROR_SUCCESS) return;
  // A value of that name, or failing that a subkey of that name.
  if (RegDeleteValueA(key, kRunValue) != ERROR_SUCCESS) RegDeleteKeyA(key, kRunValue);
  RegCloseKey(key);
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
  WritePrivateProfileStringA(section.c_str(), key.c_str(), storedForm(value).c_str(), iniPath().c_str());
}

void setAutostartEntry(bool on) {
  if (on)
    writeRunValue();
  else
    deleteRunValue();
}

}  // namespace settings
