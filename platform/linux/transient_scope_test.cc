#include "platform/linux/transient_scope.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "state/test_support.h"

namespace veldane {
namespace {

TEST(TransientScope, NamesTheScopeAsDesktopLaunchersDoWithTheIdEscapedAsSystemdEscapeDoes) {
  EXPECT_EQ(TransientScope::unitName("com.example.My-App", "0a1b"),
            "app-veldane-com.example.My\\x2dApp-0a1b.scope");

  const std::string first = TransientScope::newUnitName("com.example.App");
  const std::string prefix = "app-veldane-com.example.App-";
  ASSERT_TRUE(first.starts_with(prefix)) << first;
  const std::string random = first.substr(prefix.size(), first.size() - prefix.size() - 6);
  EXPECT_EQ(random.size(), 32u);
  EXPECT_EQ(random.find_first_not_of("0123456789abcdef"), std::string::npos) << random;
  EXPECT_TRUE(first.ends_with(".scope"));
  EXPECT_NE(TransientScope::newUnitName("com.example.App"), first);
}

class NoManager : public ::testing::Test, public TestFolder {
 protected:
  void SetUp() override {
    for (const char* name : {"XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS"}) {
      if (const char* value = std::getenv(name)) saved_.emplace_back(name, value);
      unsetenv(name);
    }
    // Neither a manager's socket nor a bus in it.
    setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("XDG_RUNTIME_DIR");
    for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
  }
  std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_F(NoManager, SaysThereIsNoneToReach) {
  const std::optional<std::string> why = TransientScope::start(
      TransientScope::newUnitName("com.example.App"), getpid(), std::chrono::seconds(1));
  ASSERT_TRUE(why.has_value());
  EXPECT_TRUE(why->starts_with("no systemd user manager: ")) << *why;
}

// Beside a real user manager: platform/linux/test/user-manager runs these
// (ctest's platform_linux_test.with_a_user_manager); elsewhere they skip.
class TransientScopeWithAManager : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr ||
        !std::filesystem::exists(std::filesystem::path(runtime) / "systemd/private")) {
      GTEST_SKIP() << "no user manager here: run under platform/linux/test/user-manager";
    }
  }
  void TearDown() override {
    for (pid_t child : children_) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
    }
  }
  pid_t child() {
    const pid_t pid = fork();
    if (pid == 0) {
      pause();
      _exit(0);
    }
    if (pid > 0) children_.push_back(pid);
    return pid;
  }
  static std::string cgroupOf(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/cgroup");
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }
  std::vector<pid_t> children_;
};

TEST_F(TransientScopeWithAManager, PutsTheProcessIntoAScopeOfItsOwnInTheApplicationSlice) {
  const pid_t pid = child();
  ASSERT_GT(pid, 0);
  const std::string unit = TransientScope::newUnitName("com.example.App");
  EXPECT_EQ(TransientScope::start(unit, pid, std::chrono::seconds(2)), std::nullopt);
  EXPECT_NE(cgroupOf(pid).find("/app.slice/" + unit + "\n"), std::string::npos) << cgroupOf(pid);
}

TEST_F(TransientScopeWithAManager, ARefusedScopeGivesTheManagersReason) {
  const pid_t first = child();
  const pid_t second = child();
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  const std::string unit = TransientScope::newUnitName("com.example.App");
  ASSERT_EQ(TransientScope::start(unit, first, std::chrono::seconds(2)), std::nullopt);
  const std::optional<std::string> why =
      TransientScope::start(unit, second, std::chrono::seconds(2));
  ASSERT_TRUE(why.has_value());
  EXPECT_TRUE(why->starts_with("cannot make " + unit + ": Unit " + unit + " ")) << *why;
  EXPECT_EQ(cgroupOf(second).find(unit), std::string::npos);
}

}  // namespace
}  // namespace veldane
