// The watchdog as the user service that its unit template makes of it, on a
// real systemd user manager: platform/linux/test/user-manager runs this binary
// beside one that is confined to a cgroup of its own, and gives 77 (skipped)
// where it cannot. Run alone, the tests skip.
#include <cstdio>
#include <cstdlib>
#include <regex>

#include "VeldaneWatchdog/e2e/watchdog_harness.h"

namespace veldane::e2e {
namespace {

// What `command` writes to standard output, trailing line break removed.
std::string output(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    while (size_t got = fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, got);
    pclose(pipe);
  }
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The unit that holds `pid`: the last part of its cgroup2 path.
std::string unitOf(pid_t pid) {
  std::istringstream lines(contents("/proc/" + std::to_string(pid) + "/cgroup"));
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("0::")) return line.substr(line.rfind('/') + 1);
  }
  return "";
}

std::string shellWord(const std::string& text) { return "'" + text + "'"; }

class WatchdogUserService : public WatchdogHarness {
 protected:
  void SetUp() override {
    // Read before the harness clears the environment.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || !fs::exists(fs::path(runtime) / "systemd/private")) {
      GTEST_SKIP() << "no user manager here: run under platform/linux/test/user-manager";
    }
    runtime_ = runtime;
    WatchdogHarness::SetUp();
    setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
    // The manager's folder of runtime units, which goes with it.
    units_ = runtime_ / "systemd/user";
    fs::create_directories(units_);
    fs::copy_file(VELDANE_E2E_UNIT_TEMPLATE, units_ / "veldane-watchdog@.service",
                  fs::copy_options::overwrite_existing);
    unit_ = "veldane-watchdog@" +
            output("systemd-escape --path " + shellWord((root_ / "Test.app").string())) +
            ".service";
    // The test's own HOME and the demo host's settings, for the watchdog and
    // the hosts it opens.
    fs::create_directories(units_ / (unit_ + ".d"));
    std::ofstream(units_ / (unit_ + ".d/test.conf"))
        << "[Service]\nEnvironment=HOME=" << (root_ / "home").string()
        << " VELDANE_DEMO_IDENTIFIER=com.veldane.e2e VELDANE_DEMO_CONTROL=" << control_.string()
        << " VELDANE_DEMO_OWNER=" << getpid() << "\n";
    ASSERT_EQ(systemctl("daemon-reload"), 0);
  }

  void TearDown() override {
    if (!units_.empty()) {
      systemctl("stop " + shellWord(unit_));
      // Each host this test's watchdog opened, with whatever it started.
      systemctl("stop 'app-veldane-*.scope'");
      fs::remove_all(units_ / (unit_ + ".d"));
      fs::remove(units_ / "veldane-watchdog@.service");
      systemctl("daemon-reload");
    }
    WatchdogHarness::TearDown();
  }

  int systemctl(const std::string& arguments) const {
    return std::system(("systemctl --user --quiet " + arguments + " >/dev/null 2>&1").c_str());
  }
  bool active(const std::string& unit) const {
    return systemctl("is-active " + shellWord(unit)) == 0;
  }

  // The crashed host relaunched by the watchdog of the unit.
  pid_t relaunchedAfterACrash() {
    writePlan({"run"});
    fs::remove(files_.ledgerPath());
    EXPECT_EQ(systemctl("start " + shellWord(unit_)), 0);
    EXPECT_TRUE(waitFor([&] { return ledger().has_value(); })) << "the watchdog never ticked";
    const pid_t host = startHost();
    EXPECT_TRUE(recordOf(host));
    crash(host);
    if (!launchesReach(2)) return 0;
    return launches()[1].pid;
  }

  fs::path runtime_;
  fs::path units_;
  std::string unit_;
};

TEST_F(WatchdogUserService, RelaunchedHostRunsInAnApplicationScopeOfItsOwn) {
  const pid_t host = relaunchedAfterACrash();
  ASSERT_GT(host, 0);
  const std::string scope = unitOf(host);
  EXPECT_TRUE(
      std::regex_match(scope, std::regex(R"(app-veldane-com\.veldane\.e2e-[0-9a-f]{32}\.scope)")))
      << scope;
  EXPECT_TRUE(active(scope));
  EXPECT_EQ(contents("/proc/" + std::to_string(host) + "/cgroup").find(unit_), std::string::npos);
  // Detached as without a manager.
  EXPECT_EQ(facts(host).session, host);
}

TEST_F(WatchdogUserService, StoppingTheWatchdogsUnitLeavesTheHostRunning) {
  const pid_t host = relaunchedAfterACrash();
  ASSERT_GT(host, 0);
  ASSERT_EQ(systemctl("stop " + shellWord(unit_)), 0);
  EXPECT_FALSE(active(unit_));
  EXPECT_EQ(kill(host, 0), 0);
  EXPECT_NE(facts(host).state, 'Z');
  EXPECT_TRUE(active(unitOf(host)));
}

}  // namespace
}  // namespace veldane::e2e
