#ifndef VELDANE_PLATFORM_LINUX_JOURNAL_LOG_CHANNEL_H_
#define VELDANE_PLATFORM_LINUX_JOURNAL_LOG_CHANNEL_H_

#include <string>
#include <string_view>

#include "platform/log_channel.h"

namespace veldane {

// Writes to the systemd journal, or to syslog while there is no journal.
class JournalLogChannel final : public LogChannel {
 public:
  // The compiled-in host bundle identifier as subsystem.
  JournalLogChannel();
  explicit JournalLogChannel(std::string subsystem);

  void log(LogLevel level, std::string_view message) override;
  // Syslog, without a journal, gets the message alone.
  void logWithFields(LogLevel level, std::string_view message, const LogFields& fields) override;

 private:
  std::string subsystem_;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_JOURNAL_LOG_CHANNEL_H_
