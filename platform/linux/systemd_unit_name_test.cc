#include "platform/linux/systemd_unit_name.h"

#include <stdio.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace veldane {
namespace {

// What "systemd-escape --path" (systemd 252) answered for each.
TEST(SystemdUnitName, EscapesPathsAsSystemdEscapeDoes) {
  const struct {
    const char* path;
    const char* escaped;
  } cases[] = {
      {"/opt/Demo.app", "opt-Demo.app"},
      {"/a b/c-d.app", "a\\x20b-c\\x2dd.app"},
      {"/", "-"},
      {"", "-"},
      {"//x//y/", "x-y"},
      {"/./a/./b/.", "a-b"},
      {"/.hidden/x", "\\x2ehidden-x"},
      {"/x/.y", "x-.y"},
      {"/\xc3\xbc/\xc3\x84.app", "\\xc3\\xbc-\\xc3\\x84.app"},
      {"a\\b", "a\\x5cb"},
      {"a:b_c.d", "a:b_c.d"},
      {"/-", "\\x2d"},
      {"/tab\tx", "tab\\x09x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SystemdUnitName::escapedPath(c.path), c.escaped) << c.path;
  }
}

// An application's identifier in its scope's name: a text without "/".
TEST(SystemdUnitName, EscapesATextAsSystemdEscapeDoes) {
  EXPECT_EQ(SystemdUnitName::escaped("com.example.My-App"), "com.example.My\\x2dApp");
  EXPECT_EQ(SystemdUnitName::escaped(".hidden id:_9.x"), "\\x2ehidden\\x20id:_9.x");
  EXPECT_EQ(SystemdUnitName::escaped("Caf\xC3\xA9"), "Caf\\xc3\\xa9");
}

TEST(SystemdUnitName, RefusesParentComponents) {
  EXPECT_EQ(SystemdUnitName::escapedPath("/a/../b"), std::nullopt);
  EXPECT_EQ(SystemdUnitName::watchdogUnit("/a/.."), std::nullopt);
}

TEST(SystemdUnitName, NamesTheWatchdogInstanceWithinSystemdsLimit) {
  EXPECT_EQ(SystemdUnitName::watchdogUnit("/opt/Demo.app"), "veldane-watchdog@opt-Demo.app.service");
  // 17 + 230 + 8 bytes is the longest name systemd takes.
  EXPECT_EQ(SystemdUnitName::watchdogUnit("/" + std::string(230, 'a'))->size(), 255u);
  EXPECT_EQ(SystemdUnitName::watchdogUnit("/" + std::string(231, 'a')), std::nullopt);
}

// Every byte, against the tool itself where it is installed.
TEST(SystemdUnitName, AgreesWithSystemdEscapeOnEveryByte) {
  if (access("/usr/bin/systemd-escape", X_OK) != 0) GTEST_SKIP() << "no systemd-escape";
  std::string path = "/.lead/";
  for (int byte = 1; byte < 256; ++byte) {
    if (byte != '/' && byte != '\'') path += static_cast<char>(byte);
  }
  path += "/x.app/";
  FILE* tool = popen(("/usr/bin/systemd-escape --path -- '" + path + "' 2>/dev/null").c_str(), "r");
  ASSERT_NE(tool, nullptr);
  std::string answer;
  for (int c; (c = fgetc(tool)) != EOF;) answer += static_cast<char>(c);
  ASSERT_EQ(pclose(tool), 0);
  if (!answer.empty() && answer.back() == '\n') answer.pop_back();
  EXPECT_EQ(SystemdUnitName::escapedPath(path), answer);
}

}  // namespace
}  // namespace veldane
