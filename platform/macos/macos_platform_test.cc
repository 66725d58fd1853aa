// The macOS platform on the real system: run by ctest on a Mac, only compiled
// by scripts/check-macos elsewhere.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/macos/cf_bundle_reader.h"
#include "platform/macos/macos_main_loop.h"
#include "platform/macos/sdk_declarations.h"
#include "platform/process_info.h"
#include "text/canonical_text.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;

// Runs the main run loop until `done()` or two seconds have passed.
void runMainRunLoop(const std::function<bool()>& done) {
  const CFAbsoluteTime end = CFAbsoluteTimeGetCurrent() + 2;
  while (!done() && CFAbsoluteTimeGetCurrent() < end) {
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, true);
  }
}

TEST(MacosPlatform, OwnPathTextAndBundlesAnswerAsTheSystem) {
  const std::optional<std::string> own = ProcessInfo::executablePath(::getpid());
  ASSERT_TRUE(own.has_value());
  EXPECT_EQ(*own, fs::canonical(*own).string());
  EXPECT_EQ(CanonicalText::composed("Cafe\xCC\x81"), "Caf\xC3\xA9");
  EXPECT_EQ(CanonicalText::composed("\xC3"), std::nullopt);

  char pattern[] = "/tmp/bundles-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  fs::create_directories(fs::path(pattern) / "Probe.app/Contents");
  std::ofstream(fs::path(pattern) / "Probe.app/Contents/Info.plist")
      << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
      << "<key>CFBundleIdentifier</key><string>com.example.probe</string>"
      << "<key>CFBundleExecutable</key><string>Probe</string></dict></plist>";
  EXPECT_EQ(CFBundleReader().open(std::string(pattern) + "/Probe.app"),
            (BundleInfo{"com.example.probe", "Probe"}));
  fs::remove_all(pattern);
}

TEST(MacosMainLoop, TimersWorkAndProcessExitsReachTheMainRunLoop) {
  MacosMainLoop loop;
  int fired = 0;
  auto timer = loop.oneShotTimer(std::chrono::milliseconds(50), std::chrono::milliseconds(10),
                                 [&] { ++fired; });
  loop.runAfter(std::chrono::milliseconds(50), [&] { ++fired; });
  runMainRunLoop([&] { return fired == 2; });
  EXPECT_EQ(fired, 2);

  const pid_t child = ::fork();
  if (child == 0) {
    for (;;) ::pause();
  }
  bool ended = false;
  auto watch = loop.watchProcessExit(child, [&ended] { ended = true; });
  EXPECT_TRUE(watch != nullptr && watch->sendSignal(SIGKILL));
  runMainRunLoop([&] { return ended; });
  EXPECT_TRUE(ended);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(loop.watchProcessExit(child, [] {}), nullptr);
}

}  // namespace
}  // namespace veldane
