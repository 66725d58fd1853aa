#include "state/watchdog_hang_report.h"

#include <gtest/gtest.h>

#include "state/host_hang_note.h"
#include "state/test_support.h"

namespace veldane {
namespace {

TEST(WatchdogHangReport, RoundTripsAndDecodesStrictly) {
  const HostThreadSnapshot main{7, "Host", "sleeping", "pipe_read", 1.5, 0.0,
                                {"pipe_read+0x2d3/0x3e0"}, {"read", "blockInRead() (host.cc:12)"}};
  const HostThreadSnapshot worker{8, "worker", "running", std::nullopt, 3, std::nullopt, {}, {}};
  const WatchdogHangReport report{1, 7, "L1", *parseDate("2025-03-01T08:15:30Z"), 6.5, 6, 3.25,
                                  0.02, "main thread blocked in pipe_read", "unwound",
                                  {main, worker}};
  EXPECT_EQ(WatchdogHangReport::fromJson(*report.toJson()), report);
  nlohmann::json valid = *report.toJson();
  valid.erase("launchID");
  valid.erase("sampleSeconds");
  expectStrictDecoding<WatchdogHangReport>(
      valid, {{"threads", nlohmann::json::array({{{"tid", 1}}}), false},
              {"threads", nlohmann::json::array(), true},
              {"pid", 3.5, false}});
}

TEST(HostHangNote, StrictDecoding) {
  expectStrictDecoding<HostHangNote>(
      {{"launchID", "L1"}, {"at", "2025-03-01T08:15:30Z"}, {"stalledSeconds", 50.5}}, {});
}

}  // namespace
}  // namespace veldane
