// The speech client's file work natively: the temporary directory of the system and a plain file.
#include <cstdio>
#include <filesystem>

#include "voice/speech.h"

namespace voice {

std::string tempDirectory() {
  std::error_code error;
  std::string dir = std::filesystem::temp_directory_path(error).string();
  if (error || dir.empty()) dir = "/tmp";
  if (dir.back() != '/') dir.push_back('/');
  return dir;
}

bool writeWholeFile(const std::string& path, const text::Bytes& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

}  // namespace voice
