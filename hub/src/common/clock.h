#pragma once
// Wall-clock time as milliseconds since the Unix epoch, and the hub's time zone: the shop's day, and the
// time texts the counter reads.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace date { class time_zone; }

namespace hub::clock {

using Millis = std::int64_t;

Millis now();

// An IANA time zone from the system's database ("Asia/Shanghai").
struct Zone {
  const date::time_zone* tz = nullptr;
};
std::optional<Zone> zoneNamed(std::string_view name);

// The local day [start, end) that holds t, in milliseconds; a day is not always 24 hours long.
std::pair<Millis, Millis> dayOf(const Zone& zone, Millis t);
// The local day named "YYYY-MM-DD"; nothing for a text that names no day.
std::optional<std::pair<Millis, Millis>> dayNamed(const Zone& zone, std::string_view ymd);

// The local month [start, end) that holds t, and the month named "YYYY-MM", as dayOf and dayNamed.
std::pair<Millis, Millis> monthOf(const Zone& zone, Millis t);
std::optional<std::pair<Millis, Millis>> monthNamed(const Zone& zone, std::string_view ym);

// The time as the counter's bill history writes it: "2020-6-29 09:53:40" (month and day without
// leading zeros, the clock with them), in the zone.
std::string counterTime(const Zone& zone, Millis t);
// The same as ISO 8601 with the zone's offset, for operators: "2020-06-29T09:53:40+08:00".
std::string isoTime(const Zone& zone, Millis t);

// A time as phones send it: milliseconds or seconds since the epoch (as digits; ten digits or fewer are
// seconds), ISO 8601 with "Z" or an offset, or "YYYY-MM-DD HH:MM:SS" local to the zone. Nothing for
// anything else.
std::optional<Millis> readPhoneTime(const Zone& zone, std::string_view text);

}  // namespace hub::clock
