#include "VeldaneWatchdog/hang_kill.h"

#include <utility>

#include "policy/watchdog_policy.h"

namespace veldane {

struct HangKill::Look {
  Judged judged;
  Finish finish;
  std::unique_ptr<MainLoop::Timer> deadline;
};

void HangKill::start(MainLoop& loop, HangInspector& inspector, Judged judged, Seconds budget,
                     Finish finish) {
  auto look = std::make_shared<Look>();
  const int32_t pid = judged.pid;
  look->judged = std::move(judged);
  look->finish = std::move(finish);
  look_ = look;
  // The look is this object's alone: while the weak pointer locks, so does `this` live.
  std::weak_ptr<Look> weak = look;
  look->deadline =
      loop.oneShotTimer(budget, Seconds::zero(), [this, weak] { end(weak, std::nullopt); });
  inspector.snapshot(pid, budget, [this, weak](HangInspector::Gathered gathered) {
    end(weak, std::move(gathered));
  });
}

bool HangKill::wasJudged(std::string_view launchID) const {
  return judgedRun_ && WatchdogPolicy::isSameRun(*judgedRun_, launchID);
}

void HangKill::end(const std::weak_ptr<Look>& weak,
                   std::optional<HangInspector::Gathered> gathered) {
  std::shared_ptr<Look> look = weak.lock();
  if (!look || look != look_) return;  // late, or already done
  // The deadline goes with the look, once `look` is let go.
  look_.reset();
  look->finish(std::move(look->judged), std::move(gathered));
}

}  // namespace veldane
