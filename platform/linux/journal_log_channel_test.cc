#include "platform/linux/journal_log_channel.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <string>

#include "platform/linux/test/journal_capture.h"

namespace veldane {
namespace {

using journal_capture::Fields;

TEST(JournalLogChannel, SendsEachMessageUnchangedWithItsFields) {
  struct Case {
    LogLevel level;
    std::string message;
    std::string priority;
  };
  const Case cases[] = {
      {LogLevel::standard, "Watching /Applications/Host.app", "5"},
      {LogLevel::error, "Relaunch failed: 100% %s %n {}", "3"},
      {LogLevel::error, "two\nlines", "3"},
  };
  const journal_capture::Captured captured = journal_capture::captureInChild([&] {
    JournalLogChannel channel("com.example.host");
    for (const Case& c : cases) channel.log(c.level, c.message);
  });
  if (!captured.error.empty()) GTEST_SKIP() << captured.error;

  EXPECT_EQ(captured.status, 0);
  ASSERT_EQ(captured.records.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    Fields fields = captured.records[i];
    EXPECT_EQ(fields["MESSAGE"], cases[i].message);
    EXPECT_EQ(fields["PRIORITY"], cases[i].priority);
    EXPECT_EQ(fields["SYSLOG_IDENTIFIER"], "VeldaneWatchdog");
    EXPECT_EQ(fields["LOG_SUBSYSTEM"], "com.example.host");
    EXPECT_EQ(fields["LOG_CATEGORY"], "watchdog-helper");
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

TEST(JournalCapture, ParsesBothFieldForms) {
  const std::string binary = journal_capture::encodeRecord({{"MESSAGE", "a\nb"}});
  EXPECT_EQ(journal_capture::parseRecord("MESSAGE=hi=there\nPRIORITY=5\n"),
            (Fields{{"MESSAGE", "hi=there"}, {"PRIORITY", "5"}}));
  EXPECT_EQ(journal_capture::parseRecord("A=1\n" + binary),
            (Fields{{"A", "1"}, {"MESSAGE", "a\nb"}}));
  EXPECT_EQ(journal_capture::parseRecord(binary.substr(0, binary.size() - 2)), std::nullopt);
  EXPECT_EQ(journal_capture::parseRecord("=1\n"), std::nullopt);
}

TEST(JournalCapture, ReceivesARecordPassedAsAMemoryFile) {
  int sockets[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sockets), 0);
  const Fields sent{{"MESSAGE", std::string(100000, 'x')}, {"PRIORITY", "3"}};
  const std::string payload = journal_capture::encodeRecord(sent);
  const int memoryFile = memfd_create("record", MFD_CLOEXEC);
  ASSERT_GE(memoryFile, 0);
  ASSERT_EQ(write(memoryFile, payload.data(), payload.size()),
            static_cast<ssize_t>(payload.size()));

  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &memoryFile, sizeof memoryFile);
  EXPECT_EQ(sendmsg(sockets[0], &message, 0), 0);

  EXPECT_EQ(journal_capture::receiveRecord(sockets[1], 1000), sent);
  close(memoryFile);
  close(sockets[0]);
  close(sockets[1]);
}

}  // namespace
}  // namespace veldane
