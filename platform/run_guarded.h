#ifndef VELDANE_PLATFORM_RUN_GUARDED_H_
#define VELDANE_PLATFORM_RUN_GUARDED_H_

#include <functional>

namespace veldane {

// Runs `callback`, when there is one, and swallows what it throws: a main
// loop must survive a faulty callback.
inline void runGuarded(const std::function<void()>& callback) noexcept {
  if (!callback) return;
  try {
    callback();
  } catch (...) {
  }
}

}  // namespace veldane

#endif  // VELDANE_PLATFORM_RUN_GUARDED_H_
