#include "platform/linux/journal_log_channel.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <iterator>
#include <string>

#include "platform/linux/test/journal_capture.h"

namespace veldane {
namespace {

// Runs `body` in a child inside a private journal, given the journal's socket;
// gives the child's exit status, 77 when no private journal can be made here.
int inPrivateJournal(const std::function<int(int socket)>& body) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    std::string error;
    const int socket = journal_capture::enterPrivateJournal(&error);
    if (socket < 0) std::fprintf(stderr, "%s\n", error.c_str());
    _exit(socket < 0 ? 77 : body(socket));
  }
  int status = -1;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

TEST(JournalLogChannel, SendsEachMessageUnchangedWithItsFieldsOrFallsBackToSyslog) {
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
  // Exits with the number of the first case that did not arrive as sent.
  const int status = inPrivateJournal([&](int socket) {
    JournalLogChannel channel("com.example.host");
    for (int i = 0; i < static_cast<int>(std::size(cases)); ++i) {
      const auto& c = cases[i];
      c.fields.empty() ? channel.log(c.level, c.message)
                       : channel.logWithFields(c.level, c.message, c.fields);
      auto got = journal_capture::receiveRecord(socket, 5000);
      if (!got) return i + 1;
      journal_capture::Fields expected{{"MESSAGE", c.message},
                                       {"PRIORITY", c.priority},
                                       {"SYSLOG_IDENTIFIER", "VeldaneWatchdog"},
                                       {"LOG_SUBSYSTEM", "com.example.host"},
                                       {"LOG_CATEGORY", "watchdog-helper"}};
      expected.insert(c.fields.begin(), c.fields.end());
      for (const auto& [name, value] : expected) {
        if ((*got)[name] != value) return i + 1;
      }
    }
    // Without a journal the channel turns to syslog, and nothing is sent here.
    unlink("/run/systemd/journal/socket");
    JournalLogChannel fallback;
    fallback.log(LogLevel::error, "no journal %s");
    return journal_capture::receiveRecord(socket, 100) ? 99 : 0;
  });
  if (status == 77) GTEST_SKIP() << "no private journal here";
  EXPECT_EQ(status, 0) << "case " << status << " (99: the fallback)";
}

}  // namespace
}  // namespace veldane
