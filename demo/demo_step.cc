#include "demo/demo_step.h"

#include <array>
#include <sstream>
#include <utility>

namespace veldane {
namespace {

constexpr std::array<std::pair<DemoStep::Action, const char*>, 7> kWords{{
    {DemoStep::Action::run, "run"},
    {DemoStep::Action::crash, "crash"},
    {DemoStep::Action::hang, "hang"},
    {DemoStep::Action::spin, "spin"},
    {DemoStep::Action::block, "block"},
    {DemoStep::Action::exit, "exit"},
    {DemoStep::Action::reset, "reset"},
}};

}  // namespace

DemoStep DemoStep::parse(std::string_view line) {
  DemoStep step;
  constexpr std::string_view kFork = " fork";
  if (line.ends_with(kFork)) {
    step.forks = true;
    line.remove_suffix(kFork.size());
  }
  std::istringstream words{std::string(line)};
  std::string word;
  words >> word;
  for (const auto& [action, text] : kWords) {
    if (word == text) step.action = action;
  }
  if (step.action == Action::run || step.action == Action::reset) return step;
  double seconds = 0;
  if (words >> seconds && seconds > 0) step.seconds = seconds;
  return step;
}

std::string DemoStep::text() const {
  std::string result;
  for (const auto& [each, word] : kWords) {
    if (each == action) result = word;
  }
  if (action != Action::run && action != Action::reset) {
    std::ostringstream duration;
    duration << seconds;
    result += " " + duration.str();
  }
  return forks ? result + " fork" : result;
}

}  // namespace veldane
