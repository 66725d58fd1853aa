#ifndef VELDANE_PLATFORM_LOG_CHANNEL_H_
#define VELDANE_PLATFORM_LOG_CHANNEL_H_

#include <string_view>

namespace veldane {

enum class LogLevel { standard, error };

// The system log, with the host's bundle identifier as subsystem and
// "watchdog-helper" as category. Messages arrive with their arguments filled
// in. Logging never fails visibly.
class LogChannel {
 public:
  virtual ~LogChannel() = default;
  virtual void log(LogLevel level, std::string_view message) = 0;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LOG_CHANNEL_H_
