#ifndef VELDANE_POLICY_SECONDS_H_
#define VELDANE_POLICY_SECONDS_H_

#include <chrono>

namespace veldane {

// Spans of time with a fraction: uptimes, limits, delays. The platform's
// interfaces still give bare doubles; they become Seconds where they are read.
using Seconds = std::chrono::duration<double>;

}  // namespace veldane

#endif  // VELDANE_POLICY_SECONDS_H_
