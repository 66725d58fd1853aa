#ifndef VELDANE_STATE_SCOPED_FD_H_
#define VELDANE_STATE_SCOPED_FD_H_

#include <unistd.h>

#include <utility>

namespace veldane {

// Owns one file descriptor and closes it on every way out; -1 holds nothing.
class ScopedFd {
 public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : fd_(fd) {}
  ScopedFd(ScopedFd&& other) noexcept : fd_(other.release()) {}
  ScopedFd& operator=(ScopedFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() { return std::exchange(fd_, -1); }
  // Closes what is held and holds `fd` instead.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now, so that a failing close can be seen; false when nothing was held.
  bool closeChecked() {
    const int fd = release();
    return fd >= 0 && ::close(fd) == 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace veldane

#endif  // VELDANE_STATE_SCOPED_FD_H_
