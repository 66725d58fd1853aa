#ifndef VELDANE_POLICY_WATCHDOG_DECISION_H_
#define VELDANE_POLICY_WATCHDOG_DECISION_H_

#include <cstdint>
#include <variant>

#include "state/watchdog_exit_kind.h"

namespace veldane {

// What the policy tells the supervisor to do on one tick.
//
//   std::visit(overloaded{[](const WatchdogDecision::KillHungHost& d) { ... d.pid ... },
//                         ...}, decision.value);
struct WatchdogDecision {
  // The recorded host is alive but its heartbeat is older than the hang limit.
  struct KillHungHost {
    int32_t pid;
    friend bool operator==(const KillHungHost&, const KillHungHost&) = default;
  };
  // The run ended unexpectedly; recent exits stay below the crash-loop limit.
  struct Relaunch {
    WatchdogExitKind kind;
    friend bool operator==(const Relaunch&, const Relaunch&) = default;
  };
  // This exit reaches the limit: launch once more in safe mode, then stop.
  struct StopAfterRepeatedCrashes {
    WatchdogExitKind kind;
    friend bool operator==(const StopAfterRepeatedCrashes&,
                           const StopAfterRepeatedCrashes&) = default;
  };
  // The run ended while stopped after repeated crashes: log only.
  struct EndedWhileStopped {
    WatchdogExitKind kind;
    friend bool operator==(const EndedWhileStopped&, const EndedWhileStopped&) = default;
  };
  struct None {
    friend bool operator==(const None&, const None&) = default;
  };

  using Value = std::variant<KillHungHost, Relaunch, StopAfterRepeatedCrashes, EndedWhileStopped, None>;
  Value value = None{};

  static WatchdogDecision killHungHost(int32_t pid) { return {KillHungHost{pid}}; }
  static WatchdogDecision relaunch(WatchdogExitKind kind) { return {Relaunch{kind}}; }
  static WatchdogDecision stopAfterRepeatedCrashes(WatchdogExitKind kind) {
    return {StopAfterRepeatedCrashes{kind}};
  }
  static WatchdogDecision endedWhileStopped(WatchdogExitKind kind) {
    return {EndedWhileStopped{kind}};
  }
  static WatchdogDecision none() { return {None{}}; }

  // For tests and diagnostics; nothing in the watchdog compares decisions.
  friend bool operator==(const WatchdogDecision&, const WatchdogDecision&) = default;
};

}  // namespace veldane

#endif  // VELDANE_POLICY_WATCHDOG_DECISION_H_
