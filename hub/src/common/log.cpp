#include "common/log.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <mutex>
#include <thread>

#include "common/text.h"

namespace hub::log {
namespace {

std::atomic<Level> threshold{Level::info};

// A logged value longer than this is cut, with a note of its length: whatever a client sends as its name,
// a line stays short.
constexpr std::size_t kMaxValueBytes = 200;
// Lines waiting for the writer; past this the newest are dropped and counted, so that a flood of events
// or a stalled standard error never holds up the event loop.
constexpr std::size_t kMaxQueuedBytes = 4 << 20;

// The thread that writes the lines; callers only queue them.
class Writer {
 public:
  ~Writer() {
    {
      std::lock_guard lock(mutex_);
      ending_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

  void queue(std::string line) {
    std::unique_lock lock(mutex_);
    if (ending_) {  // at exit, after the writer has gone: straight out
      lock.unlock();
      out(line);
      return;
    }
    if (queuedBytes_ + line.size() > kMaxQueuedBytes) {
      ++dropped_;
      ++droppedTotal_;
      return;
    }
    queuedBytes_ += line.size();
    lines_.push_back(std::move(line));
    if (!thread_.joinable()) thread_ = std::thread([this] { drain(); });
    lock.unlock();
    wake_.notify_one();
  }

  std::uint64_t dropped() const { return droppedTotal_.load(); }

 private:
  static void out(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }

  void drain() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return ending_ || !lines_.empty(); });
      if (lines_.empty()) return;  // ending, all written
      std::string batch;
      for (const auto& line : lines_) batch += line;
      lines_.clear();
      queuedBytes_ = 0;
      if (dropped_) {
        batch += "log lines dropped count=" + std::to_string(dropped_) + "\n";
        dropped_ = 0;
      }
      lock.unlock();
      out(batch);
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> lines_;
  std::size_t queuedBytes_ = 0;
  std::uint64_t dropped_ = 0;  // since the last note of it in the log
  std::atomic<std::uint64_t> droppedTotal_{0};
  bool ending_ = false;
  std::thread thread_;
};

Writer& writer() {
  static Writer w;
  return w;
}

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
void appendQuoted(std::string& line, std::string_view value) {
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

// A long value is clipped, with its whole length after it.
void appendValue(std::string& line, std::string_view value) {
  const std::string shown = text::clipUtf8(value, kMaxValueBytes);
  appendQuoted(line, shown);
  if (value.size() > shown.size()) line += "...[" + std::to_string(value.size()) + " bytes]";
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
  writer().queue(std::move(line));
}

std::uint64_t droppedLines() { return writer().dropped(); }

}  // namespace hub::log
