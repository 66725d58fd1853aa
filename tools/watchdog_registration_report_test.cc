#include "tools/watchdog_registration_report.h"

#include <gtest/gtest.h>

namespace veldane {
namespace {

using nlohmann::json;

TEST(WatchdogRegistrationReport, TellsARunningRegisteredWatchdog) {
  const WatchdogRegistrationStatus status{"veldane-watchdog@opt-A.app.service", true, true,
                                          "unit file enabled, active running", ""};
  const json part = WatchdogRegistrationReport::build(status);
  EXPECT_EQ(part, (json{{"job", "veldane-watchdog@opt-A.app.service"},
                        {"registered", true},
                        {"running", true},
                        {"state", "unit file enabled, active running"},
                        {"why", nullptr}}));
  EXPECT_EQ(WatchdogRegistrationReport::renderText(part),
            "\nRegistration\n"
            "  job                 veldane-watchdog@opt-A.app.service\n"
            "  registered          yes\n"
            "  running             yes\n"
            "  state               unit file enabled, active running\n");
}

TEST(WatchdogRegistrationReport, UnknownWithoutAJobManagerAndSaysWhy) {
  WatchdogRegistrationStatus status;
  status.job = "veldane-watchdog@opt-A.app.service";
  status.why = "no systemd user manager: neither\n/x nor the user bus answers";
  const json part = WatchdogRegistrationReport::build(status);
  EXPECT_EQ(part["registered"], nullptr);
  EXPECT_EQ(part["running"], nullptr);
  EXPECT_EQ(WatchdogRegistrationReport::renderText(part),
            "\nRegistration\n"
            "  job                 veldane-watchdog@opt-A.app.service\n"
            "  registered          unknown\n"
            "  running             unknown\n"
            "  unknown because     no systemd user manager: neither?/x nor the user bus answers\n");
}

}  // namespace
}  // namespace veldane
