#ifndef VELDANE_PLATFORM_MACOS_CF_REF_H_
#define VELDANE_PLATFORM_MACOS_CF_REF_H_

#include <utility>

#include "platform/macos/sdk_declarations.h"

namespace veldane {

// Owns one reference to a CoreFoundation object from a Create or Copy call
// and releases it; null is allowed.
template <typename T>
class CFRef {
 public:
  CFRef() = default;
  explicit CFRef(T object) : object_(object) {}
  ~CFRef() {
    if (object_ != nullptr) CFRelease(object_);
  }
  CFRef(CFRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  CFRef& operator=(CFRef&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  CFRef(const CFRef&) = delete;
  CFRef& operator=(const CFRef&) = delete;

  T get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T object_ = nullptr;
};

}  // namespace veldane

#endif  // VELDANE_PLATFORM_MACOS_CF_REF_H_
