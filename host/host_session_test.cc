#include "veldane/host.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include "host/host_test_bundle.h"
#include "platform/process_info.h"
#include "platform/uptime_clock.h"
#include "state/host_hang_note.h"
#include "state/host_run_record.h"
#include "state/watchdog_files.h"
#include "state/watchdog_store.h"
#include "veldane/host.h"

extern "C" const char* exercise_c_api(const char* bundle_path, veldane_host** out);

namespace veldane {
namespace {

namespace fs = std::filesystem;

// Dates in the files have whole seconds, cut towards the past.
bool isRecent(WatchdogDate date, WatchdogDate since) {
  return date >= since - std::chrono::seconds(1) && date <= std::chrono::system_clock::now();
}

TEST(HostSession, FirstRecordDescribesTheRunAndEveryChangeReachesItButABeatTooSoon) {
  TestBundle bundle;
  const auto since = std::chrono::system_clock::now();
  const double uptimeBefore = systemUptime().count();
  auto session = startIn(
      bundle, {"-psn_0_1", "--veldane-recovered=1", "--VELDANE-SAFE-MODE", "veldane-recovered"});
  ASSERT_TRUE(session);
  EXPECT_FALSE(session->recovered() || session->safeMode());  // only the exact flags count
  EXPECT_EQ(session->dataFolder(), bundle.files().directory().string());
  EXPECT_EQ(session->launchID().size(), 36u);
  const HostRunRecord record = readRecord(bundle);
  EXPECT_TRUE(isRecent(record.startedAt, since));
  EXPECT_TRUE(record.heartbeatUptime >= uptimeBefore &&
              record.heartbeatUptime <= systemUptime().count());
  // Version 1, the first heartbeat at the start, no flag set and no optional field.
  EXPECT_EQ(record, (HostRunRecord{1, getpid(), session->launchID(), ProcessInfo::bootSession(),
                                   *ProcessInfo::executablePath(getpid()), record.startedAt,
                                   record.heartbeatUptime, record.startedAt, false, false, false,
                                   std::nullopt, std::nullopt}));

  ASSERT_TRUE(session->beat());
  const double beat = readRecord(bundle).heartbeatUptime;
  EXPECT_GT(beat, record.heartbeatUptime);
  ASSERT_TRUE(session->setAwayCoverUp(true) && session->setCurtainUp(true));
  EXPECT_EQ(readRecord(bundle).awayCoverUp, true);
  const double uptimeBeforeReset = systemUptime().count();
  ASSERT_TRUE(session->setAwayCoverUp(false) && session->resetCrashLoop() &&
              session->markCleanExit());
  const HostRunRecord last = readRecord(bundle);
  EXPECT_TRUE(last.curtainUp && last.cleanExit && last.awayCoverUp == false);
  EXPECT_TRUE(last.crashLoopResetAt && isRecent(*last.crashLoopResetAt, since));
  EXPECT_TRUE(last.crashLoopResetUptime && *last.crashLoopResetUptime >= uptimeBeforeReset &&
              *last.crashLoopResetUptime <= systemUptime().count());
  EXPECT_EQ(last.heartbeatUptime, beat);
  EXPECT_EQ(last.startedAt, record.startedAt);
  ASSERT_TRUE(session->noteHang(7.5));
  const auto note = WatchdogStore::read<HostHangNote>(bundle.files().hangNotePath());
  EXPECT_TRUE(note && note->launchID == session->launchID() && note->stalledSeconds == 7.5);

  auto slow = startIn(bundle, {}, std::chrono::hours(1));
  const HostRunRecord started = readRecord(bundle);
  EXPECT_NE(started.launchID, session->launchID());
  EXPECT_TRUE(slow->beat());
  EXPECT_EQ(readRecord(bundle), started);
}

TEST(HostSession, WriteFailuresAnswerFalseAndTheNextBeatCatchesUp) {
  TestBundle bundle;
  // Tests run as root, which permissions do not stop: a file stands where a folder must be.
  std::ofstream(bundle.data()) << "x";
  auto session = startIn(bundle, {}, std::chrono::hours(1));
  ASSERT_TRUE(session);
  EXPECT_FALSE(session->beat() || session->setCurtainUp(true) || session->setAwayCoverUp(true) ||
               session->resetCrashLoop() || session->noteHang(1) || session->markCleanExit());
  fs::remove(bundle.data());
  EXPECT_TRUE(session->beat());
  EXPECT_TRUE(readRecord(bundle).cleanExit);
}

// A worker forked from the host must not keep a hung host's record fresh.
TEST(HostSession, AForkedChildWritesNothingAndAnswersFalse) {
  TestBundle bundle;
  auto session = startIn(bundle);
  ASSERT_TRUE(session);
  const HostRunRecord before = readRecord(bundle);
  const ChildExit child = runInChild([&] {
    const bool anyWrote = session->beat() || session->setCurtainUp(true) ||
                          session->setAwayCoverUp(true) || session->resetCrashLoop() ||
                          session->noteHang(3) || session->markCleanExit();
    return anyWrote ? 1 : 0;
  });
  EXPECT_EQ(child.status, 0) << "a call in the child answered true";
  EXPECT_EQ(readRecord(bundle), before);
  EXPECT_FALSE(fs::exists(bundle.files().hangNotePath()));
  EXPECT_TRUE(session->setCurtainUp(true));
  EXPECT_TRUE(readRecord(bundle).curtainUp);
}

// The order that the headers ask of an application that daemonises.
TEST(HostSession, ADaemonisedChildCarriesTheRunOnAsANewOne) {
  TestBundle bundle;
  auto session = startIn(bundle, {"--veldane-safe-mode"});
  ASSERT_TRUE(session);
  ASSERT_TRUE(session->markCleanExit());
  const ChildExit child = runInChild([&] {
    if (setsid() < 0) return 1;
    auto own = startIn(bundle, {"--veldane-safe-mode"});
    if (!own || !own->beat()) return 2;
    // The inherited session leaves the new record alone.
    if (session->beat() || session->markCleanExit()) return 3;
    return 0;
  });
  ASSERT_EQ(child.status, 0);
  const HostRunRecord record = readRecord(bundle);
  EXPECT_EQ(record.pid, child.pid);
  EXPECT_NE(record.launchID, session->launchID());
  EXPECT_TRUE(record.safeMode);
  EXPECT_FALSE(record.cleanExit);
}

TEST(HostSession, StartFailsWithAReason) {
  TestBundle bundle;
  fs::remove(bundle.bundle() / "Contents/Info.plist");
  const char* argv[] = {"host_test"};
  std::string failure;
  EXPECT_FALSE(HostSession::start(1, argv, {}, &failure));
  EXPECT_TRUE(failure.starts_with("not inside an .app bundle")) << failure;
  HostStartOptions options;
  options.bundlePath = bundle.bundle().string();
  EXPECT_FALSE(HostSession::start(1, argv, options, &failure));
  EXPECT_TRUE(failure.starts_with("no CFBundleIdentifier")) << failure;
  options.bundleIdentifier = "";  // as good as none
  EXPECT_FALSE(HostSession::start(1, argv, options, &failure));
  EXPECT_TRUE(failure.starts_with("no CFBundleIdentifier")) << failure;
  // The watchdog would idle with it: no folder outside the data folder is made.
  options.bundleIdentifier = "../escape";
  EXPECT_FALSE(HostSession::start(1, argv, options, &failure));
  EXPECT_TRUE(failure.starts_with("the bundle identifier \"../escape\"")) << failure;
  EXPECT_FALSE(fs::exists(bundle.path / "escape"));
  options.bundleIdentifier = "org.example.given";
  auto session = HostSession::start(1, argv, options);
  ASSERT_TRUE(session);
  EXPECT_EQ(session->dataFolder(), bundle.files("org.example.given").directory().string());
}

TEST(HostCApi, CallsFromCReachTheRecord) {
  TestBundle bundle;
  veldane_host* host = nullptr;
  const char* failed = exercise_c_api(bundle.bundle().c_str(), &host);
  std::unique_ptr<veldane_host, void (*)(veldane_host*)> owner(host, veldane_host_free);
  ASSERT_EQ(failed, nullptr) << failed;
  const WatchdogFiles files = bundle.files("com.example.c");
  EXPECT_EQ(veldane_host_data_folder(host), files.directory().string());
  const auto record = WatchdogStore::read<HostRunRecord>(files.hostRecordPath());
  EXPECT_TRUE(record && record->launchID == veldane_host_launch_id(host) && record->safeMode &&
              record->curtainUp && record->cleanExit);
}

}  // namespace
}  // namespace veldane
