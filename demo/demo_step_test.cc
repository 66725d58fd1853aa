#include "demo/demo_step.h"

#include <gtest/gtest.h>

namespace veldane {
namespace {

using Action = DemoStep::Action;

// The launch log and plan files are exercised by every end-to-end test.
TEST(DemoStep, ParsesEachLineOfAPlan) {
  const struct {
    const char* line;
    DemoStep step;
    const char* text;
  } kCases[] = {
      {"crash 0.5", {Action::crash, 0.5}, "crash 0.5"},
      {"hang", {Action::hang, 0}, "hang 0"},
      {"reset 3", {Action::reset, 0}, "reset"},
      {"crash -1", {Action::crash, 0}, "crash 0"},
      {"dance 3", {Action::run, 0}, "run"},
      {"crash 0.5 fork", {Action::crash, 0.5, true}, "crash 0.5 fork"},
  };
  for (const auto& each : kCases) {
    SCOPED_TRACE(each.line);
    EXPECT_EQ(DemoStep::parse(each.line), each.step);
    EXPECT_EQ(DemoStep::parse(each.line).text(), each.text);
  }
}

}  // namespace
}  // namespace veldane
