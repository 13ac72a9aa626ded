#include "common/clock.h"

#include <date/tz.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace hub::clock {
namespace {

using std::chrono::milliseconds;
using LocalMillis = date::local_time<milliseconds>;
using SysMillis = date::sys_time<milliseconds>;

// A zone without a database entry (a default Zone) is read as UTC, so none of these can fail.
LocalMillis toLocal(const Zone& zone, Millis t) {
  const SysMillis sys{milliseconds{t}};
  return zone.tz ? zone.tz->to_local(sys) : LocalMillis{sys.time_since_epoch()};
}

// A local time that the clocks skip or pass twice (a DST change) is taken at its earliest instant:
// a day that starts inside the skipped hour starts when the clocks jump.
Millis toMillis(const Zone& zone, LocalMillis local) {
  const SysMillis sys = zone.tz ? zone.tz->to_sys(local, date::choose::earliest) : SysMillis{local.time_since_epoch()};
  return sys.time_since_epoch().count();
}

// The zone's clock and calendar at t, to the second, and how far they stand from UTC.
struct Reading {
  int year;
  unsigned month, day, hour, minute, second;
  long offsetMinutes;
};

Reading readingAt(const Zone& zone, Millis t) {
  const LocalMillis local = toLocal(zone, t);
  const auto day = date::floor<date::days>(local);
  const date::year_month_day ymd{day};
  const date::hh_mm_ss clock{date::floor<std::chrono::seconds>(local - day)};
  return {int(ymd.year()), unsigned(ymd.month()), unsigned(ymd.day()), unsigned(clock.hours().count()),
          unsigned(clock.minutes().count()), unsigned(clock.seconds().count()),
          long((local.time_since_epoch().count() - t) / 60'000)};
}

std::pair<Millis, Millis> localDay(const Zone& zone, date::local_days day) {
  return {toMillis(zone, LocalMillis{day}), toMillis(zone, LocalMillis{day + date::days{1}})};
}

std::pair<Millis, Millis> localMonth(const Zone& zone, date::year_month month) {
  return {toMillis(zone, LocalMillis{date::local_days{month / 1}}),
          toMillis(zone, LocalMillis{date::local_days{(month + date::months{1}) / 1}})};
}

// The decimal digits text[at, at + width), as dates and epoch times are written; nothing if any is not one.
std::optional<Millis> digitsAt(std::string_view text, size_t at, size_t width) {
  if (width == 0 || at + width > text.size()) return std::nullopt;
  Millis value = 0;
  for (char c : text.substr(at, width)) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::optional<date::local_days> dayAt(std::string_view text) {
  const auto y = digitsAt(text, 0, 4), m = digitsAt(text, 5, 2), d = digitsAt(text, 8, 2);
  if (!y || !m || !d || text[4] != '-' || text[7] != '-') return std::nullopt;
  const date::year_month_day ymd{date::year(int(*y)), date::month(unsigned(*m)), date::day(unsigned(*d))};
  if (!ymd.ok()) return std::nullopt;
  return date::local_days{ymd};
}

// "YYYY-MM-DD?HH:MM:SS" with `separator` between the date and the clock; what follows is left in `rest`.
std::optional<LocalMillis> localTimeAt(std::string_view text, char separator, std::string_view& rest) {
  const auto day = dayAt(text);
  const auto h = digitsAt(text, 11, 2), mi = digitsAt(text, 14, 2), s = digitsAt(text, 17, 2);
  if (!day || !h || !mi || !s || text[10] != separator || text[13] != ':' || text[16] != ':') return std::nullopt;
  if (*h > 23 || *mi > 59 || *s > 59) return std::nullopt;
  rest = text.substr(19);
  return LocalMillis{*day} + std::chrono::hours{*h} + std::chrono::minutes{*mi} + std::chrono::seconds{*s};
}

// Milliseconds or seconds since the epoch; thirteen digits of milliseconds reach the year 2286, more is
// no time a phone sends.
std::optional<Millis> epochDigits(std::string_view text) {
  if (text.size() > 13) return std::nullopt;
  const auto value = digitsAt(text, 0, text.size());
  if (!value) return std::nullopt;
  return text.size() <= 10 ? *value * 1000 : *value;
}

// What follows the seconds of an ISO 8601 time: an optional fraction of a second, then "Z", "+hh:mm" or
// "-hh:mm". Gives the milliseconds from the clock reading to UTC.
std::optional<Millis> isoTail(std::string_view rest) {
  Millis fraction = 0;
  if (!rest.empty() && rest[0] == '.') {
    const size_t n = std::min(rest.find_first_not_of("0123456789", 1), rest.size()) - 1;
    const auto digits = digitsAt(rest, 1, std::min<size_t>(n, 3));
    if (!digits || n > 9) return std::nullopt;
    fraction = *digits * (n == 1 ? 100 : n == 2 ? 10 : 1);
    rest.remove_prefix(1 + n);
  }
  if (rest == "Z") return fraction;
  const auto h = digitsAt(rest, 1, 2), m = digitsAt(rest, 4, 2);
  if (rest.size() != 6 || (rest[0] != '+' && rest[0] != '-') || rest[3] != ':' || !h || !m || *h > 23 || *m > 59)
    return std::nullopt;
  const Millis offset = (*h * 60 + *m) * 60'000;
  return fraction + (rest[0] == '+' ? -offset : offset);
}

}  // namespace

Millis now() {
  return std::chrono::duration_cast<milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::optional<Zone> zoneNamed(std::string_view name) {
  try {
    return Zone{date::locate_zone(std::string(name))};
  } catch (const std::exception&) {  // an unknown name, or no readable database
    return std::nullopt;
  }
}

std::pair<Millis, Millis> dayOf(const Zone& zone, Millis t) {
  return localDay(zone, date::floor<date::days>(toLocal(zone, t)));
}

std::optional<std::pair<Millis, Millis>> dayNamed(const Zone& zone, std::string_view ymd) {
  if (ymd.size() != 10) return std::nullopt;
  const auto day = dayAt(ymd);
  if (!day) return std::nullopt;
  return localDay(zone, *day);
}

std::pair<Millis, Millis> monthOf(const Zone& zone, Millis t) {
  const date::year_month_day ymd{date::floor<date::days>(toLocal(zone, t))};
  return localMonth(zone, ymd.year() / ymd.month());
}

std::optional<std::pair<Millis, Millis>> monthNamed(const Zone& zone, std::string_view ym) {
  if (ym.size() != 7) return std::nullopt;
  const auto day = dayAt(std::string(ym) + "-01");
  if (!day) return std::nullopt;
  const date::year_month_day ymd{*day};
  return localMonth(zone, ymd.year() / ymd.month());
}

std::string counterTime(const Zone& zone, Millis t) {
  const Reading r = readingAt(zone, t);
  char text[48];
  std::snprintf(text, sizeof text, "%d-%u-%u %02u:%02u:%02u", r.year, r.month, r.day, r.hour, r.minute, r.second);
  return text;
}

std::string isoTime(const Zone& zone, Millis t) {
  const Reading r = readingAt(zone, t);
  const long shown = r.offsetMinutes < 0 ? -r.offsetMinutes : r.offsetMinutes;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02u:%02u:%02u%c%02ld:%02ld", r.year, r.month, r.day, r.hour,
                r.minute, r.second, r.offsetMinutes < 0 ? '-' : '+', shown / 60, shown % 60);
  return text;
}

std::optional<Millis> readPhoneTime(const Zone& zone, std::string_view text) {
  if (const auto epoch = epochDigits(text)) return epoch;
  std::string_view rest;
  if (const auto local = localTimeAt(text, ' ', rest); local && rest.empty()) return toMillis(zone, *local);
  if (const auto clock = localTimeAt(text, 'T', rest))
    if (const auto toUtc = isoTail(rest)) return clock->time_since_epoch().count() + *toUtc;
  return std::nullopt;
}

}  // namespace hub::clock
