#pragma once
// Rendered sentences as files in the data directory, least recently used out once they pass their
// size, found again after a restart. On the event loop: the files are small and read whole.
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>

namespace hub::speech {

class Cache {
 public:
  // Reads what a previous run left in `directory` (made when missing). `limit` 0 keeps nothing.
  Cache(std::filesystem::path directory, std::uintmax_t limit);

  // The key of a sentence as one engine renders it in one voice.
  static std::string keyOf(const std::string& engine, int per, const std::string& text);

  std::optional<std::string> find(const std::string& key);
  void put(const std::string& key, const std::string& audio);

 private:
  struct Entry {
    std::uintmax_t size = 0;
    std::uint64_t used = 0;  // a position in uses_
  };
  void use(const std::string& key, Entry& entry);
  void forget(const std::string& key);
  void evictOldest();
  std::filesystem::path pathOf(const std::string& key) const;

  std::filesystem::path directory_;
  std::uintmax_t limit_;
  std::uintmax_t total_ = 0;
  std::uint64_t clock_ = 0;
  std::unordered_map<std::string, Entry> entries_;
  std::map<std::uint64_t, std::string> uses_;  // oldest use first
};

}  // namespace hub::speech
