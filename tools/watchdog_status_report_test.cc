#include "tools/watchdog_status_report.h"

#include <chrono>
#include <string>

#include <gtest/gtest.h>

namespace veldane {
namespace {

using nlohmann::json, std::chrono::seconds;

const WatchdogDate kNow = *parseDate("2025-03-01T08:15:30Z");

WatchdogStatusInput validInput() {
  // clang-format off
  return {.bundlePath = "/Apps/Demo.app", .bundleIdentifier = "com.example.demo",
          .dataFolder = "/data/com.example.demo/Watchdog/0123456789abcdef",
          .record = {true, HostRunRecord{.pid = 42, .launchID = "L1", .bootSession = "boot-1",
              .executablePath = "/Apps/Demo.app/Contents/MacOS/Demo",
              .startedAt = kNow - seconds(60), .heartbeatUptime = 990,
              .heartbeatAt = kNow - seconds(10), .crashLoopResetAt = {}, .awayCoverUp = {}}},
          .hangNote = {true, HostHangNote{"L0", kNow - seconds(200), 50}},
          .ledger = {true, WatchdogLedger{.bootSession = "boot-1",
              .unexpectedExits = {kNow - seconds(200)}, .handledLaunchID = "L0",
              .relaunches = 1, .lastRelaunchAt = kNow - seconds(200),
              .lastExit = WatchdogExitKind::hang, .lastExitAt = kNow - seconds(200),
              .stoppedAt = {}, .safeModeLaunchedAt = {}}},
          .hangReport = {}, .recordProcessAlive = true,
          .bootSession = "boot-1", .now = kNow, .uptime = 1000};
  // clang-format on
}

TEST(WatchdogStatusReport, NamesEachMissingOrBadFileAndReadsNoneWithoutABundle) {
  WatchdogStatusInput in = validInput();
  EXPECT_EQ(WatchdogStatusReport::build(in)["problems"], json::array());
  in.record = {false, std::nullopt};
  in.hangNote = {true, std::nullopt};
  in.ledger = {true, std::nullopt};
  in.hangReport = {true, std::nullopt};
  EXPECT_EQ(WatchdogStatusReport::build(in)["problems"],
            json({"host.json: missing", "hang.json: unreadable or not a valid hang note",
                  "watchdog.json: unreadable or not a valid ledger",
                  "hang-report.json: unreadable or not a valid hang report"}));
  in = validInput();
  in.bundleIdentifier.reset();
  in.dataFolder.reset();
  const json report = WatchdogStatusReport::build(in);
  EXPECT_TRUE(report["host"].is_null() && report["ledger"].is_null());
  EXPECT_EQ(report["problems"], json({"Info.plist: unreadable or without CFBundleIdentifier"}));
  in.bundleIdentifier = "..";
  EXPECT_EQ(WatchdogStatusReport::build(in)["problems"],
            json({"Info.plist: CFBundleIdentifier cannot name a folder"}));
}

TEST(WatchdogStatusReport, JudgesTheHostAndCountsExitsAsTheWatchdogDoes) {
  WatchdogStatusInput in = validInput();
  in.recordProcessTraced = true;  // which counts only while the host is alive
  in.recordProcessAlive = false;
  const json gone = WatchdogStatusReport::build(in)["host"];
  EXPECT_TRUE(gone["alive"] == false && gone["traced"] == false) << gone;
  in.recordProcessAlive = true;
  in.record.value->curtainUp = true;
  in.record.value->bootSession = "boot-0";
  in.hangNote.value->launchID = "L1";
  // The first is further back than the clock's ticks can span from now.
  in.ledger.value->unexpectedExits = {*parseDate("1700-01-01T00:00:00Z")};
  for (int offset : {-400, -300, -299, 10, 0}) {
    in.ledger.value->unexpectedExits.push_back(kNow + seconds(offset));
  }
  in.ledger.value->stoppedAt = kNow - seconds(5);
  const json report = WatchdogStatusReport::build(in);
  EXPECT_EQ(report["ledger"]["recentUnexpectedExits"],
            json({"2025-03-01T08:10:31Z", "2025-03-01T08:15:30Z"}));
  // The text says what the report's values mean; it prints the rest as given.
  const std::string text = WatchdogStatusReport::renderText(report);
  for (const char* line :
       {"  pid                 42, alive, traced\n",
        "  boot session        another boot (boot-0)\n",
        "  heartbeat           from another boot, hang limit 6 s\n",
        "  launch ID           L1 (the current run)\n", "  stalled             50.0 s\n",
        "  unexpected exits    2 in the last 300 s (limit 3)\n",
        "  relaunches          1, last at 2025-03-01T08:12:10Z\n",
        "  relaunching         no, stopped since 2025-03-01T08:15:25Z\n",
        "  boot session        this boot\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  }
}

// Texts go to a terminal: control characters, DEL and C1 characters are
// escaped and bytes that are not UTF-8 replaced.
TEST(WatchdogStatusReport, RendersTextEscapingWhatCouldControlTheTerminal) {
  WatchdogStatusInput in = validInput();
  in.bundlePath = "/Apps/\xFF.app";
  in.record.value->launchID = "L\x1B]0;x\x07\r\x7F\xC2\x9B\\\xC3\xA9";
  // clang-format off
  const HostThreadSnapshot thread{41, "Demo", "sleeping", "pipe_read", 0.01, 0, {"pipe_read+0x2d3"},
                                  {"read (libc.so.6)", "wait() (demo.cc:9)"}};
  in.hangReport = {true, WatchdogHangReport{1, 41, "L0", kNow - seconds(200), 6.5, 6, 3.5, 0.02,
                                            "main thread blocked", "unwound", {thread}}};
  // clang-format on
  const std::string text = WatchdogStatusReport::renderText(WatchdogStatusReport::build(in));
  EXPECT_TRUE(text.starts_with("Bundle       /Apps/\uFFFD.app\n")) << text;
  EXPECT_NE(text.find("  launch ID           L\\u001b]0;x\\u0007\\r\\u007f\\u009b\\\\\xC3\xA9\n"),
            std::string::npos)
      << text;
  EXPECT_TRUE(text.ends_with(R"(
  snapshot            20 ms before the signal
  stacks              unwound
  thread 41           Demo: sleeping in pipe_read, 0.01 s CPU (0.00 s since the sample)
                      [kernel] pipe_read+0x2d3
                      #0 read (libc.so.6)
                      #1 wait() (demo.cc:9)
)")) << text;
}

}  // namespace
}  // namespace veldane
