#include "veldane/host.hpp"

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <vector>

#include <gtest/gtest.h>

#include "host/host_test_support.h"
#include "platform/host_process_info.h"
#include "platform/uptime_clock.h"
#include "state/host_hang_note.h"
#include "state/host_run_record.h"
#include "state/watchdog_store.h"

namespace veldane {
namespace {

using std::chrono::system_clock;

std::unique_ptr<HostSession> startIn(const TestBundle& bundle, std::vector<const char*> argv = {},
                                     std::chrono::milliseconds beatInterval = {}) {
  argv.insert(argv.begin(), "host_test");
  HostStartOptions options;
  options.bundlePath = bundle.bundle().string();
  options.minimumBeatInterval = beatInterval;
  return HostSession::start(static_cast<int>(argv.size()), argv.data(), options);
}

HostRunRecord readRecord(const TestBundle& bundle) {
  return WatchdogStore::read<HostRunRecord>(bundle.files().hostRecordPath())
      .value_or(HostRunRecord{});
}

// Within the second before `from` (the file drops the fraction) and `to`.
bool isBetween(WatchdogDate date, WatchdogDate from, WatchdogDate to) {
  return date >= from - std::chrono::seconds(1) && date <= to;
}

TEST(HostSession, FirstRecordDescribesTheRunInTheStoreLayout) {
  TestBundle bundle;
  const WatchdogDate before = system_clock::now();
  const double uptimeBefore = systemUptime();
  auto session = startIn(bundle);
  ASSERT_TRUE(session);

  EXPECT_EQ(session->dataFolder(), bundle.files().directory.string());
  EXPECT_EQ(session->bundleIdentifier(), TestBundle::kIdentifier);
  EXPECT_TRUE(std::regex_match(session->launchID(),
                               std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
                                          "[0-9A-F]{12}")));

  std::optional<std::string> bytes = WatchdogStore::readFile(bundle.files().hostRecordPath());
  ASSERT_TRUE(bytes);
  std::optional<HostRunRecord> record =
      WatchdogStore::read<HostRunRecord>(bundle.files().hostRecordPath());
  ASSERT_TRUE(record);
  EXPECT_EQ(*bytes, WatchdogStore::serialize(*record->toJson()));
  EXPECT_EQ(bytes->find("awayCoverUp"), std::string::npos);
  EXPECT_EQ(bytes->find("crashLoopResetAt"), std::string::npos);
  EXPECT_EQ(record->version, 1);
  EXPECT_EQ(record->pid, getpid());
  EXPECT_EQ(record->launchID, session->launchID());
  EXPECT_EQ(record->bootSession, HostProcessInfo::bootSession());
  EXPECT_EQ(record->executablePath,
            WatchdogFiles::normalized(*HostProcessInfo::executablePath(getpid())));
  EXPECT_TRUE(isBetween(record->startedAt, before, system_clock::now()));
  EXPECT_EQ(record->heartbeatAt, record->startedAt);
  EXPECT_GE(record->heartbeatUptime, uptimeBefore);
  EXPECT_LE(record->heartbeatUptime, systemUptime());
  EXPECT_FALSE(record->cleanExit || record->curtainUp || record->safeMode);
  EXPECT_NE(startIn(bundle)->launchID(), session->launchID());
}

TEST(HostSession, ReadsTheRelaunchFlags) {
  struct Case {
    std::vector<const char*> argv;
    bool recovered, safeMode;
  } cases[] = {
      {{}, false, false},
      {{"--veldane-recovered"}, true, false},
      {{"--veldane-recovered", "--veldane-safe-mode"}, true, true},
      {{"-psn_0_1", "--veldane-safe-mode"}, false, true},
      {{"--veldane-recovered=1", "--VELDANE-SAFE-MODE", "veldane-recovered"}, false, false},
  };
  TestBundle bundle;
  for (const Case& c : cases) {
    auto session = startIn(bundle, c.argv);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->recovered(), c.recovered) << c.argv.size();
    EXPECT_EQ(session->safeMode(), c.safeMode) << c.argv.size();
    EXPECT_EQ(readRecord(bundle).safeMode, c.safeMode) << c.argv.size();
  }
  const char* flagAsProgramName[] = {"--veldane-recovered"};
  HostStartOptions options;
  options.bundlePath = bundle.bundle().string();
  EXPECT_FALSE(HostSession::start(1, flagAsProgramName, options)->recovered());
}

