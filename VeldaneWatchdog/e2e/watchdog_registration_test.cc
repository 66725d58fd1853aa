// Registration of a bundle's watchdog with a real systemd user manager, as
// an application does it through the host library. Each case runs beside a
// manager of its own with a HOME of its own (private-home, then
// platform/linux/test/user-manager), which CMake arranges; run any other way,
// the cases that need the manager are skipped rather than touch the user's.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "VeldaneWatchdog/e2e/watchdog_harness.h"

namespace veldane::e2e {
namespace {

// What a command printed and its exit status.
std::pair<int, std::string> run(const std::string& command) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {-1, ""};
  std::string out;
  for (int c; (c = fgetc(pipe)) != EOF;) out += static_cast<char>(c);
  const int status = pclose(pipe);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

class WatchdogRegistration : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "veldane_registration.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = fs::canonical(pattern);
  }

  void TearDown() override {
    // Whatever a failed case left registered goes, with its processes.
    for (const fs::path& bundle : bundles_) {
      run("systemctl --user disable --now " + quoted(unitOf(bundle)));
    }
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // Skips the case unless a manager of its own runs beside it.
  void needManager() {
    const char* home = std::getenv("VELDANE_E2E_PRIVATE_HOME");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (home == nullptr || std::getenv("HOME") != std::string(home) || runtime == nullptr ||
        !fs::exists(fs::path(runtime) / "systemd/private")) {
      GTEST_SKIP() << "not beside a user manager of its own (see VeldaneWatchdog/e2e/CMakeLists.txt)";
    }
    unitFolder_ = fs::path(home) / ".config/systemd/user";
  }

  // A bundle NAME.app with the watchdog and the registering host.
  fs::path makeBundle(const std::string& name) {
    const fs::path bundle = root_ / (name + ".app");
    fs::create_directories(bundle / "Contents/MacOS");
    std::ofstream(bundle / "Contents/Info.plist")
        << "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>com.veldane.e2e."
        << name << "</string><key>CFBundleExecutable</key><string>Host</string></dict></plist>";
    fs::copy_file(VELDANE_E2E_WATCHDOG, bundle / "Contents/MacOS/VeldaneWatchdog");
    fs::copy_file(VELDANE_E2E_REGISTERING_HOST, bundle / "Contents/MacOS/Host");
    bundles_.push_back(bundle);
    return bundle;
  }

  // The bundle's host run with `verb`; its bundle is found around it.
  static std::pair<int, std::string> host(const fs::path& bundle, const std::string& verb,
                                          const std::string& environment = "") {
    return run(environment + " " + quoted((bundle / "Contents/MacOS/Host").string()) + " " + verb);
  }

  static std::string unitOf(const fs::path& bundle) {
    return run("systemd-escape --path --template=veldane-watchdog@.service " +
               quoted(bundle.string()))
        .second;
  }

  static std::string property(const fs::path& bundle, const std::string& name) {
    return run("systemctl --user show --value -p " + name + " " + quoted(unitOf(bundle))).second;
  }

  static std::string isEnabled(const fs::path& bundle) {
    return run("systemctl --user is-enabled " + quoted(unitOf(bundle))).second;
  }

  // The pid of the unit's process once it runs the file that `watchdog` is
  // now, 0 when none does within the patience.
  static pid_t runningWatchdog(const fs::path& bundle) {
    struct stat file {};
    if (stat((bundle / "Contents/MacOS/VeldaneWatchdog").c_str(), &file) != 0) return 0;
    pid_t pid = 0;
    waitFor([&] {
      pid = std::atoi(property(bundle, "MainPID").c_str());
      struct stat running {};
      return pid > 0 && property(bundle, "ActiveState") == "active" &&
             stat(("/proc/" + std::to_string(pid) + "/exe").c_str(), &running) == 0 &&
             running.st_ino == file.st_ino && running.st_dev == file.st_dev;
    });
    return pid;
  }

  // Every file or link below the user's unit folder.
  std::vector<std::string> unitFolderEntries() const {
    std::vector<std::string> found;
    std::error_code error;
    for (fs::recursive_directory_iterator it(unitFolder_, error), end; !error && it != end;
         it.increment(error)) {
      if (!it->is_directory()) found.push_back(it->path().string());
    }
    return found;
  }

  fs::path root_;
  fs::path unitFolder_;
  std::vector<fs::path> bundles_;
};

TEST_F(WatchdogRegistration, RegisteringRunsTheBundlesWatchdogAndEnablesIt) {
  needManager();
  const fs::path bundle = makeBundle("Test");
  EXPECT_EQ(host(bundle, "register"), std::make_pair(0, std::string()));
  EXPECT_EQ(isEnabled(bundle), "enabled");
  EXPECT_NE(runningWatchdog(bundle), 0);
  // The project's template, written where the manager looks first.
  EXPECT_TRUE(fs::exists(unitFolder_ / "veldane-watchdog@.service"));
  EXPECT_TRUE(fs::is_symlink(unitFolder_ / "default.target.wants" / unitOf(bundle)));
  // The status tool tells the same.
  const auto [status, out] = run(std::string(VELDANE_E2E_STATUS_TOOL) + " --json " +
                                 quoted(bundle.string()));
  const nlohmann::json registration = nlohmann::json::parse(out, nullptr, false)["registration"];
  EXPECT_EQ(registration["job"], unitOf(bundle)) << out;
  EXPECT_EQ(registration["registered"], true) << out;
  EXPECT_EQ(registration["running"], true) << out;
}

TEST_F(WatchdogRegistration, RegisteringTwiceIsHarmless) {
  needManager();
  const fs::path bundle = makeBundle("Test");
  ASSERT_EQ(host(bundle, "register"), std::make_pair(0, std::string()));
  const pid_t first = runningWatchdog(bundle);
  ASSERT_NE(first, 0);
  EXPECT_EQ(host(bundle, "register"), std::make_pair(0, std::string()));
  EXPECT_EQ(isEnabled(bundle), "enabled");
  // The running watchdog is left alone.
  EXPECT_EQ(runningWatchdog(bundle), first);
}

TEST_F(WatchdogRegistration, AReplacedWatchdogIsStartedAgainByTheManager) {
  needManager();
  const fs::path bundle = makeBundle("Test");
  ASSERT_EQ(host(bundle, "register"), std::make_pair(0, std::string()));
  const pid_t old = runningWatchdog(bundle);
  ASSERT_NE(old, 0);
  const fs::path watchdog = bundle / "Contents/MacOS/VeldaneWatchdog";
  fs::copy_file(VELDANE_E2E_WATCHDOG, watchdog.string() + ".new");
  fs::rename(watchdog.string() + ".new", watchdog);

  const pid_t replacement = runningWatchdog(bundle);
  EXPECT_NE(replacement, 0);
  EXPECT_NE(replacement, old);
  // It exited by itself with status 0, and Restart=always started it again.
  EXPECT_EQ(property(bundle, "Result"), "success");
  EXPECT_EQ(property(bundle, "NRestarts"), "1");
}

TEST_F(WatchdogRegistration, UnregisteringStopsItAndLeavesNothing) {
  needManager();
  const fs::path bundle = makeBundle("Test");
  ASSERT_EQ(host(bundle, "register"), std::make_pair(0, std::string()));
  ASSERT_NE(runningWatchdog(bundle), 0);
  EXPECT_EQ(host(bundle, "unregister"), std::make_pair(0, std::string()));
  EXPECT_NE(isEnabled(bundle), "enabled");
  EXPECT_EQ(property(bundle, "ActiveState"), "inactive");
  EXPECT_EQ(unitFolderEntries(), std::vector<std::string>());
  // Told as known and off: a unit the manager has no file for is no unknown.
  const auto [status, out] = run(std::string(VELDANE_E2E_STATUS_TOOL) + " --json " +
                                 quoted(bundle.string()));
  const nlohmann::json registration = nlohmann::json::parse(out, nullptr, false)["registration"];
  EXPECT_EQ(registration["registered"], false) << out;
  EXPECT_EQ(registration["running"], false) << out;
  EXPECT_TRUE(registration["why"].is_null()) << out;
  // And again, with nothing registered.
  EXPECT_EQ(host(bundle, "unregister"), std::make_pair(0, std::string()));
}

TEST_F(WatchdogRegistration, TheTemplateStaysWhileAnotherBundleUsesIt) {
  needManager();
  const fs::path first = makeBundle("First");
  const fs::path second = makeBundle("Second");
  ASSERT_EQ(host(first, "register"), std::make_pair(0, std::string()));
  ASSERT_EQ(host(second, "register"), std::make_pair(0, std::string()));
  EXPECT_EQ(host(first, "unregister"), std::make_pair(0, std::string()));
  EXPECT_TRUE(fs::exists(unitFolder_ / "veldane-watchdog@.service"));
  EXPECT_EQ(isEnabled(second), "enabled");
  EXPECT_NE(runningWatchdog(second), 0);
  EXPECT_EQ(host(second, "unregister"), std::make_pair(0, std::string()));
  EXPECT_EQ(unitFolderEntries(), std::vector<std::string>());
}

TEST_F(WatchdogRegistration, WithoutAUserManagerTheReasonSaysSo) {
  const fs::path bundle = makeBundle("Test");
  const fs::path runtime = root_ / "runtime";
  fs::create_directories(runtime);
  const auto [status, why] = host(
      bundle, "register", "env -u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR=" + runtime.string());
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(why.starts_with("no systemd user manager: ")) << why;
  bundles_.clear();  // nothing was registered
}

}  // namespace
}  // namespace veldane::e2e
