#ifndef VELDANE_VELDANEWATCHDOG_HOST_LAUNCH_H_
#define VELDANE_VELDANEWATCHDOG_HOST_LAUNCH_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VeldaneWatchdog/host_run_span.h"
#include "state/seconds.h"

namespace veldane {

// One relaunch of the host, from the decision to its end: a delay, the
// opening, and after a failed opening a wait and another attempt, three in
// all. The ledger's pending relaunch is the persisted intent; this is the
// attempt under way. Steps scheduled on the loop hold a ticket, which stops
// being current when the launch ends, so that a step of an ended launch does
// nothing.
//
//   launch.start({arguments, endedRun, program});   // waitingToOpen
//   HostLaunch::Ticket ticket = launch.ticket();
//   ... later: if (launch.isCurrent(ticket)) launch.opening();
class HostLaunch {
 public:
  enum class State { idle, waitingToOpen, opening, waitingToRetry };

  static constexpr int64_t kAttempts = 3;
  // Before the first opening, and after a failed one.
  static constexpr Seconds kDelay{1.0};
  static constexpr Seconds kRetryDelay{5.0};

  // What is launched, fixed when the launch starts.
  struct Target {
    std::vector<std::string> arguments;
    // The run that ended, as the tick that started the launch saw it: what it
    // left behind does not count as a running host.
    std::optional<HostRunSpan::Ended> endedRun;
    // The program inside the bundle that the ended run's record names; empty
    // for none.
    std::string recordedProgram;
  };

  class Ticket {
   public:
    Ticket() = default;

   private:
    friend class HostLaunch;
    std::weak_ptr<const void> run_;
  };

  // Starts a launch of `target` with all its attempts, waiting to open.
  void start(Target target);
  // The delay is over and the host is being opened.
  void opening();
  // An opening failed: one attempt fewer, and a wait before the next.
  void failed();
  // The wait after a failure is over. True, waiting to open, when an attempt
  // is left; false when none is (the launch is still under way: end it).
  bool retry();
  // Opened, found running already, given up or called off.
  void end();

  State state() const;
  bool underWay() const { return run_ != nullptr; }
  // Of the launch under way; only while it is.
  const Target& target() const;
  int64_t attemptsLeft() const;

  Ticket ticket() const;
  // Whether `ticket` is of the launch under way.
  bool isCurrent(const Ticket& ticket) const;

 private:
  struct Run {
    State state = State::waitingToOpen;
    int64_t attemptsLeft = kAttempts;
    Target target;
  };
  std::shared_ptr<Run> run_;
};

}  // namespace veldane

#endif  // VELDANE_VELDANEWATCHDOG_HOST_LAUNCH_H_
