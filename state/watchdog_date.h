#ifndef VELDANE_STATE_WATCHDOG_DATE_H_
#define VELDANE_STATE_WATCHDOG_DATE_H_

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace veldane {

// A wall-clock point in time. In memory it keeps the clock's full precision;
// in files it is a whole-second RFC 3339 UTC text such as
// "2025-03-01T08:15:30Z".
using WatchdogDate = std::chrono::system_clock::time_point;

// Parses the whole-second RFC 3339 form. "Z" and numeric offsets ("+02:00")
// are accepted; a fraction of a second, a missing offset, an impossible
// calendar date or any trailing byte gives absent.
std::optional<WatchdogDate> parseDate(std::string_view text);

// Formats in UTC with whole seconds (the fraction is cut off, towards the
// past) and the letter Z. Absent for a date outside the years 0000 to 9999,
// which the four-digit form cannot hold.
std::optional<std::string> formatDate(WatchdogDate date);

}  // namespace veldane

#endif  // VELDANE_STATE_WATCHDOG_DATE_H_
