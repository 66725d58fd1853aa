#include "host/proc_self_namespaces.h"

#include <gtest/gtest.h>

namespace veldane {
namespace {

TEST(ProcSelfNamespaces, NamespacePidsOutermostFirst) {
  EXPECT_EQ(parseNamespacePids("Name:\thost\nTgid:\t7\nNSpgid:\t9\t1\nNSpid:\t4711\t12\t1\n"
                               "NSsid:\t9\t1\n"),
            (std::vector<int32_t>{4711, 12, 1}));
  EXPECT_EQ(parseNamespacePids("NSpid:\t88"), (std::vector<int32_t>{88}));
  // A kernel too old for the line, and lines that hold no pids.
  EXPECT_TRUE(parseNamespacePids("Name:\thost\nPid:\t7\n").empty());
  EXPECT_TRUE(parseNamespacePids("NSpid:\n").empty());
  EXPECT_TRUE(parseNamespacePids("NSpid:\t12\tx\n").empty());
  EXPECT_TRUE(parseNamespacePids("NSpid:\t0\t1\n").empty());
  EXPECT_TRUE(parseNamespacePids("NSpid:\t2147483648\t1\n").empty());
  EXPECT_TRUE(parseNamespacePids("NSpid:\t-3\t1\n").empty());
}

TEST(ProcSelfNamespaces, MonotonicOffsetInSeconds) {
  EXPECT_EQ(parseMonotonicOffset("monotonic           0         0\n"
                                 "boottime            0         0\n"),
            0.0);
  EXPECT_EQ(parseMonotonicOffset("boottime        500         0\n"
                                 "monotonic    100000 250000000\n"),
            100000.25);
  EXPECT_EQ(parseMonotonicOffset("monotonic       -86400         0"), -86400.0);
  EXPECT_EQ(parseMonotonicOffset("boottime 5 0\n"), std::nullopt);
  EXPECT_EQ(parseMonotonicOffset("monotonic 5\n"), std::nullopt);
  EXPECT_EQ(parseMonotonicOffset("monotonic 5 1000000000\n"), std::nullopt);
  EXPECT_EQ(parseMonotonicOffset("monotonic 5 -1\n"), std::nullopt);
  EXPECT_EQ(parseMonotonicOffset("monotonic 5.5 0\n"), std::nullopt);
  EXPECT_EQ(parseMonotonicOffset("monotonic 5 0 7\n"), std::nullopt);
  EXPECT_EQ(parseMonotonicOffset(""), std::nullopt);
}

}  // namespace
}  // namespace veldane
