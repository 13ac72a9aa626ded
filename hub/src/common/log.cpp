#include "common/log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace hub::log {
namespace {

std::atomic<Level> threshold{Level::info};
std::mutex lineMutex;

constexpr std::string_view levelWord(Level level) {
  switch (level) {
    case Level::debug: return "debug";
    case Level::info: return "info";
    case Level::warn: return "warn";
    case Level::error: return "error";
  }
  return "info";
}

// A value with blanks, quotes or control characters is quoted, so that a line always splits into its
// fields, whatever a client sent as an account name.
void appendValue(std::string& line, std::string_view value) {
  bool plain = !value.empty();
  for (unsigned char c : value)
    if (c <= ' ' || c == '"' || c == '=' || c == 0x7f) plain = false;
  if (plain) {
    line += value;
    return;
  }
  line += '"';
  for (unsigned char c : value) {
    if (c == '"' || c == '\\') {
      line += '\\';
      line += static_cast<char>(c);
    } else if (c < ' ' || c == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      line += hex;
    } else {
      line += static_cast<char>(c);
    }
  }
  line += '"';
}

}  // namespace

void setLevel(Level level) { threshold = level; }

std::optional<Level> levelNamed(std::string_view name) {
  for (Level level : {Level::debug, Level::info, Level::warn, Level::error})
    if (levelWord(level) == name) return level;
  return std::nullopt;
}

void write(Level level, std::string_view event, Fields fields) {
  if (level < threshold.load()) return;
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const int millis = static_cast<int>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
  std::string line = stamp;
  line += ' ';
  line += levelWord(level);
  line += ' ';
  line += event;
  for (const auto& [key, value] : fields) {
    line += ' ';
    line += key;
    line += '=';
    appendValue(line, value);
  }
  line += '\n';
  std::lock_guard lock(lineMutex);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace hub::log
