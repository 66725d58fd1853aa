#include "platform/linux/transient_scope.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "state/test_support.h"

namespace veldane {
namespace {

TEST(TransientScope, NamesTheScopeAsDesktopLaunchersDoWithTheIdEscapedAsSystemdEscapeDoes) {
  EXPECT_EQ(TransientScope::unitName("com.example.My-App", "0a1b"),
            "app-veldane-com.example.My\\x2dApp-0a1b.scope");
  EXPECT_EQ(TransientScope::escapedApplicationId(".hidden id/x:_9"), "\\x2ehidden\\x20id\\x2fx:_9");
  EXPECT_EQ(TransientScope::escapedApplicationId("Caf\xC3\xA9"), "Caf\\xc3\\xa9");

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
  EXPECT_TRUE(why->starts_with("no user service manager to reach (")) << *why;
}

}  // namespace
}  // namespace veldane