TEST(HostSession, EveryChangeReachesTheRecord) {
  TestBundle bundle;
  auto session = startIn(bundle);
  ASSERT_TRUE(session);
  const HostRunRecord first = readRecord(bundle);

  ASSERT_TRUE(session->beat());
  const HostRunRecord beaten = readRecord(bundle);
  EXPECT_GT(beaten.heartbeatUptime, first.heartbeatUptime);
  ASSERT_TRUE(session->setCurtainUp(true));
  EXPECT_TRUE(readRecord(bundle).curtainUp);
  ASSERT_TRUE(session->setAwayCoverUp(true));
  EXPECT_EQ(readRecord(bundle).awayCoverUp, true);
  ASSERT_TRUE(session->setAwayCoverUp(false));
  EXPECT_EQ(readRecord(bundle).awayCoverUp, false);
  const WatchdogDate before = system_clock::now();
  ASSERT_TRUE(session->resetCrashLoop());
  ASSERT_TRUE(readRecord(bundle).crashLoopResetAt);
  EXPECT_TRUE(isBetween(*readRecord(bundle).crashLoopResetAt, before, system_clock::now()));
  ASSERT_TRUE(session->markCleanExit());

  HostRunRecord last = readRecord(bundle);
  EXPECT_TRUE(last.cleanExit);
  EXPECT_TRUE(last.curtainUp);
  EXPECT_EQ(last.heartbeatUptime, beaten.heartbeatUptime);
  EXPECT_EQ(last.launchID, first.launchID);
  EXPECT_EQ(last.startedAt, first.startedAt);
}

TEST(HostSession, BeatsSoonAfterTheLastWrittenOneAreSkipped) {
  TestBundle bundle;
  auto session = startIn(bundle, {}, std::chrono::hours(1));
  ASSERT_TRUE(session);
  const HostRunRecord first = readRecord(bundle);
  EXPECT_TRUE(session->beat());
  EXPECT_EQ(readRecord(bundle), first);
}

TEST(HostSession, NoteHangNamesThisRun) {
  TestBundle bundle;
  auto session = startIn(bundle);
  ASSERT_TRUE(session);
  const WatchdogDate before = system_clock::now();
  ASSERT_TRUE(session->noteHang(7.5));
  std::optional<HostHangNote> note =
      WatchdogStore::read<HostHangNote>(bundle.files().hangNotePath());
  ASSERT_TRUE(note);
  EXPECT_EQ(note->launchID, session->launchID());
  EXPECT_EQ(note->stalledSeconds, 7.5);
  EXPECT_TRUE(isBetween(note->at, before, system_clock::now()));
}

TEST(HostSession, WriteFailuresAnswerFalseAndLaterWritesRecover) {
  for (bool blockFolderItself : {true, false}) {
    TestBundle bundle;
    // Root ignores permissions, so a file stands where a folder must be.
    const std::filesystem::path blocked =
        blockFolderItself ? bundle.files().directory : bundle.home() / ".local";
    std::filesystem::create_directories(blocked.parent_path());
    std::ofstream(blocked) << "x";
    auto session = startIn(bundle);
    ASSERT_TRUE(session);
    EXPECT_FALSE(session->beat());
    EXPECT_FALSE(session->setCurtainUp(true));
    EXPECT_FALSE(session->setAwayCoverUp(true));
    EXPECT_FALSE(session->resetCrashLoop());
    EXPECT_FALSE(session->noteHang(1));
    EXPECT_FALSE(session->markCleanExit());

    std::filesystem::remove(blocked);
    EXPECT_TRUE(session->beat());
    HostRunRecord record = readRecord(bundle);
    EXPECT_TRUE(record.curtainUp && record.cleanExit && record.crashLoopResetAt);
  }
}

TEST(HostSession, StartFailsWithAReason) {
  TestBundle bundle(/*withInfoPlist=*/false);
  const char* argv[] = {"host_test"};
  std::string failure;
  EXPECT_FALSE(HostSession::start(1, argv, {}, &failure));
  EXPECT_TRUE(failure.starts_with("not inside an .app bundle")) << failure;
  HostStartOptions options;
  options.bundlePath = bundle.bundle().string();
  EXPECT_FALSE(HostSession::start(1, argv, options, &failure));
  EXPECT_TRUE(failure.starts_with("no CFBundleIdentifier")) << failure;

  options.bundleIdentifier = "org.example.given";
  auto session = HostSession::start(1, argv, options);
  ASSERT_TRUE(session);
  EXPECT_EQ(session->dataFolder(),
            WatchdogFiles::forBundle(*applicationSupportDirectory(), "org.example.given",
                                     bundle.bundle().string())
                .directory.string());
}

}  // namespace
}  // namespace veldane
