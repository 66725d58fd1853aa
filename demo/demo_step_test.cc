#include "demo/demo_step.h"

#include <tuple>

#include <gtest/gtest.h>

namespace veldane {
namespace {

using Action = DemoStep::Action;

// The launch log and plan files are exercised by every end-to-end test.
TEST(DemoStep, ParsesEachLineOfAPlan) {
  for (const auto& [line, step, text] :
       std::initializer_list<std::tuple<const char*, DemoStep, const char*>>{
           {"crash 0.5", {Action::crash, 0.5}, "crash 0.5"},
           {"hang", {Action::hang, 0}, "hang 0"},
           {"reset 3", {Action::reset, 0}, "reset"},
           {"crash -1", {Action::crash, 0}, "crash 0"},
           {"dance 3", {Action::run, 0}, "run"},
           {"crash 0.5 fork", {Action::crash, 0.5, true}, "crash 0.5 fork"}}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(DemoStep::parse(line), step);
    EXPECT_EQ(DemoStep::parse(line).text(), text);
  }
}

}  // namespace
}  // namespace veldane
