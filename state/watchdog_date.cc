#include "state/watchdog_date.h"

#include <algorithm>
#include <cstdio>

namespace veldane {
namespace {

using std::chrono::seconds;
using std::chrono::sys_seconds;

// Reads exactly `count` ASCII digits at `position`.
std::optional<int> digits(std::string_view text, size_t position, size_t count) {
  if (position + count > text.size()) return std::nullopt;
  int value = 0;
  for (size_t i = position; i < position + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

bool hasByte(std::string_view text, size_t position, char byte) {
  return position < text.size() && text[position] == byte;
}

// The offset east of UTC in seconds, from "Z" or "+HH:MM" / "-HH:MM" that
// must end the text.
std::optional<int> offsetSeconds(std::string_view zone) {
  if (zone == "Z") return 0;
  if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':') {
    return std::nullopt;
  }
  std::optional<int> hours = digits(zone, 1, 2);
  std::optional<int> minutes = digits(zone, 4, 2);
  if (!hours || !minutes || *hours > 23 || *minutes > 59) return std::nullopt;
  int offset = *hours * 3600 + *minutes * 60;
  return zone[0] == '-' ? -offset : offset;
}

}  // namespace

std::optional<WatchdogDate> parseDate(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SS then the zone.
  if (!hasByte(text, 4, '-') || !hasByte(text, 7, '-') || !hasByte(text, 10, 'T') ||
      !hasByte(text, 13, ':') || !hasByte(text, 16, ':')) {
    return std::nullopt;
  }
  std::optional<int> year = digits(text, 0, 4);
  std::optional<int> month = digits(text, 5, 2);
  std::optional<int> day = digits(text, 8, 2);
  std::optional<int> hour = digits(text, 11, 2);
  std::optional<int> minute = digits(text, 14, 2);
  std::optional<int> second = digits(text, 17, 2);
  std::optional<int> offset = offsetSeconds(text.substr(std::min<size_t>(text.size(), 19)));
  if (!year || !month || !day || !hour || !minute || !second || !offset) return std::nullopt;
  if (*hour > 23 || *minute > 59 || *second > 59) return std::nullopt;
  std::chrono::year_month_day date{std::chrono::year(*year),
                                   std::chrono::month(static_cast<unsigned>(*month)),
                                   std::chrono::day(static_cast<unsigned>(*day))};
  if (!date.ok()) return std::nullopt;
  sys_seconds utc = std::chrono::sys_days(date) +
                    seconds(int64_t{*hour} * 3600 + *minute * 60 + *second - *offset);
  // The clock's own range is narrower than the four-digit years.
  if (utc < std::chrono::ceil<seconds>(WatchdogDate::min()) ||
      utc > std::chrono::floor<seconds>(WatchdogDate::max())) {
    return std::nullopt;
  }
  return std::chrono::time_point_cast<WatchdogDate::duration>(utc);
}

std::optional<std::string> formatDate(WatchdogDate date) {
  sys_seconds whole = std::chrono::floor<seconds>(date);
  std::chrono::sys_days days = std::chrono::floor<std::chrono::days>(whole);
  std::chrono::year_month_day calendar(days);
  std::chrono::hh_mm_ss<seconds> time(whole - days);
  int year = static_cast<int>(calendar.year());
  if (year < 0 || year > 9999) return std::nullopt;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", year,
                static_cast<unsigned>(calendar.month()), static_cast<unsigned>(calendar.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return buffer;
}

}  // namespace veldane
