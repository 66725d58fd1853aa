#include "state/watchdog_store.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "state/test_support.h"
#include "state/watchdog_ledger.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;

void writeText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const fs::path& path) {
  return WatchdogStore::readFile(path).value_or("<unreadable>");
}

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

size_t openDescriptors() {
  return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

TEST(WatchdogStore, SerializeLayout) {
  nlohmann::json json = {{"b", {{"z", 1}, {"a", "x/y"}}},
                         {"a", nlohmann::json::array({"/", "Caf\xC3\xA9"})}};
  EXPECT_EQ(WatchdogStore::serialize(json), R"({"a":["\/","Caf)"
                                            "\xC3\xA9"
                                            R"("],"b":{"a":"x\/y","z":1}})");
  EXPECT_EQ(WatchdogStore::serialize({{"k", "\xFF"}}), std::nullopt);
}

TEST(WatchdogStore, ParseAbsorbsBadText) {
  EXPECT_EQ(WatchdogStore::parse(" {\n\"a\" : [1, \"\\/\"]\n} "),
            nlohmann::json({{"a", {1, "/"}}}));
  const std::string bad[] = {
      "", " ", "{", "{\"a\":1", "{\"a\":\"\xFF\"}", "nul", "{} {}", std::string(100000, '[')};
  for (const std::string& text : bad) EXPECT_EQ(WatchdogStore::parse(text), std::nullopt) << text;
  // Deep but well-formed nesting neither overflows the stack when parsed nor
  // when destroyed.
  std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_TRUE(WatchdogStore::parse(deep).has_value());
}

TEST(WatchdogStore, WriteCreatesMissingFoldersWith0700WhateverTheUmask) {
  TestFolder folder;
  const fs::path file = folder.path() / "a" / "b" / "watchdog.json";
  mode_t oldMask = umask(0377);
  bool written = WatchdogStore::write(WatchdogLedger(), file);
  umask(oldMask);
  ASSERT_TRUE(written);
  EXPECT_EQ(modeOf(folder.path() / "a"), 0700u);
  EXPECT_EQ(modeOf(folder.path() / "a" / "b"), 0700u);
  EXPECT_EQ(readText(file), R"({"relaunches":0,"unexpectedExits":[],"version":1})");
  EXPECT_EQ(WatchdogStore::read<WatchdogLedger>(file), WatchdogLedger());
}

TEST(WatchdogStore, WriteLeavesExistingFolderModes) {
  TestFolder folder;
  ASSERT_EQ(chmod(folder.path().c_str(), 0755), 0);
  ASSERT_TRUE(WatchdogStore::writeFileAtomically(folder.path() / "f.json", "{}"));
  EXPECT_EQ(modeOf(folder.path()), 0755u);
  ASSERT_TRUE(WatchdogStore::writeFileAtomically(folder.path() / "f.json", "[]", false));
  EXPECT_EQ(readText(folder.path() / "f.json"), "[]");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), {}), 1);
}

TEST(WatchdogStore, WriteFailsWhereAFileTakesTheFolderPath) {
  TestFolder folder;
  writeText(folder.path() / "blocker", "x");
  EXPECT_FALSE(WatchdogStore::writeFileAtomically(folder.path() / "blocker" / "f.json", "{}"));
  EXPECT_FALSE(WatchdogStore::writeFileAtomically(folder.path() / "blocker" / "a" / "f", "{}"));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), {}), 1);
  EXPECT_EQ(readText(folder.path() / "blocker"), "x");
}

TEST(WatchdogStore, FailedWriteLeavesOldFileAndNoTemporary) {
  TestFolder folder;
  const fs::path file = folder.path() / "watchdog.json";
  writeText(file, "old");
  // A file size limit makes the write of the temporary file fail midway.
  struct rlimit oldLimit {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &oldLimit), 0);
  struct rlimit small = oldLimit;
  small.rlim_cur = 4;
  sighandler_t oldHandler = signal(SIGXFSZ, SIG_IGN);
  const bool limited = setrlimit(RLIMIT_FSIZE, &small) == 0;
  const bool written = WatchdogStore::writeFileAtomically(file, std::string(100, 'n'));
  setrlimit(RLIMIT_FSIZE, &oldLimit);
  signal(SIGXFSZ, oldHandler);
  ASSERT_TRUE(limited);
  EXPECT_FALSE(written);
  EXPECT_EQ(readText(file), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), {}), 1);
  // A folder in the target's place cannot be replaced either.
  fs::create_directory(folder.path() / "taken");
  writeText(folder.path() / "taken" / "inside", "x");
  EXPECT_FALSE(WatchdogStore::writeFileAtomically(folder.path() / "taken", "{}"));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), {}), 2);
}

TEST(WatchdogStore, ReadFileSizeLimit) {
  TestFolder folder;
  const fs::path file = folder.path() / "f";
  struct Case {
    off_t size;
    bool readable;
  };
  const Case cases[] = {{0, true},
                        {WatchdogStore::kMaxFileSize, true},
                        {WatchdogStore::kMaxFileSize + 1, false},
                        {off_t{400} << 20, false}};
  for (const Case& c : cases) {
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, c.size), 0);  // sparse: no real bytes written
    close(fd);
    std::optional<std::string> content = WatchdogStore::readFile(file);
    EXPECT_EQ(content.has_value(), c.readable) << c.size;
    if (content) {
      EXPECT_EQ(content->size(), static_cast<size_t>(c.size));
    }
  }
}

TEST(WatchdogStore, ReadAbsorbsEveryBadFile) {
  TestFolder folder;
  const fs::path dir = folder.path();
  writeText(dir / "empty", "");
  writeText(dir / "space", " ");
  writeText(dir / "truncated", R"({"relaunches":0,"unexpectedExits":[],"vers)");
  writeText(dir / "invalid",
            "{\"relaunches\":0,\"unexpectedExits\":[],\"version\":1,\"x\":\"\xC3\"}");
  writeText(dir / "nested", "{\"version\":" + std::string(100000, '['));
  writeText(dir / "array", R"([{"relaunches":0,"unexpectedExits":[],"version":1}])");
  fs::create_directory(dir / "folder");
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", dir / "device");
  fs::create_symlink(dir / "nowhere", dir / "dangling");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (dir / "socket").string();
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socketPath.c_str());
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  EXPECT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  const size_t descriptors = openDescriptors();
  for (const char* name : {"missing", "empty", "space", "truncated", "invalid", "nested", "array",
                           "folder", "fifo", "device", "dangling", "socket"}) {
    EXPECT_EQ(WatchdogStore::read<WatchdogLedger>(dir / name), std::nullopt) << name;
  }
  EXPECT_EQ(openDescriptors(), descriptors);
  close(sock);
}

}  // namespace
}  // namespace veldane
