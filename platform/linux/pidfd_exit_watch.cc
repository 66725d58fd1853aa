#include "platform/linux/pidfd_exit_watch.h"

#include <sys/epoll.h>
#include <systemd/sd-event.h>
extern "C" {
// glibc 2.36 declares these without C linkage; what it includes comes first.
#include <sys/pidfd.h>
}

#include <utility>

#include "platform/linux/sd_event_callback.h"
#include "state/scoped_fd.h"

namespace veldane {
namespace {

int onProcessExit(sd_event_source* source, int, uint32_t, void* userdata) {
  sd_event_source_set_enabled(source, SD_EVENT_OFF);
  runOnce(userdata);
  return 0;
}

class PidfdWatch final : public MainLoop::ProcessExitWatch {
 public:
  // The source owns `pidfd` and closes it when freed.
  PidfdWatch(sd_event_source* source, int pidfd) : source_(source), pidfd_(pidfd) {}
  ~PidfdWatch() override { sd_event_source_disable_unref(source_); }
  PidfdWatch(const PidfdWatch&) = delete;
  PidfdWatch& operator=(const PidfdWatch&) = delete;

  bool sendSignal(int signal) override {
    return pidfd_send_signal(pidfd_, signal, nullptr, 0) == 0;
  }

 private:
  sd_event_source* source_;
  int pidfd_;
};

}  // namespace

std::unique_ptr<MainLoop::ProcessExitWatch> watchPidfdExit(sd_event* event, int32_t pid,
                                                           MainLoop::Callback onExit) {
  if (pid < 1) return nullptr;
  ScopedFd pidfd(pidfd_open(pid, 0));
  if (!pidfd.valid()) return nullptr;
  auto box = std::make_unique<CallbackBox>(CallbackBox{std::move(onExit)});
  sd_event_source* source = nullptr;
  if (sd_event_add_io(event, &source, pidfd.get(), EPOLLIN, onProcessExit, box.get()) < 0) {
    return nullptr;
  }
  sd_event_source_set_io_fd_own(source, 1);
  sd_event_source_set_destroy_callback(source, deleteBox);
  box.release();
  return std::make_unique<PidfdWatch>(source, pidfd.release());
}

}  // namespace veldane
