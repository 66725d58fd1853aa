#include "platform/linux/journal_log_channel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <iterator>
#include <string>

#include "platform/linux/test/journal_capture.h"

namespace veldane {
namespace {

TEST(JournalLogChannel, SendsEachMessageUnchangedWithItsFields) {
  const struct {
    LogLevel level;
    std::string message, priority;
    LogFields fields;
  } cases[] = {
      {LogLevel::standard, "Watching /Applications/Host.app key=value", "5", {}},
      {LogLevel::error, "Relaunch failed: 100% %s %n {}", "3", {}},
      {LogLevel::error, "two\nlines", "3", {}},
      // Too large for one datagram: the record goes through a memory file.
      {LogLevel::standard, std::string(1 << 20, 'x'), "5", {}},
      {LogLevel::error, "with fields", "3", {{"HOST_PID", "7"}, {"STACKS", "a (x.cc:1)\nb"}}},
  };
  const journal_capture::Captured captured = journal_capture::captureInChild([&] {
    JournalLogChannel channel("com.example.host");
    for (const auto& c : cases) {
      if (c.fields.empty()) {
        channel.log(c.level, c.message);
      } else {
        channel.logWithFields(c.level, c.message, c.fields);
      }
    }
  });
  if (!captured.error.empty()) GTEST_SKIP() << captured.error;

  EXPECT_EQ(captured.status, 0);
  ASSERT_EQ(captured.records.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    journal_capture::Fields fields = captured.records[i];
    EXPECT_EQ(fields["MESSAGE"], cases[i].message) << i;
    EXPECT_EQ(fields["PRIORITY"], cases[i].priority) << i;
    EXPECT_EQ(fields["SYSLOG_IDENTIFIER"], "VeldaneWatchdog");
    EXPECT_EQ(fields["LOG_SUBSYSTEM"], "com.example.host");
    EXPECT_EQ(fields["LOG_CATEGORY"], "watchdog-helper");
    for (const auto& [name, value] : cases[i].fields) EXPECT_EQ(fields[name], value) << name;
  }
}

TEST(JournalLogChannel, FallsBackToSyslogWithoutAJournal) {
  const journal_capture::Captured captured = journal_capture::captureInChild([] {
    unlink("/run/systemd/journal/socket");
    JournalLogChannel channel;
    channel.log(LogLevel::standard, "no journal");
    channel.log(LogLevel::error, "no journal %s");
  });
  if (!captured.error.empty()) GTEST_SKIP() << captured.error;

  EXPECT_EQ(captured.status, 0);
  EXPECT_TRUE(captured.records.empty());
}

}  // namespace
}  // namespace veldane
