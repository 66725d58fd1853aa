#include "demo/demo_step.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "demo/demo_control.h"

namespace veldane {
namespace {

namespace fs = std::filesystem;
using Action = DemoStep::Action;

TEST(DemoStep, ParsesEachLineOfAPlan) {
  const struct {
    const char* line;
    DemoStep step;
    const char* text;
  } kCases[] = {
      {"run", {Action::run, 0}, "run"},
      {"crash 0.5", {Action::crash, 0.5}, "crash 0.5"},
      {"hang", {Action::hang, 0}, "hang 0"},
      {"reset 3", {Action::reset, 0}, "reset"},
      {"crash -1", {Action::crash, 0}, "crash 0"},
      {"dance 3", {Action::run, 0}, "run"},
      {"crash 0.5 fork", {Action::crash, 0.5, true}, "crash 0.5 fork"},
      {"block", {Action::block, 0}, "block 0"},
  };
  for (const auto& each : kCases) {
    SCOPED_TRACE(each.line);
    EXPECT_EQ(DemoStep::parse(each.line), each.step);
    EXPECT_EQ(DemoStep::parse(each.line).text(), each.text);
  }
}

TEST(DemoControl, NumbersStartsAndRepeatsTheLastStep) {
  std::string pattern = (fs::temp_directory_path() / "veldane_demo.XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const DemoControl control{pattern};
  EXPECT_EQ(control.step(1), DemoStep{}) << "no plan runs";
  std::ofstream(control.folder / "plan") << "crash 1\nhang\n";

  EXPECT_EQ(control.logLaunch(41, {}), 1u);
  EXPECT_EQ(control.logLaunch(42, {"--veldane-recovered"}), 2u);
  EXPECT_EQ(control.logLaunch(43, {"--veldane-recovered"}), 3u);
  EXPECT_EQ(control.step(1), (DemoStep{Action::crash, 1}));
  EXPECT_EQ(control.step(2), (DemoStep{Action::hang, 0}));
  EXPECT_EQ(control.step(3), (DemoStep{Action::hang, 0}));
  std::ifstream log(control.folder / "launches");
  const std::string expected = "41\n42 --veldane-recovered\n43 --veldane-recovered\n";
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(log), {}), expected);
  fs::remove_all(control.folder);
}

}  // namespace
}  // namespace veldane
