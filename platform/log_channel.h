#ifndef VELDANE_PLATFORM_LOG_CHANNEL_H_
#define VELDANE_PLATFORM_LOG_CHANNEL_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "state/seconds.h"

namespace veldane {

enum class LogLevel { standard, error };

// Structured fields of one entry: upper-case names (letters, digits and "_",
// not starting with "_"), values of any text, line breaks included.
using LogFields = std::vector<std::pair<std::string, std::string>>;

// The system log, with the host's bundle identifier as subsystem and
// "watchdog-helper" as category. Messages arrive with their arguments filled
// in. Logging never fails visibly.
class LogChannel {
 public:
  virtual ~LogChannel() = default;
  virtual void log(LogLevel level, std::string_view message) = 0;
  // One entry with fields for tools that query the log; where the log keeps
  // no fields, only the message.
  virtual void logWithFields(LogLevel level, std::string_view message, const LogFields& fields) {
    (void)fields;
    log(level, message);
  }
  // Waits at most `within` for lines still on their way to the log, before
  // the process ends; true when nothing is left. Where logging is
  // synchronous, nothing ever is.
  virtual bool flush(Seconds within) {
    (void)within;
    return true;
  }
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LOG_CHANNEL_H_
