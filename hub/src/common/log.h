#pragma once
// The hub's log: one line per event on standard error, "TIME LEVEL event key=value ...". Values never
// carry a password or an intake key; the callers see to that. Values over 200 bytes are clipped. Lines
// are written by a thread of their own: write() only queues, and drops the line when the queue is full.
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace hub::log {

enum class Level { debug, info, warn, error };

// Lines below this level are left out; info by default.
void setLevel(Level level);
std::optional<Level> levelNamed(std::string_view name);

using Fields = std::initializer_list<std::pair<std::string_view, std::string_view>>;
void write(Level level, std::string_view event, Fields fields = {});

// Lines dropped because the queue was full, since the start.
std::uint64_t droppedLines();

inline void info(std::string_view event, Fields fields = {}) { write(Level::info, event, fields); }
inline void warn(std::string_view event, Fields fields = {}) { write(Level::warn, event, fields); }
inline void error(std::string_view event, Fields fields = {}) { write(Level::error, event, fields); }
inline void debug(std::string_view event, Fields fields = {}) { write(Level::debug, event, fields); }

}  // namespace hub::log
