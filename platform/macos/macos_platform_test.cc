// The macOS platform on the real system: run by ctest on a Mac, only compiled
// by scripts/check-macos elsewhere.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/application_support.h"
#include "platform/canonical_text.h"
#include "platform/file_identity.h"
#include "platform/host_process_info.h"
#include "platform/macos/cf_bundle_reader.h"
#include "platform/macos/macos_main_loop.h"
#include "platform/macos/sdk_declarations.h"
#include "platform/uptime_clock.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;

// Runs the main run loop until `done` or `seconds` have passed.
void runMainRunLoop(double seconds, const bool& done) {
  const CFAbsoluteTime end = CFAbsoluteTimeGetCurrent() + seconds;
  while (!done && CFAbsoluteTimeGetCurrent() < end) {
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, true);
  }
}

TEST(MacosProbes, AnswerForThisProcessAndNothingForNone) {
  const std::optional<std::string> own = HostProcessInfo::executablePath(::getpid());
  ASSERT_TRUE(own.has_value());
  EXPECT_TRUE(fs::path(*own).is_absolute());
  EXPECT_TRUE(fs::equivalent(*own, fs::canonical(*own)));
  EXPECT_EQ(HostProcessInfo::executablePath(0), std::nullopt);
  EXPECT_FALSE(HostProcessInfo::isTraced(::getpid()));  // run it under lldb: true
  EXPECT_FALSE(HostProcessInfo::isTraced(-1));

  const std::string boot = HostProcessInfo::bootSession();
  EXPECT_NE(boot, "unknown");
  EXPECT_EQ(HostProcessInfo::bootSession(), boot);

  EXPECT_EQ(FileIdentity::atPath(*own), FileIdentity::atPath(*own));
  EXPECT_EQ(FileIdentity::atPath("/nonexistent"), std::nullopt);
  const double uptime = systemUptime();
  EXPECT_GT(uptime, 0);
  EXPECT_GE(systemUptime(), uptime);

  const std::optional<std::string> support = applicationSupportDirectory();
  ASSERT_TRUE(support.has_value());
  EXPECT_TRUE(support->ends_with("/Library/Application Support")) << *support;
}

TEST(MacosText, ComposesLikeTheSystem) {
  EXPECT_EQ(CanonicalText::composed("Cafe\xCC\x81"), "Caf\xC3\xA9");
  EXPECT_EQ(CanonicalText::composed("\xEF\xBB\xBF" "a"), "\xEF\xBB\xBF" "a");
  EXPECT_EQ(CanonicalText::composed(""), "");
  EXPECT_EQ(CanonicalText::composed("\xC3"), std::nullopt);
}

TEST(MacosBundleReader, ReadsIdentifierAndExecutable) {
  char pattern[] = "/tmp/bundles-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path bundle = fs::path(pattern) / "Probe.app";
  fs::create_directories(bundle / "Contents/MacOS");
  std::ofstream(bundle / "Contents/Info.plist")
      << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
      << "<key>CFBundleIdentifier</key><string>com.example.probe</string>"
      << "<key>CFBundleExecutable</key><string>Probe</string></dict></plist>";
  const std::optional<BundleInfo> info = CFBundleReader().open(bundle.string());
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->identifier, "com.example.probe");
  EXPECT_EQ(info->executableName, "Probe");
  fs::remove_all(pattern);
}

TEST(MacosMainLoop, TimersWorkAndProcessExitsReachTheMainRunLoop) {
  MacosMainLoop loop;
  bool fired = false;
  const std::unique_ptr<MainLoop::Timer> timer =
      loop.oneShotTimer(0.05, 0.01, [&fired] { fired = true; });
  runMainRunLoop(2.0, fired);
  EXPECT_TRUE(fired);

  bool ran = false;
  loop.runAfter(0.05, [&ran] { ran = true; });
  runMainRunLoop(2.0, ran);
  EXPECT_TRUE(ran);

  const pid_t child = ::fork();
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  bool ended = false;
  std::unique_ptr<MainLoop::ProcessExitWatch> watch =
      loop.watchProcessExit(child, [&ended] { ended = true; });
  ASSERT_NE(watch, nullptr);
  EXPECT_TRUE(watch->sendSignal(SIGKILL));
  runMainRunLoop(2.0, ended);
  EXPECT_TRUE(ended);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(loop.watchProcessExit(child, [] {}), nullptr);
}

}  // namespace
}  // namespace veldane
