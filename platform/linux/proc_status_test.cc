#include "platform/linux/proc_status.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace veldane {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// As a 6.x kernel writes it, cut after the lines read.
constexpr std::string_view kSandboxed =
    "Name:\tapp\\nUid:\t7\n"
    "Umask:\t0022\n"
    "State:\tZ (zombie)\n"
    "Tgid:\t4711\n"
    "Ngid:\t0\n"
    "Pid:\t4712\n"
    "PPid:\t1\n"
    "TracerPid:\t0\n"
    "Uid:\t1000\t1001\t1000\t1000\n"
    "Gid:\t1000\t1000\t1000\t1000\n"
    "FDSize:\t64\n"
    "Groups:\t4 24 27 \n"
    "NStgid:\t4711\t1\n"
    "NSpid:\t4712\t2\n"
    "NSpgid:\t4700\t1\n"
    "NSsid:\t4600\t1\n"
    "Kthread:\t0\n"
    "VmPeak:\t    9000 kB\n";

TEST(ProcStatus, ReadsEachField) {
  const ProcStatus status = parseProcStatus(kSandboxed);
  EXPECT_EQ(status.state, 'Z');
  EXPECT_EQ(status.tgid, 4711);
  EXPECT_EQ(status.tracerPid, 0);
  EXPECT_EQ(status.realUid, 1000u);
  EXPECT_EQ(status.effectiveUid, 1001u);
  EXPECT_THAT(status.nsPid.values(), ElementsAre(4712, 2));
  EXPECT_EQ(status.nsPgid, 4700);
  EXPECT_EQ(status.nsSid, 4600);
}

TEST(ProcStatus, MalformedOrMissingLinesGiveNothing) {
  struct Case {
    std::string text;
    ProcStatus expected;
  };
  ProcStatus traced;
  traced.tracerPid = 812;
  ProcStatus realOnly;
  realOnly.realUid = 1000;
  ProcStatus running;
  running.state = 'R';
  const std::vector<Case> cases = {
      {"", {}},
      {"TracerPid:\t812\n", traced},
      {"TracerPid:\t812x\nTgid:\t\nState:\tsleeping\n", {}},
      {"Uid:\t1000\tx\t1000\t1000", realOnly},
      {"Uid:\t-1\n", {}},
      {"NSpid:\t4712\t0\nNSpgid:\tx\n", {}},
      {"NSpid:\n", {}},
      {"State:\tR (running)\nTgid:\t99999999999\n", running},
      {"No colon here\nState R\n", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(parseProcStatus(c.text), c.expected) << c.text;
}

TEST(ProcStatus, TakesAtMostTheKernelsNestingOfPidNamespaces) {
  std::string line = "NSpid:";
  for (int level = 1; level <= 32; ++level) line += "\t" + std::to_string(level);
  std::vector<int32_t> levels;
  for (int level = 1; level <= 32; ++level) levels.push_back(level);
  EXPECT_THAT(parseProcStatus(line).nsPid.values(), ElementsAreArray(levels));
  EXPECT_EQ(parseProcStatus(line + "\t33").nsPid.count, 0u);
}

TEST(ProcStatus, RunsWithRightsOfTakesTheRealAndTheEffectiveUser) {
  EXPECT_TRUE(runsWithRightsOf(parseProcStatus("Uid:\t1000\t1000\t1000\t1000\n"), 1000));
  EXPECT_FALSE(runsWithRightsOf(parseProcStatus("Uid:\t1000\t0\t0\t0\n"), 1000));
  EXPECT_FALSE(runsWithRightsOf(parseProcStatus("Uid:\t0\t1000\t1000\t1000\n"), 1000));
  EXPECT_FALSE(runsWithRightsOf(ProcStatus{}, 0));
}

TEST(ProcStatus, StartedByTakesTheRealUserAlone) {
  EXPECT_TRUE(startedBy(parseProcStatus("Uid:\t1000\t0\t0\t0\n"), 1000));
  EXPECT_FALSE(startedBy(parseProcStatus("Uid:\t0\t1000\t1000\t1000\n"), 1000));
  EXPECT_FALSE(startedBy(ProcStatus{}, 0));
}

}  // namespace
}  // namespace veldane
