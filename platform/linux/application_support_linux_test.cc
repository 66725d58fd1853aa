#include "platform/application_support.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace veldane {
namespace {

// Sets or unsets one variable and restores it afterwards.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
  }
  ~ScopedVariable() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(ApplicationSupportDirectory, FollowsDataHomeThenHomeThenPasswd) {
  const passwd* entry = ::getpwuid(::getuid());
  ASSERT_NE(entry, nullptr);
  const std::string passwd = std::string(entry->pw_dir) + "/.local/share";
  const std::nullopt_t unset = std::nullopt;
  const struct {
    std::optional<std::string> dataHome, home;
    std::string expected;
  } cases[] = {
      {"/data/home", "/home/u", "/data/home"},
      {"relative/data", "/home/u", "/home/u/.local/share"},
      {"", "/home/u", "/home/u/.local/share"},
      {unset, "/home/u", "/home/u/.local/share"},
      {unset, "", passwd},
      {unset, "relative/home", passwd},
      {unset, unset, passwd},
  };
  for (const auto& c : cases) {
    ScopedVariable dataHome("XDG_DATA_HOME", c.dataHome), home("HOME", c.home);
    EXPECT_EQ(applicationSupportDirectory(), c.expected)
        << c.dataHome.value_or("(unset)") << " / " << c.home.value_or("(unset)");
  }
}

}  // namespace
}  // namespace veldane
