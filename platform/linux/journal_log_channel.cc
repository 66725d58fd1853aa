#include "platform/linux/journal_log_channel.h"

#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <array>
#include <utility>
#include <vector>

namespace veldane {
namespace {

constexpr char kIdentifier[] = "VeldaneWatchdog";
constexpr char kJournalSocket[] = "/run/systemd/journal/socket";

void logToSyslog(LogLevel level, std::string_view message) {
  static const bool opened = [] {
    openlog(kIdentifier, LOG_PID, LOG_USER);
    return true;
  }();
  (void)opened;
  const std::string text(message);
  syslog(level == LogLevel::error ? LOG_ERR : LOG_NOTICE, "%s", text.c_str());
}

}  // namespace

JournalLogChannel::JournalLogChannel() : JournalLogChannel(VELDANE_HOST_BUNDLE_IDENTIFIER) {}

JournalLogChannel::JournalLogChannel(std::string subsystem) : subsystem_(std::move(subsystem)) {}

void JournalLogChannel::log(LogLevel level, std::string_view message) {
  // Checked per message, so that a journal that starts later is used.
  if (access(kJournalSocket, F_OK) == 0) {
    // Whole fields, never formatted: a "%" in the message stays as it is.
    const std::string fields[] = {
        "MESSAGE=" + std::string(message),
        level == LogLevel::error ? "PRIORITY=3" : "PRIORITY=5",
        std::string("SYSLOG_IDENTIFIER=") + kIdentifier,
        "LOG_SUBSYSTEM=" + subsystem_,
        "LOG_CATEGORY=watchdog-helper",
    };
    std::array<iovec, std::size(fields)> iov{};
    for (size_t i = 0; i < iov.size(); ++i) {
      iov[i].iov_base = const_cast<char*>(fields[i].data());
      iov[i].iov_len = fields[i].size();
    }
    if (sd_journal_sendv(iov.data(), static_cast<int>(iov.size())) >= 0) return;
  }
  logToSyslog(level, message);
}

void JournalLogChannel::logWithFields(LogLevel level, std::string_view message,
                                      const LogFields& extra) {
  if (access(kJournalSocket, F_OK) != 0) {
    logToSyslog(level, message);
    return;
  }
  std::vector<std::string> fields = {
      "MESSAGE=" + std::string(message),
      level == LogLevel::error ? "PRIORITY=3" : "PRIORITY=5",
      std::string("SYSLOG_IDENTIFIER=") + kIdentifier,
      "LOG_SUBSYSTEM=" + subsystem_,
      "LOG_CATEGORY=watchdog-helper",
  };
  for (const auto& [name, value] : extra) fields.push_back(name + "=" + value);
  std::vector<iovec> iov(fields.size());
  for (size_t i = 0; i < iov.size(); ++i) {
    iov[i].iov_base = fields[i].data();
    iov[i].iov_len = fields[i].size();
  }
  if (sd_journal_sendv(iov.data(), static_cast<int>(iov.size())) < 0) logToSyslog(level, message);
}

}  // namespace veldane
