#include "platform/linux/user_manager_bus.h"

#include <cerrno>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace veldane {
namespace {

TEST(BusFailureText, GivesTheManagersMessageOnOneLine) {
  EXPECT_EQ(busFailureText("enable u.service", "org.freedesktop.DBus.Error.AccessDenied",
                           "Access denied\nby policy", EACCES),
            "cannot enable u.service: Access denied by policy");
}

TEST(BusFailureText, FallsBackToTheErrorNumber) {
  EXPECT_EQ(busFailureText("reload the user units", "", "", ENOENT),
            "cannot reload the user units: No such file or directory");
}

TEST(BusFailureText, NamesAMissingManagerAndATimeout) {
  EXPECT_EQ(busFailureText("x", "org.freedesktop.DBus.Error.ServiceUnknown", "whatever", ENOENT),
            "no systemd user manager on the user bus");
  EXPECT_EQ(busFailureText("start u.service", "", "", ETIMEDOUT),
            "the systemd user manager did not answer in time (start u.service)");
  EXPECT_EQ(busFailureText("start u.service", "org.freedesktop.DBus.Error.NoReply", "No reply", 0),
            "the systemd user manager did not answer in time (start u.service)");
}

TEST(BusAddressValue, EscapesWhatAnAddressCannotHold) {
  EXPECT_EQ(busAddressValue("/run/user/1000/systemd/private"), "/run/user/1000/systemd/private");
  EXPECT_EQ(busAddressValue("azAZ09-_/.\\*"), "azAZ09-_/.\\*");
  EXPECT_EQ(busAddressValue("`{@[/:"), "%60%7b%40%5b/%3a");
  EXPECT_EQ(busAddressValue("/tmp/a b,c=d;e%"), "/tmp/a%20b%2cc%3dd%3be%25");
  EXPECT_EQ(busAddressValue("/\xc3\xa9"), "/%c3%a9");
}

TEST(UserManagerBus, WithoutAManagerSaysSo) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string savedRuntime = runtime ? runtime : "", savedAddress = address ? address : "";
  setenv("XDG_RUNTIME_DIR", "/nonexistent-runtime-dir", 1);
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  std::string failure;
  EXPECT_EQ(UserManagerBus::connect(std::chrono::seconds(1), failure), nullptr);
  EXPECT_TRUE(failure.starts_with("no systemd user manager: ")) << failure;
  runtime ? setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1) : unsetenv("XDG_RUNTIME_DIR");
  if (address) setenv("DBUS_SESSION_BUS_ADDRESS", savedAddress.c_str(), 1);
}

}  // namespace
}  // namespace veldane
