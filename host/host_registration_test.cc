#include <string>

#include <gtest/gtest.h>

#include "veldane/host.hpp"

namespace veldane {
namespace {

// The refusals that come before any job manager is asked; registering with a
// real one is tested end to end.
TEST(HostRegistration, OutsideABundleSaysSo) {
  std::string why;
  EXPECT_FALSE(registerWatchdog(&why));
  EXPECT_TRUE(why.starts_with("not inside an .app bundle: ")) << why;
  EXPECT_FALSE(unregisterWatchdog(&why));
  EXPECT_TRUE(why.starts_with("not inside an .app bundle: ")) << why;
}

#ifdef __linux__
TEST(HostRegistration, ABundleWithoutItsWatchdogIsNotRegistered) {
  std::string why;
  EXPECT_FALSE(registerWatchdog(&why, "/nonexistent/Empty.app"));
  EXPECT_EQ(why,
            "no watchdog to register: /nonexistent/Empty.app/Contents/MacOS/VeldaneWatchdog is not "
            "an executable file");
}

TEST(HostRegistration, LinuxHasNoLoginItemsToOpen) {
  std::string why;
  EXPECT_FALSE(openLoginItemsSettings(&why));
  EXPECT_EQ(why, "nothing to approve: the systemd user manager asks for no approval");
}
#endif

}  // namespace
}  // namespace veldane
