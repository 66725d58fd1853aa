#include "platform/application_support.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace veldane {
namespace {

void setOrUnset(const char* name, const std::optional<std::string>& value) {
  value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
}

TEST(ApplicationSupportDirectory, FollowsDataHomeThenHomeThenPasswd) {
  const std::string passwd = std::string(::getpwuid(::getuid())->pw_dir) + "/.local/share";
  const std::nullopt_t unset = std::nullopt;
  const struct {
    std::optional<std::string> dataHome, home;
    std::string expected;
  } cases[] = {
      {"/data/home", "/home/u", "/data/home"},
      {"relative/data", "/home/u", "/home/u/.local/share"},
      {unset, "relative/home", passwd},
      {unset, unset, passwd},
  };
  for (const auto& c : cases) {
    setOrUnset("XDG_DATA_HOME", c.dataHome);
    setOrUnset("HOME", c.home);
    EXPECT_EQ(applicationSupportDirectory(), c.expected)
        << c.dataHome.value_or("(unset)") << " / " << c.home.value_or("(unset)");
  }
}

}  // namespace
}  // namespace veldane
