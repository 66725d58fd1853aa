#ifndef VELDANE_DEMO_DEMO_STEP_H_
#define VELDANE_DEMO_DEMO_STEP_H_

#include <string>
#include <string_view>

namespace veldane {

// What one start of the demo host does, from one line of its plan:
//   "run"            beat until the owner is gone
//   "crash SECONDS"  beat for SECONDS, then abort
//   "hang [SECONDS]" beat for SECONDS (default 0), then raise the curtain and
//                    stop beating, staying alive
//   "spin [SECONDS]" as hang, but the main thread spins in demoSpin()
//   "block [SECONDS]" as hang, but the main thread blocks in read(2) on a
//                    pipe, in demoBlockInRead()
//   "exit SECONDS"   beat for SECONDS, then mark a clean exit and exit 0
//   "reset"          lift the watchdog's crash-loop stop, then run
// Any of them followed by "fork" first forks a worker (no exec) that lives
// until the owner is gone.
// An unknown or empty line runs; a missing or negative duration is 0.
struct DemoStep {
  enum class Action { run, crash, hang, spin, block, exit, reset };

  Action action = Action::run;
  double seconds = 0;
  bool forks = false;

  // Whether the host stops beating and stays alive.
  bool hangs() const {
    return action == Action::hang || action == Action::spin || action == Action::block;
  }

  static DemoStep parse(std::string_view line);
  // The action's word, with the duration where it has one ("crash 4").
  std::string text() const;

  friend bool operator==(const DemoStep&, const DemoStep&) = default;
};

}  // namespace veldane

#endif  // VELDANE_DEMO_DEMO_STEP_H_
