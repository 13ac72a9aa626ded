// The speech client's file work on Windows: the user's temporary directory and the MP3 written there.
#include <windows.h>

#include "voice/speech.h"

namespace voice {

std::string tempDirectory() {
  char path[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathA(sizeof path, path);
  std::string dir(path, n > 0 && n < sizeof path ? n : 0);
  if (dir.empty() || dir.back() != '\\') dir.push_back('\\');
  return dir;
}

bool writeWholeFile(const std::string& path, const text::Bytes& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size();
  CloseHandle(file);
  return ok;
}

}  // namespace voice
