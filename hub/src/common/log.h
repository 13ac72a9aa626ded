#pragma once
// The hub's log: one line per event on standard error, "TIME LEVEL event key=value ...". Values never
// carry a password or an intake key; the callers see to that.
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

inline void info(std::string_view event, Fields fields = {}) { write(Level::info, event, fields); }
inline void warn(std::string_view event, Fields fields = {}) { write(Level::warn, event, fields); }
inline void error(std::string_view event, Fields fields = {}) { write(Level::error, event, fields); }
inline void debug(std::string_view event, Fields fields = {}) { write(Level::debug, event, fields); }

}  // namespace hub::log
