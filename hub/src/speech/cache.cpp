#include "speech/cache.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include "accounts/secrets.h"
#include "common/log.h"

namespace hub::speech {

namespace fs = std::filesystem;

Cache::Cache(fs::path directory, std::uintmax_t limit) : directory_(std::move(directory)), limit_(limit) {
  std::error_code error;
  fs::create_directories(directory_, error);
  // The files' modification times keep their order of use across a restart.
  std::vector<std::pair<fs::file_time_type, std::string>> found;
  for (const auto& file : fs::directory_iterator(directory_, error)) {
    const fs::path& path = file.path();
    if (path.extension() == ".tmp") {
      fs::remove(path, error);  // a write a crash cut short
    } else if (path.extension() == ".mp3" && file.is_regular_file(error)) {
      found.emplace_back(file.last_write_time(error), path.stem().string());
      entries_[path.stem().string()].size = file.file_size(error);
    }
  }
  std::sort(found.begin(), found.end());
  for (const auto& [time, key] : found) {
    Entry& entry = entries_[key];
    total_ += entry.size;
    entry.used = ++clock_;
    uses_[entry.used] = key;
  }
  while (total_ > limit_ && !uses_.empty()) evictOldest();
}

std::string Cache::keyOf(const std::string& engine, int per, const std::string& text) {
  return accounts::digest(engine + "\n" + std::to_string(per) + "\n" + text);
}

fs::path Cache::pathOf(const std::string& key) const { return directory_ / (key + ".mp3"); }

void Cache::use(const std::string& key, Entry& entry) {
  uses_.erase(entry.used);
  entry.used = ++clock_;
  uses_[entry.used] = key;
}

void Cache::evictOldest() {
  const std::string oldest = uses_.begin()->second;  // a copy: forgetting erases the map's own
  forget(oldest);
}

void Cache::forget(const std::string& key) {
  const auto it = entries_.find(key);
  if (it == entries_.end()) return;
  total_ -= it->second.size;
  uses_.erase(it->second.used);
  entries_.erase(it);
  std::error_code ignored;
  fs::remove(pathOf(key), ignored);
}

std::optional<std::string> Cache::find(const std::string& key) {
  const auto it = entries_.find(key);
  if (it == entries_.end()) return std::nullopt;
  std::ifstream in(pathOf(key), std::ios::binary);
  std::ostringstream audio;
  audio << in.rdbuf();
  if (!in || audio.str().size() != it->second.size) {
    forget(key);  // removed or damaged behind the hub's back: rendered again
    return std::nullopt;
  }
  use(key, it->second);
  // Touched, so that a restart knows it was used lately.
  utimensat(AT_FDCWD, pathOf(key).c_str(), nullptr, 0);
  return audio.str();
}

void Cache::put(const std::string& key, const std::string& audio) {
  if (audio.size() > limit_) return;
  forget(key);
  const fs::path path = pathOf(key), part = path.string() + ".tmp";
  {
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    out.write(audio.data(), static_cast<std::streamsize>(audio.size()));
    out.close();
    std::error_code error;
    if (!out || (fs::rename(part, path, error), error)) {
      log::warn("speech cache not written", {{"file", path.string()}, {"reason", error ? error.message() : "write failed"}});
      fs::remove(part, error);
      return;
    }
  }
  Entry& entry = entries_[key];
  entry.size = audio.size();
  total_ += entry.size;
  use(key, entry);
  while (total_ > limit_ && !uses_.empty()) evictOldest();
}

}  // namespace hub::speech
