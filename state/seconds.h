#ifndef VELDANE_STATE_SECONDS_H_
#define VELDANE_STATE_SECONDS_H_

#include <chrono>

namespace veldane {

// Spans of time with a fraction: uptimes, limits, delays. It lives with the
// state so that the platform's interfaces, which may not see the policy, can
// speak it too; the files still store bare doubles.
using Seconds = std::chrono::duration<double>;

}  // namespace veldane

#endif  // VELDANE_STATE_SECONDS_H_
