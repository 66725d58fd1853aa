#ifndef VELDANE_PLATFORM_LINUX_JOURNAL_LOG_CHANNEL_H_
#define VELDANE_PLATFORM_LINUX_JOURNAL_LOG_CHANNEL_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/log_channel.h"

namespace veldane {

// Writes to the systemd journal, or to syslog while there is no journal.
//
// A journal that stops reading its socket (stopped, hung on a full disk,
// starved in a flood) blocks every sender, so entries go through a small
// queue that a thread of their own sends: a caller never waits. When the
// queue is full a line is dropped and counted, and once the journal takes
// lines again one entry says how many were lost. The thread starts with the
// first line and sleeps while nothing is logged. Any thread may log.
class JournalLogChannel final : public LogChannel {
 public:
  // An event logs a few lines at once (a hang three): room for some events
  // while the journal is slow to read, not for a journal that reads nothing.
  static constexpr size_t kCapacity = 8;

  // The compiled-in host bundle identifier as subsystem.
  JournalLogChannel();
  explicit JournalLogChannel(std::string subsystem, size_t capacity = kCapacity);
  // Never waits for the journal; lines still queued may be lost.
  ~JournalLogChannel() override;
  JournalLogChannel(const JournalLogChannel&) = delete;
  JournalLogChannel& operator=(const JournalLogChannel&) = delete;

  void log(LogLevel level, std::string_view message) override;
  // Syslog, without a journal, gets the message alone.
  void logWithFields(LogLevel level, std::string_view message, const LogFields& fields) override;
  // Waits at most `within` for what is queued to be sent; true when it was.
  bool flush(Seconds within) override;

  // The text of the entry that follows `count` lost lines.
  static std::string lostLinesMessage(size_t count);

  struct Queue;

 private:
  std::shared_ptr<Queue> queue_;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_LINUX_JOURNAL_LOG_CHANNEL_H_
