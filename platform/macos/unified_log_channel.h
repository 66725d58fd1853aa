#ifndef VELDANE_PLATFORM_MACOS_UNIFIED_LOG_CHANNEL_H_
#define VELDANE_PLATFORM_MACOS_UNIFIED_LOG_CHANNEL_H_

#include <string_view>

#include "platform/log_channel.h"
#include "platform/macos/sdk_declarations.h"

namespace veldane {

// The unified log, category "watchdog-helper": default and error levels, the
// message as one public argument so that it is not redacted.
class UnifiedLogChannel final : public LogChannel {
 public:
  // The compiled-in host bundle identifier as subsystem.
  UnifiedLogChannel();

  void log(LogLevel level, std::string_view message) override;
  // The unified log keeps no fields: each one, but the stacks (which the
  // hang report holds), follows the message as entries of its own, a line
  // each, all public.
  void logWithFields(LogLevel level, std::string_view message, const LogFields& fields) override;

 private:
  os_log_t log_;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_MACOS_UNIFIED_LOG_CHANNEL_H_
