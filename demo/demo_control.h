#ifndef VELDANE_DEMO_DEMO_CONTROL_H_
#define VELDANE_DEMO_DEMO_CONTROL_H_

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "demo/demo_step.h"

namespace veldane {

// The folder through which whoever runs the demo host scripts it and follows
// it. Every start of the host shares it:
//
//   launches  one line "<pid> <arguments...>" per start, in order
//   plan      line N is the DemoStep of the Nth start; the last line repeats
//   events    one JSON object a line per thing a start does: "at" (seconds
//             since the epoch), "pid", "launch" (its 1-based number),
//             "event", "arguments", and what else the event tells
struct DemoControl {
  std::filesystem::path folder;

  // Appends this start to the launch log and gives its number.
  size_t logLaunch(pid_t pid, const std::vector<std::string>& arguments) const;
  // The step of start `launch`; "run" when there is no plan.
  DemoStep step(size_t launch) const;
  // Appends one line to the events file, with "at" and `event` added to
  // `fields`. Each line is one write, so that starts may share the file.
  void note(const std::string& event, nlohmann::json fields) const;

  friend bool operator==(const DemoControl&, const DemoControl&) = default;
};

}  // namespace veldane

#endif  // VELDANE_DEMO_DEMO_CONTROL_H_
