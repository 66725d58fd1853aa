#include "state/host_hang_note.h"

#include <gtest/gtest.h>

#include "state/test_support.h"

namespace veldane {
namespace {

TEST(HostHangNote, StrictDecoding) {
  expectStrictDecoding<HostHangNote>(
      {{"launchID", "L1"}, {"at", "2025-03-01T08:15:30Z"}, {"stalledSeconds", 50.5}}, {});
}

}  // namespace
}  // namespace veldane
