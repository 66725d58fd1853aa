#include "VeldaneWatchdog/host_launch.h"

#include <utility>

namespace veldane {

void HostLaunch::start(Target target) {
  run_ = std::make_shared<Run>();
  run_->target = std::move(target);
}

void HostLaunch::opening() {
  if (run_) run_->state = State::opening;
}

void HostLaunch::failed() {
  if (!run_) return;
  run_->state = State::waitingToRetry;
  --run_->attemptsLeft;
}

bool HostLaunch::retry() {
  if (!run_ || run_->attemptsLeft < 1) return false;
  run_->state = State::waitingToOpen;
  return true;
}

void HostLaunch::end() { run_.reset(); }

HostLaunch::State HostLaunch::state() const { return run_ ? run_->state : State::idle; }

const HostLaunch::Target& HostLaunch::target() const { return run_->target; }

int64_t HostLaunch::attemptsLeft() const { return run_ ? run_->attemptsLeft : 0; }

HostLaunch::Ticket HostLaunch::ticket() const {
  Ticket ticket;
  ticket.run_ = run_;
  return ticket;
}

bool HostLaunch::isCurrent(const Ticket& ticket) const {
  const std::shared_ptr<const void> run = ticket.run_.lock();
  return run && run == run_;
}

}  // namespace veldane
